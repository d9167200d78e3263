// Writes through the windows against the simulator: the new address and the
// new speed end to end; a detector that refuses a write; a code stored during
// a command wait; controls that must not store anything.
#include "support/pollrig.h"
#include "support/writeframes.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class PollingGuiWritesTest : public QObject {
    Q_OBJECT

private slots:
    void newAddressEndToEnd()
    {
        PollRig rig;
        rig.device(1).setRegister(sreg::Uik, 4242);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        rig.ui().Edit2->setText("300"); // 300 & 255 = 44
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 1));
        const int from = rig.receivedCount();
        const int lines = rig.statusLineCount();
        QTest::mouseClick(rig.ui().Button4, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return rig.received(from).count(rtuFrame(44, 3, 1, 24)) >= 2; }));
        QVERIFY(rig.waitForStatusLines(lines, 2));
        QVERIFY(rig.stopPolling());

        const QByteArray write = rtuFrame(1, 6, 0, 44 * 256 + 8);
        QCOMPARE(writes(rig.received(from)), QList<QByteArray>{write});
        QVERIFY(rig.sim.detector(44) && !rig.sim.detector(1));
        QCOMPARE(rig.state().devices.address(0), uint8_t(44));
        QCOMPARE(rig.cell(1, 0), QStringLiteral("44"));
        QVERIFY(PollRig::lines(rig.ui().Memo2).contains(decimalBytes(write, "  ")));
        QCOMPARE(rig.lastLine(rig.ui().Memo1), decimalBytes(rtuFrame(44, 3, 1, 24), " "));
        QVERIFY(rig.lastLine(rig.ui().Memo2).startsWith("44  3  48  "));
        QCOMPARE(rig.cell(1, 1), QStringLiteral("4242"));
        QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
    }

    void newSpeedEndToEnd()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        QCOMPARE(rig.ui().cb2->currentText(), QStringLiteral("9600"));
        rig.ui().cb7->setCurrentIndex(4); // "19200"
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 1));
        const int from = rig.receivedCount();
        QTest::mouseClick(rig.ui().Button8, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return !writes(rig.received(from)).isEmpty(); }));
        const int lines = rig.statusLineCount();
        dev.setRegister(sreg::Uik, 1919); // shown only if polling goes on at the new speed
        QVERIFY(rig.waitForStatusLines(lines, 2));
        QVERIFY(rig.stopPolling());

        QCOMPARE(writes(rig.received(from)), QList<QByteArray>{rtuFrame(1, 6, 0, 1 * 256 + 16)});
        QCOMPARE(dev.baud(), 19200);
        QCOMPARE(rig.sim.lineBaud(), 19200);
        QCOMPARE(rig.ui().cb2->currentText(), QStringLiteral("19200"));
        QCOMPARE(rig.state().baudCode, uint8_t(16));
        QCOMPARE(rig.cell(1, 1), QStringLiteral("1919"));
        QVERIFY(!PollRig::lines(rig.ui().Memo2).contains("TimeOuterror"));
    }

    void refusedWritesChangeNothing()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        QObject::connect(&rig.sim, &Simulator::frameReceived, &rig.sim, [&](const QByteArray &f) {
            if (uint8_t(f[1]) == 6)
                dev.setFault({FaultKind::Exception, 4, 1});
        });
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        rig.ui().Edit2->setText("5");
        rig.ui().cb7->setCurrentIndex(4);
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 1));
        const QString refusal = decimalBytes(withModbusCrc(QByteArray("\x01\x86\x04")), "  ");

        for (QPushButton *button : {rig.ui().Button4, rig.ui().Button8}) {
            const int from = rig.receivedCount();
            QTest::mouseClick(button, Qt::LeftButton);
            QVERIFY(PollRig::waitFor([&] { return statusReadsAfterWrite(rig.received(from)) >= 3; }));
            const QList<QByteArray> sent = rig.received(from);
            QCOMPARE(writes(sent).size(), 1); // logged and dropped, not retried
            QVERIFY2(PollRig::lines(rig.ui().Memo2).filter(refusal).size() == (button == rig.ui().Button4 ? 1 : 2),
                     qPrintable(PollRig::lines(rig.ui().Memo2).join('|')));
            QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
            QCOMPARE(sent.last(), rtuFrame(1, 3, 1, 24)); // still at address 1, still at 9600
        }
        QVERIFY(rig.stopPolling());
        QCOMPARE(rig.state().devices.address(0), uint8_t(1));
        QCOMPARE(rig.cell(1, 0), QStringLiteral("1"));
        QCOMPARE(rig.ui().cb2->currentText(), QStringLiteral("9600"));
        QCOMPARE(rig.state().baudCode, uint8_t(8));
        QCOMPARE(rig.sim.lineBaud(), 9600);
        QVERIFY(!PollRig::lines(rig.ui().Memo2).contains("TimeOuterror"));
    }

    void codeStoredDuringACommandWaitGoesOutNext()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        bool stored = false;
        QObject::connect(&rig.sim, &Simulator::frameReceived, &rig.sim, [&](const QByteArray &f) {
            if (uint8_t(f[1]) == 6 && !stored) {
                stored = true;
                QTest::mouseClick(rig.ui().Button28, Qt::LeftButton); // while the fire reset waits
            }
        });
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 1));
        const int from = rig.receivedCount();
        QTest::mouseClick(rig.ui().Button17, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] {
            const QList<QByteArray> got = rig.received(from);
            return writes(got).size() >= 2 && uint8_t(got.last()[1]) == 3;
        }));
        QVERIFY(rig.stopPolling());
        // The echo of the first write did not take the second code with it.
        QCOMPARE(writes(rig.received(from)), (QList<QByteArray>{rtuFrame(1, 6, 1, 1), rtuFrame(1, 6, 16, 1)}));
        QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
    }

    void speedNotInTheListIsNeverSent()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        rig.ui().cb7->setEditText("14400"); // typed, no entry chosen
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 1));
        const int from = rig.receivedCount();
        QTest::mouseClick(rig.ui().Button8, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return rig.statusReadsSince(from) >= 3; }));
        QVERIFY(rig.session.polling().isActive()); // polling goes on
        QVERIFY(rig.stopPolling());
        QVERIFY(writes(rig.received(from)).isEmpty());
        QCOMPARE(reported.count(), 1);
        QVERIFY2(reported.first().first().toString().contains("14400"), qPrintable(reported.first().first().toString()));
        QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
    }

    void disabledControlsStoreNothing()
    {
        PollRig rig;
        rig.device(1).setRegister(sreg::Access, 0x6B4D);
        rig.device(2).setRegister(sreg::Access, 0x6B4D);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1, 2});
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 2));
        // Several devices: new address, dust threshold and the channel boxes are off.
        for (QWidget *w : std::initializer_list<QWidget *>{rig.ui().Button4, rig.ui().Button7, rig.ui().chk1,
                                                            rig.ui().CheckBox3, rig.ui().CheckBox4}) {
            QVERIFY2(w->isVisible() && !w->isEnabled(), qPrintable(w->objectName()));
            // Through the window, as the window system delivers a click.
            QTest::mouseClick(rig.window->windowHandle(), Qt::LeftButton, {},
                              w->mapTo(rig.window.get(), w->rect().center()));
            QVERIFY2(uint8_t(rig.state().commandSlot.take().command) == 0, qPrintable(w->objectName()));
        }
        QVERIFY(rig.stopPolling());
        // "Записать" beside an empty address field stores nothing either.
        rig.listOnly({1});
        rig.ui().Edit2->clear();
        QVERIFY(rig.startPolling());
        QTest::mouseClick(rig.ui().Button4, Qt::LeftButton);
        QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
        QVERIFY(rig.stopPolling());
    }
};

POLLRIG_TEST_MAIN(PollingGuiWritesTest)
#include "test_polling_gui_writes.moc"
