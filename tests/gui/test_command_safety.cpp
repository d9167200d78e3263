// Fields and keys that must send exactly what the user asked for: the
// window's rules for the texts of its fields; Enter and
// Esc in the chart window, the same command stored again while its own write
// waits for the echo, and double and right clicks on the channel boxes.
#include "chart/chartwindow.h"
#include "main/fieldvalue.h"
#include "support/pollrig.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

class CommandSafety : public QObject {
    Q_OBJECT
private slots:
    // What each kind of field gives for a text: a value, or the failure whose
    // text the window shows (only a bad integer keeps the command pending).
    void fieldTextsByTheWindowsRules()
    {
        using K = Failure::Kind;
        const struct {
            Command command;
            const char *text;
            int entry;
            int value;
            std::optional<K> refusal; // none: the value is taken
        } cases[] = {
            // The new speed: the entry chosen decides, not the text shown.
            {Command::WriteBaud, "garbage", 0, 8, {}},   {Command::WriteBaud, "", 1, 2, {}},
            {Command::WriteBaud, "", 2, 4, {}},          {Command::WriteBaud, "", 3, 8, {}},
            {Command::WriteBaud, "", 4, 16, {}},
            // With no entry chosen, only a text that is one of the list's speeds.
            {Command::WriteBaud, "9600", -1, 8, {}},     {Command::WriteBaud, "2400", -1, 2, {}},
            {Command::WriteBaud, "19200", -1, 16, {}},   {Command::WriteBaud, "1200", -1, -1, K::SpeedNotListed},
            {Command::WriteBaud, "38400", -1, -1, K::SpeedNotListed}, {Command::WriteBaud, "", -1, -1, K::SpeedNotListed},
            {Command::WriteBaud, "9600 ", -1, -1, K::SpeedNotListed}, {Command::WriteBaud, "8", -1, -1, K::SpeedNotListed},
            // The UV fault time: whole hours in the register's range, by the one integer rule.
            {Command::WriteUvFaultTime, "0", -1, 0, {}},         {Command::WriteUvFaultTime, "0024", -1, 24, {}},
            {Command::WriteUvFaultTime, "65535", -1, 65535, {}}, {Command::WriteUvFaultTime, "$18", -1, 24, {}},
            {Command::WriteUvFaultTime, " 24", -1, 24, {}},      {Command::WriteUvFaultTime, "+24", -1, 24, {}},
            {Command::WriteUvFaultTime, "65536", -1, -1, K::BadUvHours},
            {Command::WriteUvFaultTime, "99999999999", -1, -1, K::BadUvHours},
            {Command::WriteUvFaultTime, "-1", -1, -1, K::BadUvHours}, {Command::WriteUvFaultTime, "12a", -1, -1, K::BadUvHours},
            {Command::WriteUvFaultTime, "", -1, -1, K::BadUvHours},
            // Any other value as typed: no range check here (the core cuts it to 16 bits).
            {Command::WriteIrThreshold, "-1", -1, -1, {}},       {Command::WriteUvThreshold, "0x7FFF", -1, 32767, {}},
            {Command::WriteDustThreshold, "  -32768", -1, -32768, {}},
            {Command::WriteSerialNumber, "70000", -1, 70000, {}},
            {Command::WriteHeaterPoint, "", -1, -1, K::BadInteger},   {Command::EnterPassword, "", -1, -1, K::BadInteger},
            {Command::WriteIrThreshold, "1.5", -1, -1, K::BadInteger}, {Command::WriteAddress, "", -1, -1, K::BadInteger},
            {Command::WriteSerialNumber, "2147483648", -1, -1, K::BadInteger},
        };
        for (const auto &c : cases) {
            const QString text = QString::fromLatin1(c.text);
            const Result<int32_t> v = fieldValue(c.command, FieldReading{text, c.entry});
            const QByteArray where = QByteArray::number(int(c.command)) + " '" + c.text + "'";
            if (!c.refusal) {
                QVERIFY2(v, where.constData());
                QCOMPARE(*v, c.value);
                continue;
            }
            QVERIFY2(!v, where.constData());
            QCOMPARE(v.failure().kind, *c.refusal);
            QCOMPARE(v.failure().text, text);
        }
        const Result<int32_t> bad = fieldValue(Command::WriteIrThreshold, FieldReading{QStringLiteral("1.5")});
        QCOMPARE(windowText(bad.failure()), QStringLiteral("'1.5' is not a valid integer value"));
        const Result<int32_t> hours = fieldValue(Command::WriteUvFaultTime, FieldReading{QStringLiteral("-5")});
        QVERIFY(windowText(hours.failure()).contains(QStringLiteral("T_UV_FAULT")));
    }

    void keysInTheChartWindowSendNothing()
    {
        PollRig rig(40);
        rig.device(1);
        ChartWindow &chart = rig.window->chartWindow();
        QTest::mouseClick(rig.ui().Button6, Qt::LeftButton); // "График"
        QVERIFY(chart.chartShown);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        for (QPushButton *b : chart.findChildren<QPushButton *>())
            QVERIFY2(!b->isDefault() && !b->autoDefault(), qPrintable(b->objectName()));

        for (QLineEdit *field : chart.findChildren<QLineEdit *>()) {
            field->setFocus();
            QTest::keyClick(field, Qt::Key_Return);
            QTest::keyClick(field, Qt::Key_Enter);
            QVERIFY2(uint8_t(rig.state().commandSlot.take().command) == 0, qPrintable(field->objectName()));
        }
        // Enter in the X span field applies the span, like its button.
        auto *span = chart.findChild<QLineEdit *>("Edit3");
        span->setText("50");
        QTest::keyClick(span, Qt::Key_Return);
        QCOMPARE(chart.xWindow, 50);

        QTest::keyClick(&chart, Qt::Key_Escape);
        QVERIFY(chart.isVisible());
        QVERIFY(chart.chartShown);

        // Main window: Enter in a field that writes nothing stores nothing.
        for (QLineEdit *field : rig.window->findChildren<QLineEdit *>()) {
            const QString name = field->objectName();
            if (name == "Edit4" || name == "Edit5" || name == "edt5")
                continue;
            QTest::keyClick(field, Qt::Key_Return);
            QVERIFY2(uint8_t(rig.state().commandSlot.take().command) == 0, qPrintable(name));
        }
        const int from = rig.receivedCount();
        QVERIFY(rig.runPasses(2));
        QVERIFY(rig.writesSince(from).isEmpty());
    }

    void theSameCommandStoredDuringItsOwnWriteIsSentAgain()
    {
        PollRig rig(200);
        rig.device(1);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        rig.ui().edt5->setText("31");
        QTest::mouseClick(rig.ui().btn1, Qt::LeftButton); // "Ввести пароль"
        const int from = rig.receivedCount();
        // The simulator has the write, the echo is still on its way back.
        const auto hook = QObject::connect(&rig.sim, &Simulator::frameReceived, &rig.sim, [&](const QByteArray &f) {
            if (f == rtuFrame(1, 6, 18, 31)) {
                rig.ui().edt5->setText("77");
                QTest::keyClick(rig.ui().edt5, Qt::Key_Return);
            }
        });
        QVERIFY(rig.startPolling());
        QVERIFY(PollRig::waitFor([&] { return rig.writesSince(from).size() >= 2; }, 5000));
        QObject::disconnect(hook);
        QVERIFY(rig.stopPolling());
        QCOMPARE(rig.writesSince(from), (QList<QByteArray>{rtuFrame(1, 6, 18, 31), rtuFrame(1, 6, 18, 77)}));
        QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
    }

    void doubleAndRightClicksOnAChannelBox()
    {
        PollRig rig(40);
        Detector &dev = rig.device(1);
        dev.setRegister(sreg::Channels, 0); // every channel off
        QVERIFY(rig.connectPort(200));
        rig.listOnly({1});
        QVERIFY(rig.startPolling()); // one device polled: the boxes are enabled
        QVERIFY(PollRig::waitFor([&] { return rig.statusLineCount() > 0; }));

        struct Box {
            QCheckBox *box;
            uint8_t codeToTick;
            uint8_t bit;
        };
        for (const Box &b : {Box{rig.ui().chk1, 10, 1}, Box{rig.ui().CheckBox3, 12, 2},
                             Box{rig.ui().CheckBox4, 14, 4}}) {
            const QString name = b.box->objectName();
            const bool before = b.box->isChecked();
            rig.state().commandSlot.store(Command::None);
            QTest::mouseClick(b.box, Qt::RightButton);
            QCOMPARE(b.box->isChecked(), before);
            QVERIFY2(uint8_t(rig.state().commandSlot.take().command) == 0, qPrintable(name));

            // What a window system delivers for a double click; QTest::mouseDClick sends only the middle event.
            QTest::mouseClick(b.box, Qt::LeftButton);
            QTest::mouseDClick(b.box, Qt::LeftButton);
            QTest::mouseRelease(b.box, Qt::LeftButton);
            // Whatever the double click left, the queued code asks for that state.
            const uint8_t expected = b.box->isChecked() ? b.codeToTick : uint8_t(b.codeToTick + 1);
            QVERIFY2(uint8_t(rig.state().commandSlot.take().command) == expected,
                     qPrintable(QStringLiteral("%1: ticked %2, code %3").arg(name).arg(b.box->isChecked()).arg(uint8_t(rig.state().commandSlot.take().command))));
            const int from = rig.receivedCount();
            QVERIFY(PollRig::waitFor([&] { return !rig.writesSince(from).isEmpty(); }));
            const uint16_t value = uint8_t(rig.writesSince(from).first()[5]);
            QCOMPARE(bool(value & b.bit), b.box->isChecked());
        }
        QVERIFY(rig.stopPolling());
    }
};

POLLRIG_TEST_MAIN(CommandSafety)
#include "test_command_safety.moc"
