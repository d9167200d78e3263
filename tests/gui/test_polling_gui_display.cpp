// Status replies from the simulator, polled through the main window over a
// pseudo-terminal, as the window shows them: every grid column, indicator,
// lamp, caption, check box and chart window field; the service controls;
// two devices sharing the indicators but not their grid rows.
#include "support/pollrig.h"
#include "chart/chartwindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>
#include <qcustomplot.h>

namespace {
const QColor Red(255, 0, 0);
const QColor Green(0, 128, 0);
const QColor Black(0, 0, 0);
const QColor LightCyan(202, 249, 251);
const QColor White(255, 255, 255);

// Status registers of one reply, by register number.
using Block = QMap<int, uint16_t>;

void load(Detector &d, const Block &regs)
{
    for (auto it = regs.begin(); it != regs.end(); ++it)
        if (it.key() != sreg::Flags)
            d.setRegister(it.key(), it.value());
    // Last: setting a signal makes the simulator re-evaluate its alarm bits.
    if (regs.contains(sreg::Flags))
        d.setRegister(sreg::Flags, regs.value(sreg::Flags));
}

// The newest X of the chart's first curve each time the chart is painted.
class DrawnKey : public QObject {
public:
    explicit DrawnKey(QCustomPlot *plot) : plot(plot) { plot->installEventFilter(this); }
    double last = -1;

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !plot->graph(0)->data()->isEmpty())
            last = (plot->graph(0)->data()->constEnd() - 1)->key;
        return false;
    }

private:
    QCustomPlot *plot;
};

// A value in tenths as the system shows it: the separator is the system's.
QString tenths(const char *whole, const char *fraction)
{
    return QLatin1String(whole) + QLocale::system().decimalPoint() + QLatin1String(fraction);
}

QString textOf(const QWidget *w)
{
    if (auto *e = qobject_cast<const QLineEdit *>(w))
        return e->text();
    if (auto *l = qobject_cast<const QLabel *>(w))
        return l->text();
    if (auto *b = qobject_cast<const QAbstractButton *>(w))
        return b->text();
    return QStringLiteral("<no text>");
}

using Texts = QList<std::pair<const char *, QString>>;
using Colours = QList<std::pair<const char *, QColor>>;

// One reply and everything the window must show for it.
struct Shown {
    const char *name;
    Block regs;
    QStringList row;            // grid row 1, columns 0 to 18
    Texts texts;                // main window controls
    Colours lamps;              // main window lamps
    QColor heaterPointColour;   // font of lbl7
    std::array<bool, 3> boxes;  // chk1, CheckBox3, CheckBox4
    uint8_t mask;               // ChannelMask after the reply
    QString statusLine;         // Memo2
    Texts chartTexts;           // chart window fields
    QColor chartLamp;           // chart window Shape1
};

QList<Shown> replies()
{
    QList<Shown> list;
    // Mode bits 0, 2, 4, 6 set; fire and dust; junk in the high byte of
    // register 11 and in registers 23 and 24.
    list << Shown{"bits 0, 2, 4, 6 set",
                  {{sreg::Flags, 0x5505},      {sreg::Ukz, 120},          {sreg::HeaterPoint, 0xFFFB},
                   {sreg::DustThreshold, 6100}, {sreg::Ut, 235},           {sreg::Uik, 0xFF85},
                   {sreg::Uuf, 498},            {sreg::IrThreshold, 610},  {sreg::UvThreshold, 520},
                   {sreg::Channels, 5},         {sreg::VersionBuild, 0xAB67}, {sreg::Version, 0x0102},
                   {sreg::UshIk, 0xFFF9},       {sreg::G36, 101},          {sreg::G42, 0xFFD6},
                   {sreg::Serial, 0xFFFF},      {sreg::Supply, 243},       {sreg::U400, 4000},
                   {sreg::Access, 0x1234},      {sreg::TestCounter, 12},   {sreg::ConfigMark, 24679},
                   {sreg::TUvFault, 17},        {23, 0xBEEF},              {24, 0x00FF}},
                  {"1", "-123", "498", "120", tenths("23", "5"), "Пожар", "", "Запыленость", "Быстро", "Близко",
                   "Фикс.", "101", "-42", "-7", "610", "520", "6100", "v.1.2.103", "65535"},
                  {{"Edit13", tenths("24", "3")}, {"Edit14", "400"}, {"lbl7", "+-5°C"}, {"lbl3", "Тест -12"},
                   {"lblT_UVFault", "T_UV_FAULT: 17 ч."}, {"Button23", "Быстро"}, {"Button24", "Близко"},
                   {"Button25", "Фикс."}, {"Button26", "Рел.Пож.Выкл."}, {"Button27", "Рел.Испр.Вкл."},
                   {"btn2", "Запрещен"}, {"Button10", "Без фикс."}, {"b", "0"}},
                  {{"Shape3", Red}, {"Shape4", Green}, {"Shape5", Black}},
                  Red,
                  {true, false, true},
                  5,
                  "1  3  48  85  5  255  133  1  242  2  98",
                  {{"Edit4", "-123"}, {"Edit5", "498"}, {"Edit6", "101"}, {"Edit7", "-42"}},
                  Red};
    // The other mode bits, the fault bit alone; junk above the channel bits.
    list << Shown{"bits 1, 3, 5, 7 set",
                  {{sreg::Flags, 0xAA02},      {sreg::Ukz, 0xFFEC},       {sreg::HeaterPoint, 25},
                   {sreg::DustThreshold, 5900}, {sreg::Ut, 230},           {sreg::Uik, 512},
                   {sreg::Uuf, 0xFFFF},         {sreg::IrThreshold, 0x7FFF}, {sreg::UvThreshold, 0x8000},
                   {sreg::Channels, 0xFFFA},    {sreg::VersionBuild, 0x00FF}, {sreg::Version, 0x0A00},
                   {sreg::UshIk, 0},            {sreg::G36, 0x8000},       {sreg::G42, 0x7FFF},
                   {sreg::Serial, 1},           {sreg::Supply, 0xFFFB},    {sreg::U400, 3},
                   {sreg::Access, 0},           {sreg::TestCounter, 0xFFFD}, {sreg::ConfigMark, 24679},
                   {sreg::TUvFault, 8},         {23, 0},                   {24, 0xFFFF}},
                  {"1", "512", "-1", "-20", "23", "", "Авария", "", "Медленно", "Далеко", "Без фикс.", "-32768",
                   "32767", "0", "32767", "-32768", "5900", "v.10.0.255", "1"},
                  {{"Edit13", tenths("-0", "5")}, {"Edit14", tenths("0", "3")}, {"lbl7", "+25°C"},
                   {"lbl3", "Тест --3"}, {"lblT_UVFault", "T_UV_FAULT: 8 ч."}, {"Button23", "Медленно"},
                   {"Button24", "Далеко"}, {"Button25", "Без фикс."}, {"Button26", "Рел.Пож.Вкл."},
                   {"Button27", "Рел.Испр.Выкл."}, {"btn2", "Разрешен"}, {"Button10", "Фикс."}, {"b", "5"}},
                  {{"Shape3", Green}, {"Shape4", Black}, {"Shape5", LightCyan}},
                  Black,
                  {false, true, false},
                  2,
                  "1  3  48  170  2  2  0  255  255  127  255",
                  {{"Edit4", "512"}, {"Edit5", "-1"}, {"Edit6", "-32768"}, {"Edit7", "32767"}},
                  White};
    return list;
}

bool serviceControlsShown(PollRig &rig)
{
    const bool chk1 = rig.ui().chk1->isVisible();
    const bool group = rig.ui().GroupBox7->isVisible();
    const bool btn4 = rig.ui().btn4->isVisible();
    if (chk1 != group || group != btn4)
        qWarning("service controls disagree: chk1 %d GroupBox7 %d btn4 %d", chk1, group, btn4);
    return chk1 && group && btn4;
}

bool serviceControlsHidden(PollRig &rig)
{
    return !rig.ui().chk1->isVisible() && !rig.ui().GroupBox7->isVisible() && !rig.ui().btn4->isVisible();
}
} // namespace

class PollingGuiDisplayTest : public QObject {
    Q_OBJECT
private slots:
    void everyFieldOfAStatusReply()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        // Before the first reply the grid is empty and the lamps white.
        QCOMPARE(rig.cell(1, 1), QString());
        QCOMPARE(lampColor(rig.ui().Shape3), White);

        for (const Shown &r : replies()) {
            load(dev, r.regs);
            QVERIFY2(rig.runPasses(1), r.name);
            QCOMPARE(rig.lastLine(rig.ui().Memo1), QStringLiteral("1 3 0 1 0 24 20 0"));
            QCOMPARE(rig.lastLine(rig.ui().Memo2), QString(r.statusLine));
            for (int col = 0; col < 19; ++col)
                QVERIFY2(rig.cell(1, col) == r.row[col],
                         qPrintable(QStringLiteral("%1, column %2: \"%3\", want \"%4\"")
                                        .arg(r.name).arg(col).arg(rig.cell(1, col), r.row[col])));
            for (const auto &[name, want] : r.texts) {
                auto *w = rig.window->findChild<QWidget *>(QLatin1String(name));
                QVERIFY2(w, name);
                QVERIFY2(textOf(w) == want, qPrintable(QStringLiteral("%1, %2: \"%3\", want \"%4\"")
                                                           .arg(r.name, name, textOf(w), want)));
            }
            for (const auto &[name, want] : r.lamps)
                QVERIFY2(lampColor(rig.window->findChild<QWidget *>(QLatin1String(name))) == want,
                         qPrintable(QStringLiteral("%1, %2").arg(r.name, name)));
            QCOMPARE(rig.ui().lbl7->palette().color(rig.ui().lbl7->foregroundRole()), r.heaterPointColour);
            QCOMPARE(rig.ui().chk1->isChecked(), r.boxes[0]);
            QCOMPARE(rig.ui().CheckBox3->isChecked(), r.boxes[1]);
            QCOMPARE(rig.ui().CheckBox4->isChecked(), r.boxes[2]);
            QCOMPARE(rig.state().channelMask, r.mask);
            // The chart window is closed; its fields and lamp follow all the same.
            ChartWindow &chart = rig.window->chartWindow();
            QVERIFY(!chart.isVisible());
            for (const auto &[name, want] : r.chartTexts)
                QCOMPARE(textOf(chart.findChild<QLineEdit *>(QLatin1String(name))), want);
            QCOMPARE(lampColor(chart.findChild<QWidget *>(QStringLiteral("Shape1"))), r.chartLamp);
            QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0)); // the configuration mark was right
        }
    }

    void serviceControlsFollowTheAccessValue()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        // As laid out: the channel group and chk1 shown, btn4 not.
        QVERIFY(rig.ui().GroupBox7->isVisible());
        QVERIFY(rig.ui().chk1->isVisible());
        QVERIFY(!rig.ui().btn4->isVisible());

        dev.setRegister(sreg::Access, 0x6B4D);
        QVERIFY(rig.runPasses(1));
        QVERIFY(serviceControlsShown(rig));
        dev.setRegister(sreg::Access, 0x6B4C);
        QVERIFY(rig.runPasses(1));
        QVERIFY(serviceControlsHidden(rig));
        dev.setRegister(sreg::Access, 0x6B4D);
        QVERIFY(rig.runPasses(1));
        QVERIFY(serviceControlsShown(rig));
        dev.setRegister(sreg::Access, 0x4D6B);
        QVERIFY(rig.runPasses(1));
        QVERIFY(serviceControlsHidden(rig));
    }

    void twoDevicesKeepTheirOwnRowsAndLeaveTheChannelBoxes()
    {
        PollRig rig;
        Detector &one = rig.device(1);
        Detector &two = rig.device(2);
        load(one, {{sreg::Uik, 111}, {sreg::Uuf, 112}, {sreg::Serial, 1001}, {sreg::Supply, 241},
                   {sreg::Channels, 5}, {sreg::Flags, 0x0100}});
        load(two, {{sreg::Uik, 221}, {sreg::Uuf, 222}, {sreg::Serial, 2002}, {sreg::Supply, 252},
                   {sreg::Channels, 2}, {sreg::Flags, 0x0002}});
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        QVERIFY(rig.runPasses(1)); // one device: the boxes and the mask follow it
        QCOMPARE(rig.state().channelMask, uint8_t(5));

        rig.ui().Edit1->setText("2");
        QTest::mouseClick(rig.ui().Button5, Qt::LeftButton);
        QCOMPARE(rig.state().devices.count(), 2);
        const int from = rig.receivedCount();
        QVERIFY(rig.startPolling());
        QVERIFY(!rig.ui().chk1->isEnabled()); // several devices: no channel commands
        QVERIFY(PollRig::waitFor([&] { return rig.receivedCount() >= from + 4; }));
        QVERIFY(rig.stopPolling());

        const QList<QByteArray> sent = rig.received(from);
        QCOMPARE(sent.mid(0, 4), (QList<QByteArray>{rtuFrame(1, 3, 1, 24), rtuFrame(2, 3, 1, 24),
                                                    rtuFrame(1, 3, 1, 24), rtuFrame(2, 3, 1, 24)}));
        QCOMPARE((QStringList{rig.cell(1, 0), rig.cell(1, 1), rig.cell(1, 2), rig.cell(1, 8), rig.cell(1, 18)}),
                 (QStringList{"1", "111", "112", "Быстро", "1001"}));
        QCOMPARE((QStringList{rig.cell(2, 0), rig.cell(2, 1), rig.cell(2, 2), rig.cell(2, 8), rig.cell(2, 18)}),
                 (QStringList{"2", "221", "222", "Медленно", "2002"}));
        // The shared indicators show the device that answered last.
        const bool lastWasTwo = uint8_t(sent.last()[0]) == 2;
        QCOMPARE(rig.ui().Edit13->text(), lastWasTwo ? tenths("25", "2") : tenths("24", "1"));
        QCOMPARE(rig.ui().Button23->text(), lastWasTwo ? QStringLiteral("Медленно") : QStringLiteral("Быстро"));
        // Neither device's channel bits reached the boxes or the mask.
        QCOMPARE(rig.state().channelMask, uint8_t(5));
        QCOMPARE(rig.ui().b->text(), QStringLiteral("5"));
        QVERIFY(rig.ui().chk1->isChecked());
        QVERIFY(!rig.ui().CheckBox3->isChecked());
        QVERIFY(rig.ui().CheckBox4->isChecked());
    }

    // Redraws are paced, not dropped: once a burst of passes with no delay has
    // ended, the screen shows the last reply of each device.
    void aBurstEndsWithTheLastReplyOnScreen()
    {
        std::map<int, int> uik{{1, 100}, {2, 200}};
        PollRig rig;
        for (const int a : {1, 2})
            rig.device(uint8_t(a));
        // Every reply carries a new IR signal.
        QObject::connect(&rig.sim, &Simulator::frameReceived, [&](const QByteArray &request) {
            if (Detector *d = rig.sim.detector(uint8_t(request[0])))
                d->setRegister(sreg::Uik, uint16_t(++uik[request[0]]));
        });
        QTest::mouseClick(rig.ui().Button6, Qt::LeftButton); // "График"
        auto *plot = rig.window->chartWindow().findChild<QCustomPlot *>("Chart1");
        const DrawnKey drawn(plot);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1, 2});
        QVERIFY(rig.runPasses(40));

        QCOMPARE(rig.cell(1, 1), QString::number(uik[1]));
        QCOMPARE(rig.cell(2, 1), QString::number(uik[2]));
        // The chart follows the first detector: every second pass is its own.
        QCOMPARE(plot->graph(0)->dataCount(), 20);
        QTRY_COMPARE(drawn.last, 19.0);
        QCOMPARE(plot->graph(0)->data()->at(19)->value, double(uik[1]));
        for (LogView *memo : {rig.ui().Memo1, rig.ui().Memo2}) {
            QScrollBar *v = memo->verticalScrollBar();
            QTRY_COMPARE(v->value() + v->pageStep(), memo->blockCount()); // the newest line is on screen
        }
    }
};

POLLRIG_TEST_MAIN(PollingGuiDisplayTest)
#include "test_polling_gui_display.moc"
