// The main window's layout: every control present under its layout name, in
// its group, with its start text and state, in the fixed 873 x 416 client
// area.

#include "widgets/lamp.h"
#include "widgets/logview.h"
#include "support/mainformfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSet>
#include <QTableWidget>
#include <QtTest>

namespace {

const QRect clientArea(0, 0, MainWindow::ClientWidth, MainWindow::ClientHeight);

QString nearestGroupTitle(const QWidget *w)
{
    for (QWidget *p = w->parentWidget(); p; p = p->parentWidget())
        if (auto *g = qobject_cast<QGroupBox *>(p))
            return g->title();
    return {};
}

} // namespace

class TestMainFormLayout : public QObject, MainFormFixture {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(open()); }

    void windowFrame()
    {
        QCOMPARE(form->windowTitle(),
                 QStringLiteral("Программа для настройки  КАЛМИР-ИК\\УФ V.1.01.103 +Hart"));
        QCOMPARE(form->size(), clientArea.size());
        QCOMPARE(form->minimumSize(), clientArea.size());
        QCOMPARE(form->maximumSize(), clientArea.size());
        const Qt::WindowFlags flags = form->windowFlags();
        QVERIFY(flags & Qt::WindowSystemMenuHint);
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QCOMPARE(form->font().family(), QStringLiteral("DejaVu Sans"));
    }

    // Name, kind, text at start ("-" where the control has none) and the
    // caption of the group it stands in ("" = on the window itself).
    void controls_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("group");

        const QString conn = QStringLiteral("Параметры соединения");
        const QString volt = QStringLiteral("Контрольные напряжения");
        const QString general = QStringLiteral("Общие настройки");
        const QString counters = QStringLiteral("Счетчики");
        const QString dust = QStringLiteral("Настройка канала запыления");
        const QString access = QStringLiteral("Доступ, серийный номер");
        const QString modes = QStringLiteral("Режимы работы");
        const QString heater = QStringLiteral("Управление подогревом");
        const QString point = QStringLiteral("Точка включения подогрева");
        const QString channels = QStringLiteral("Управление каналами");
        struct Row {
            const char *name, *kind;
            QString text, group;
        };
        const Row rows[] = {
            {"GroupBox1", "QGroupBox", conn, ""},
            {"cb1", "QComboBox", "COM1", conn},
            {"cb2", "QComboBox", "9600", conn},
            {"Button1", "QPushButton", "Соединить", conn},
            {"lblTimeout", "QLabel", "Тайм-аут:", conn},
            {"Edit7", "QLineEdit", "100", conn},
            {"lblDelay", "QLabel", "Задержка:", conn},
            {"Edit8", "QLineEdit", "200", conn},
            {"Shape1", "Lamp", "-", conn},
            {"Shape2", "Lamp", "-", conn},
            {"Edit1", "QLineEdit", "247", conn},
            {"Button5", "QPushButton", "Добавить прибор", conn},
            {"Button3", "QPushButton", "Поиск", conn},
            {"Button9", "QPushButton", "Очистить таблицу", conn},
            {"Button6", "QPushButton", "График", conn},
            {"Button2", "QPushButton", "Запрос", conn},
            {"HartOn", "QPushButton", "HartOn", conn},
            {"GroupBox2", "QGroupBox", "Обмен", ""},
            {"sg1", "QTableWidget", "-", "Обмен"},
            {"Memo1", "LogView", "-", ""},
            {"Memo2", "LogView", "-", ""},
            {"edtserch", "QLineEdit", "", ""},
            {"b", "QPushButton", "b", ""},
            {"wf", "QCheckBox", "Запись в файл", ""},
            {"GroupBox3", "QGroupBox", volt, ""},
            {"lblUsupply", "QLabel", "U_питания", volt},
            {"Edit13", "QLineEdit", "", volt},
            {"lblUsupplyUnit", "QLabel", "B", volt},
            {"lblU400", "QLabel", "+400V", volt},
            {"Edit14", "QLineEdit", "", volt},
            {"lblU400Unit", "QLabel", "B", volt},
            {"GroupBox4", "QGroupBox", general, ""},
            {"lblAddress", "QLabel", "Адрес:", general},
            {"Edit2", "QLineEdit", "1", general},
            {"Button4", "QPushButton", "Записать", general},
            {"lblSpeed", "QLabel", "Скорость:", general},
            {"cb7", "QComboBox", "9600", general},
            {"Button8", "QPushButton", "Записать", general},
            {"Button17", "QPushButton", "Сброс пожара", general},
            {"Shape3", "Lamp", "-", general},
            {"Shape4", "Lamp", "-", general},
            {"Shape5", "Lamp", "-", general},
            {"GroupBox11", "QGroupBox", counters, general},
            {"lbl3", "QLabel", "Тест -0", counters},
            {"btn3", "QPushButton", "0", counters},
            {"GroupBox5", "QGroupBox", dust, ""},
            {"Button28", "QPushButton", "Автокалибр КЗ", dust},
            {"Edit3", "QLineEdit", "6000", dust},
            {"Button7", "QPushButton", "Записать порог К.З.", dust},
            {"chk1", "QCheckBox", "Вкл.", dust},
            {"btn5", "QPushButton", "Сброс настроек", dust},
            {"GroupBox6", "QGroupBox", access, ""},
            {"Edit12", "QLineEdit", "8000", access},
            {"Button22", "QPushButton", "Записать сер номер", access},
            {"edt5", "QLineEdit", "0", access},
            {"btn1", "QPushButton", "Ввести пароль", access},
            {"GroupBox8", "QGroupBox", modes, ""},
            {"Button23", "QPushButton", "Медленно", modes},
            {"Button24", "QPushButton", "Далеко", modes},
            {"Button25", "QPushButton", "Без фикс.", modes},
            {"Button26", "QPushButton", "Рел.Пож.Вкл.", modes},
            {"Button27", "QPushButton", "Рел.Испр.Вкл.", modes},
            {"Button10", "QPushButton", "Без фикс.", modes},
            {"btn4", "QPushButton", "Сброс настроек", modes},
            {"GroupBox9", "QGroupBox", heater, ""},
            {"GroupBox10", "QGroupBox", point, heater},
            {"lblScale10", "QLabel", "+10", point},
            {"lblScale30", "QLabel", "+30", point},
            {"lblScaleGt", "QLabel", ">", point},
            {"lblScaleLt", "QLabel", "<", point},
            {"lbl7", "QLabel", "+25°C", point},
            {"Edit16", "QLineEdit", "", point},
            {"Button30", "QPushButton", "Записать", point},
            {"btn2", "QPushButton", "Разрешен", point},
            {"GroupBox7", "QGroupBox", channels, ""},
            {"lblIrThreshold", "QLabel", "Порог ИК:", channels},
            {"Edit4", "QLineEdit", "600", channels},
            {"CheckBox3", "QCheckBox", "Вкл.", channels},
            {"lblUvThreshold", "QLabel", "Порог УФ:", channels},
            {"Edit5", "QLineEdit", "500", channels},
            {"CheckBox4", "QCheckBox", "Вкл.", channels},
            {"lblT_UVFault", "QLabel", "T_UV_FAULT: 8 ч.", channels},
        };
        for (const Row &r : rows)
            QTest::newRow(r.name) << QString::fromLatin1(r.kind) << r.text << r.group;
    }

    void controls()
    {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(QString, group);
        const QString name = QString::fromLatin1(QTest::currentDataTag());

        const QList<QWidget *> named = form->findChildren<QWidget *>(name);
        QCOMPARE(named.size(), 1);
        QWidget *w = named.first();
        QVERIFY2(w->inherits(kind.toLatin1()), w->metaObject()->className());
        QCOMPARE(nearestGroupTitle(w), group);
        if (group.isEmpty())
            QCOMPARE(w->parentWidget(), form.get());

        if (text == QLatin1String("-"))
            return;
        QString shown;
        if (auto *b = qobject_cast<QAbstractButton *>(w))
            shown = b->text();
        else if (auto *l = qobject_cast<QLabel *>(w))
            shown = l->text();
        else if (auto *e = qobject_cast<QLineEdit *>(w))
            shown = e->text();
        else if (auto *c = qobject_cast<QComboBox *>(w))
            shown = c->currentText();
        else if (auto *g = qobject_cast<QGroupBox *>(w))
            shown = g->title();
        QCOMPARE(shown, text);
    }

    void arrangement()
    {
        auto *cb1 = control<QComboBox>("cb1");
        auto *s1 = control<Lamp>("Shape1");
        auto *s2 = control<Lamp>("Shape2");
        QVERIFY(cb1 && s1 && s2);
        // The two activity lamps, one above the other, beside the port list.
        QCOMPARE(s1->x(), s2->x());
        QVERIFY(s1->geometry().bottom() < s2->y());
        QVERIFY(s1->x() > cb1->geometry().right());
        QVERIFY(s2->geometry().bottom() <= cb1->geometry().bottom());

        // The latching buttons stand under their relay buttons.
        for (auto [upper, lower] : {std::pair{"Button26", "Button25"}, std::pair{"Button27", "Button10"}}) {
            auto *u = control<QPushButton>(upper);
            auto *l = control<QPushButton>(lower);
            QVERIFY(u && l);
            QCOMPARE(l->x(), u->x());
            QVERIFY2(l->y() > u->geometry().bottom(), lower);
        }
        auto *lbl7 = control<QLabel>("lbl7");
        QVERIFY(lbl7 && lbl7->font().bold());
    }

    void comboBoxes()
    {
        auto *cb1 = control<QComboBox>("cb1");
        auto *cb2 = control<QComboBox>("cb2");
        auto *cb7 = control<QComboBox>("cb7");
        QVERIFY(cb1 && cb2 && cb7);
        for (QComboBox *c : {cb1, cb2, cb7}) {
            QVERIFY2(c->isEditable(), qPrintable(c->objectName()));
            // Enter on typed text must not grow the list.
            QCOMPARE(c->insertPolicy(), QComboBox::NoInsert);
        }
        auto items = [](QComboBox *c) {
            QStringList l;
            for (int i = 0; i < c->count(); ++i)
                l << c->itemText(i);
            return l;
        };

        QStringList ports{"COM1", "COM2", "COM3", "COM4", ""};
        for (const QSerialPortInfo &p : QSerialPortInfo::availablePorts())
            ports << p.systemLocation();
        QCOMPARE(items(cb1), ports);
        QCOMPARE(cb1->currentIndex(), -1);
        QCOMPARE(cb1->currentText(), QStringLiteral("COM1"));

        QCOMPARE(items(cb2), (QStringList{"1200", "2400", "4800", "9600", "19200"}));
        QCOMPARE(cb2->currentIndex(), 3);
        QCOMPARE(cb2->currentText(), QStringLiteral("9600"));

        QCOMPARE(items(cb7), (QStringList{"9600", "2400", "4800", "9600", "19200"}));
        QCOMPARE(cb7->currentIndex(), -1);
        QCOMPARE(cb7->currentText(), QStringLiteral("9600"));
    }

    void logs()
    {
        const std::pair<const char *, QString> memos[] = {{"Memo1", QStringLiteral("Запрос")},
                                                          {"Memo2", QStringLiteral("Ответ")}};
        for (const auto &[name, first] : memos) {
            auto *m = control<LogView>(name);
            QVERIFY(m);
            // Read-only: typing into a log changes nothing.
            QTest::keyClicks(m, QStringLiteral("x1"));
            QTest::keyClick(m, Qt::Key_Return);
            QTest::keyClick(m, Qt::Key_Backspace);
            QCOMPARE(m->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
            QCOMPARE(m->blockCount(), 2);
            QCOMPARE(m->line(0), first);
            QCOMPARE(m->lastLine(), QString());
        }
    }

    void startEnabledStates()
    {
        const QSet<QString> off{"Button5", "Button3", "Button2", "Button9", "Button7", "Button4"};
        QStringList wrong;
        for (QWidget *w : form->findChildren<QWidget *>()) {
            if (!isLaidOutControl(w))
                continue;
            if (w->isEnabled() == off.contains(w->objectName()))
                wrong << w->objectName();
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(' ')));
    }

    void visibility()
    {
        auto *btn4 = control<QPushButton>("btn4");
        auto *wf = control<QCheckBox>("wf");
        auto *b = control<QPushButton>("b");
        QVERIFY(btn4 && wf && b);
        QVERIFY(!btn4->isVisible());
        // Logging must be switchable, so its box is on screen, unticked.
        QVERIFY(wf->isVisible());
        QVERIFY(!wf->isChecked());
        QVERIFY(!b->geometry().intersects(clientArea));

        QStringList hidden;
        for (QWidget *w : form->findChildren<QWidget *>())
            if (isLaidOutControl(w) && w != btn4 && !w->isVisible())
                hidden << w->objectName();
        QVERIFY2(hidden.isEmpty(), qPrintable(hidden.join(' ')));
        QVERIFY(control<QGroupBox>("GroupBox7")->isVisible());
    }

    void lamps()
    {
        for (const char *name : {"Shape1", "Shape2", "Shape3", "Shape4", "Shape5"}) {
            Lamp *l = control<Lamp>(name);
            QVERIFY(l);
            QCOMPARE(l->size(), QSize(9, 9));
            QCOMPARE(l->color(), QColor(Qt::white));
        }

        Lamp lamp;
        lamp.resize(9, 9);
        lamp.setColor(QColor(255, 0, 0));
        QCOMPARE(lamp.color(), QColor(255, 0, 0));
        QImage img = lamp.grab().toImage();
        QCOMPARE(QColor(img.pixel(4, 4)), QColor(255, 0, 0));
        // Round, not square: the corners keep the background.
        QVERIFY(QColor(img.pixel(0, 0)) != QColor(255, 0, 0));
        QVERIFY(QColor(img.pixel(8, 8)) != QColor(255, 0, 0));
        // Outlined: the rim is darker than the red fill.
        QVERIFY(qRed(img.pixel(4, 0)) < 160);

        lamp.setColor(QColor(0, 255, 0));
        img = lamp.grab().toImage();
        QCOMPARE(QColor(img.pixel(4, 4)), QColor(0, 255, 0));
    }

    void grid()
    {
        auto *sg1 = control<QTableWidget>("sg1");
        QVERIFY(sg1);
        const QStringList headers{"Адрес", "Uик", "Uуф", "Uкз", "Uт", "Пожар", "Авария",
                                  "К.З.", "Время", "Чувств.", "Режим", "G_36", "G_42",
                                  "Uш_ик", "Uп_ик", "Uп_уф", "Uп_кз", "Версия", "SERIAL"};
        const int widths[] = {43, 38, 38, 44, 35, 39, 41, 73, 55, 55,
                              59, 33, 32, 40, 38, 37, 43, 53, 47};
        QCOMPARE(sg1->columnCount(), 19);
        QCOMPARE(sg1->rowCount(), 1);
        QVERIFY(sg1->verticalHeader()->isHidden());
        for (int c = 0; c < 19; ++c) {
            QCOMPARE(sg1->horizontalHeaderItem(c)->text(), headers[c]);
            QCOMPARE(sg1->columnWidth(c), widths[c]);
        }

        // No cell can be edited in place.
        const QRect cell = sg1->visualRect(sg1->model()->index(0, 1));
        QTest::mouseDClick(sg1->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::keyClick(sg1->viewport(), Qt::Key_F2);
        QVERIFY(!sg1->findChild<QLineEdit *>());

        // All columns and the rows of both devices show without scrolling.
        int total = 0;
        for (int w : widths)
            total += w;
        QVERIFY(total <= sg1->viewport()->width());
        sg1->setRowCount(2);
        QVERIFY(sg1->rowViewportPosition(1) + sg1->rowHeight(1) <= sg1->viewport()->height());
        sg1->setRowCount(1);
    }
};

QTEST_MAIN(TestMainFormLayout)
#include "test_mainform_layout.moc"
