// Keys and clicks that must send exactly what the user asked for: Enter and
// Esc in the chart window, the same command stored again while its own write
// waits for the echo, and double and right clicks on the channel boxes.
#include "chart/chartwindow.h"
#include "support/pollrig.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

class CommandSafety : public QObject {
    Q_OBJECT
private slots:
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
