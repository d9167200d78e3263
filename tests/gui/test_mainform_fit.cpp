// The main window's texts and controls fit their places in the fixed client
// area: every caption, label, group title, typed value and grid text readable
// at start and as they change later, and no control sticking out of its group
// or lying over another.

#include "support/mainformfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>
#include <QTableWidget>
#include <QtTest>

namespace {

QString failures(const QStringList &list) { return list.join(QLatin1String("; ")); }

// Room left for a push button's caption between its two side margins.
int buttonRoom(const QPushButton *b)
{
    return b->width() - 2 * b->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, b);
}

// Room for a check box's caption after its indicator and spacing.
int checkBoxRoom(const QCheckBox *c)
{
    QStyleOptionButton opt;
    opt.initFrom(c);
    opt.text = c->text();
    return c->style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, c).width();
}

// Room for text inside a line edit: its contents rect less the 2 px the
// edit keeps on each side.
int lineEditRoom(const QLineEdit *e)
{
    QStyleOptionFrame opt;
    opt.initFrom(e);
    opt.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, e) : 0;
    return e->style()->subElementRect(QStyle::SE_LineEditContents, &opt, e).width() - 4;
}

QRect groupTitleRect(const QGroupBox *g)
{
    QStyleOptionGroupBox opt;
    opt.initFrom(g);
    opt.text = g->title();
    opt.lineWidth = 1;
    opt.textAlignment = g->alignment();
    opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    return g->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, g);
}

QList<QWidget *> laidOutChildren(QWidget *parent)
{
    QList<QWidget *> out;
    for (QWidget *w : parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        if (isLaidOutControl(w))
            out << w;
    return out;
}

} // namespace

class TestMainFormFit : public QObject, MainFormFixture {
    Q_OBJECT

    // Checks that `text` fits the control as it would be shown there.
    bool fits(QWidget *w, const QString &text, QString *why)
    {
        const qreal need = QFontMetricsF(w->font()).horizontalAdvance(text);
        int room = 0;
        if (auto *b = qobject_cast<QPushButton *>(w))
            room = buttonRoom(b);
        else if (auto *c = qobject_cast<QCheckBox *>(w))
            room = checkBoxRoom(c);
        else if (auto *l = qobject_cast<QLabel *>(w))
            room = l->contentsRect().width();
        else if (auto *e = qobject_cast<QLineEdit *>(w))
            room = lineEditRoom(e);
        else if (auto *cb = qobject_cast<QComboBox *>(w))
            room = cb->lineEdit() ? lineEditRoom(cb->lineEdit()) : 0; // every combo here takes typed text
        *why = QStringLiteral("%1 \"%2\" needs %3 px, has %4").arg(w->objectName(), text).arg(qCeil(need)).arg(room);
        return need <= room && QFontMetrics(w->font()).height() <= w->height();
    }

private slots:
    void initTestCase() { QVERIFY(open()); }

    // Every caption, label and group title as it stands now.
    void startTextsFit()
    {
        QStringList bad;
        QString why;
        for (QWidget *w : form->findChildren<QWidget *>()) {
            if (!isLaidOutControl(w))
                continue;
            QString text;
            if (auto *b = qobject_cast<QAbstractButton *>(w))
                text = b->text();
            else if (auto *l = qobject_cast<QLabel *>(w))
                text = l->text();
            else if (auto *c = qobject_cast<QComboBox *>(w))
                text = c->currentText();
            else if (auto *e = qobject_cast<QLineEdit *>(w))
                text = e->text();
            else if (auto *g = qobject_cast<QGroupBox *>(w)) {
                const QRect title = groupTitleRect(g);
                const int need = QFontMetrics(g->font()).horizontalAdvance(g->title());
                if (title.right() >= g->width() - 4 || need + 16 > g->width())
                    bad << QStringLiteral("group %1 title needs %2 px, has %3").arg(g->objectName()).arg(need).arg(g->width());
                continue;
            } else
                continue;
            if (!fits(w, text, &why))
                bad << why;
        }
        QVERIFY2(bad.isEmpty(), qPrintable(failures(bad)));
    }

    // Texts the controls take on later, which must fit the same places.
    void laterTextsFit_data()
    {
        QTest::addColumn<QString>("text");
        const std::pair<const char *, const char *> rows[] = {
            {"Button1", "Разъединить"},
            {"Button3", "Остановить"},
            {"Button2", "Стоп"},
            {"Button23", "Быстро"},
            {"Button24", "Близко"},
            {"Button25", "Фикс."},
            {"Button10", "Фикс."},
            {"Button26", "Рел.Пож.Выкл."},
            {"Button27", "Рел.Испр.Выкл."},
            {"btn2", "Запрещен"},
            {"lbl7", "+-40°C"},
            {"lbl7", "+125°C"},
            {"lbl3", "Тест -65535"},
            {"lblT_UVFault", "T_UV_FAULT: 65535 ч."},
            {"edtserch", "Идет поиск... Прибор № 247"},
            {"Edit13", "-3276.8"},
            {"Edit14", "-3276.8"},
            {"Edit1", "-128"},
            {"Edit2", "-128"},
            {"Edit3", "-32768"},
            {"Edit4", "-32768"},
            {"Edit5", "-32768"},
            {"Edit12", "65535"},
            {"edt5", "65535"},
            {"Edit16", "-128"},
            {"Edit7", "10000"},
            {"Edit8", "10000"},
            {"cb1", "/dev/ttyUSB0"},
            {"cb1", "/dev/pts/12"},
            {"cb2", "19200"},
            {"cb7", "19200"},
        };
        for (const auto &[name, text] : rows)
            QTest::addRow("%s %s", name, text) << QString::fromUtf8(text);
    }

    void laterTextsFit()
    {
        QFETCH(QString, text);
        const QString name = QString::fromUtf8(QTest::currentDataTag()).section(' ', 0, 0);
        QWidget *w = form->findChild<QWidget *>(name);
        QVERIFY(w);
        QString why;
        QVERIFY2(fits(w, text, &why), qPrintable(why));
    }

    void portListEntriesFit()
    {
        auto *cb1 = control<QComboBox>("cb1");
        QString why;
        for (int i = 0; i < cb1->count(); ++i)
            QVERIFY2(fits(cb1, cb1->itemText(i), &why), qPrintable(why));
    }

    void gridTextsFit()
    {
        auto *sg1 = control<QTableWidget>("sg1");
        QHeaderView *header = sg1->horizontalHeader();
        const int headerMargin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
        // An item view elides a text whose exact width exceeds the room by
        // any fraction, so measure in fractional pixels.
        const int cellMargin = sg1->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, sg1) + 1;
        const int gridLine = sg1->showGrid() ? 1 : 0;
        const QFontMetricsF headerFm(header->font());
        const QFontMetricsF cellFm(sg1->font());
        QStringList bad;
        for (int c = 0; c < sg1->columnCount(); ++c) {
            const QString t = sg1->horizontalHeaderItem(c)->text();
            if (headerFm.horizontalAdvance(t) > header->sectionSize(c) - 2 * headerMargin)
                bad << t;
        }
        QVERIFY2(header->height() >= headerFm.height(), "header row too low");

        // The longest texts each column shows for a device.
        const std::pair<int, const char *> cells[] = {
            {0, "247"}, {1, "1023"}, {2, "1023"}, {3, "1023"}, {4, "-12.5"},
            {5, "Пожар"}, {6, "Авария"}, {7, "Запыленость"}, {8, "Медленно"}, {8, "Быстро"},
            {9, "Далеко"}, {9, "Близко"}, {10, "Без фикс."}, {10, "Фикс."}, {11, "1023"},
            {12, "1023"}, {13, "1023"}, {14, "1023"}, {15, "1023"}, {16, "1023"},
            {17, "v.1.1.103"}, {18, "65535"},
        };
        for (const auto &[col, text] : cells) {
            const QString t = QString::fromUtf8(text);
            const int room = sg1->columnWidth(col) - gridLine - 2 * cellMargin;
            if (cellFm.horizontalAdvance(t) > room)
                bad << QStringLiteral("%1 in column %2").arg(t).arg(col);
        }
        QVERIFY(sg1->rowHeight(0) - gridLine >= cellFm.height());
        QVERIFY2(bad.isEmpty(), qPrintable(failures(bad)));
    }

    // Controls stay inside their window or group, below the group's title,
    // and never on top of one another.
    void noClippingOrOverlap()
    {
        QStringList bad;
        QList<QWidget *> parents{form.get()};
        for (QGroupBox *g : form->findChildren<QGroupBox *>())
            parents << g;
        for (QWidget *parent : parents) {
            QRect room = parent->rect();
            if (auto *g = qobject_cast<QGroupBox *>(parent))
                room.adjust(1, groupTitleRect(g).bottom() + 1, -1, -1);
            const QList<QWidget *> kids = laidOutChildren(parent);
            for (int i = 0; i < kids.size(); ++i) {
                QWidget *k = kids[i];
                if (k->objectName() != QLatin1String("b") && !room.contains(k->geometry()))
                    bad << k->objectName() + QLatin1String(" sticks out of ") + parent->objectName();
                for (int j = i + 1; j < kids.size(); ++j)
                    if (k->geometry().intersects(kids[j]->geometry()))
                        bad << k->objectName() + QLatin1String(" overlaps ") + kids[j]->objectName();
            }
        }
        QVERIFY2(bad.isEmpty(), qPrintable(failures(bad)));
    }
};

QTEST_MAIN(TestMainFormFit)
#include "test_mainform_fit.moc"
