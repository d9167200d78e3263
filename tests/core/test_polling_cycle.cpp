// The polling cycle and the bus search on the real port against the simulator.
#include "session/bussearch.h"
#include "link/crc.h"
#include "link/wirelines.h"
#include "session/pollingcycle.h"
#include "support/namedfields.h"
#include "support/simrig.h"
#include <QtTest>

namespace {
QByteArray frame(uint8_t addr, uint8_t fn, uint16_t reg, uint16_t value)
{
    FrameBuffer b;
    b.buildRequest(addr, fn, reg, value);
    return QByteArray(reinterpret_cast<const char *>(b.request()), 8);
}

struct Poller : SimRig {
    PollingCycle cycle{line, channel, state};
    QStringList requests, replies;
    QList<int> rows;
    NamedFields fields;
    QSignalSpy ended{&cycle, &PollingCycle::ended};
    QSignalSpy failed{&cycle, &PollingCycle::failed};

    explicit Poller(std::initializer_list<int> addresses)
    {
        for (int a : addresses) {
            sim.addDetector(uint8_t(a));
            state.devices.add(uint8_t(a));
        }
        cycle.setDelay(0);
        fields.values.insert(QStringLiteral("Edit2"), 1);
        fields.values.insert(QStringLiteral("Edit3"), 6000);
        QObject::connect(&cycle, &PollingCycle::statusReceived, [this](const StatusSample &sample) {
            rows << sample.slot + 1;
        });
        QObject::connect(&cycle, &PollingCycle::answered,
                         [this](const FrameBuffer &frame, uint8_t) { requests << requestLine(frame); });
        QObject::connect(&cycle, &PollingCycle::passEnded, [this](const PassOutcome &o) { replies << replyLogLine(o); });
    }
    // Stores a command as the window does, with the reader of its field.
    void store(Command command, const QString &field = {})
    {
        state.commandSlot.store(command, std::nullopt, field.isEmpty() ? ValueReader{} : fields.reader(field));
    }
    // Runs until `passes` reply lines are in, then stops and waits for the end.
    bool runPasses(int passes)
    {
        if (!cycle.start())
            return false;
        const bool reached = QTest::qWaitFor([&] { return replies.size() >= passes || !cycle.running(); }, 20000);
        cycle.stop();
        return reached && QTest::qWaitFor([&] { return !cycle.running(); }, 5000);
    }
};
} // namespace

class PollingCycleTest : public QObject {
    Q_OBJECT
private slots:
    void statusPassesRotateOverTwoDevices()
    {
        Poller p{1, 2};
        QVERIFY(p.runPasses(4));
        QCOMPARE(p.rows.mid(0, 4), (QList<int>{1, 2, 1, 2}));
        QCOMPARE(p.requests.first(), QStringLiteral("1 3 0 1 0 24 20 0"));
        const auto rx = p.received();
        QCOMPARE(rx.mid(0, 4), (QList<QByteArray>{frame(1, 3, 1, 24), frame(2, 3, 1, 24), frame(1, 3, 1, 24),
                                                  frame(2, 3, 1, 24)}));
        QCOMPARE(p.ended.count(), 1);
        // After a restart the first pass goes to the first device again.
        p.sim.clearFrames();
        QVERIFY(p.runPasses(p.replies.size() + 1));
        QCOMPARE(p.received().first(), frame(1, 3, 1, 24));
    }

    // Guests take one turn after each pass, whatever their function; a
    // read's answer and an exception reply end by their length, and a silent
    // unit's window runs out; each guest hears exactly once.
    void guestsTakeOneTurnAfterEachPass()
    {
        Poller p{1, 2};
        QList<QByteArray> offered{frame(2, 3, 1, 2).left(6), frame(1, 4, 1, 1).left(6), frame(9, 3, 1, 1).left(6)};
        QList<GuestResult> results;
        p.line.setGuestSource([&]() -> std::optional<GuestJob> {
            if (offered.isEmpty())
                return std::nullopt;
            return GuestJob{offered.takeFirst(), [&results](const GuestResult &r) { results << r; }};
        });
        QVERIFY(p.runPasses(5));
        QCOMPARE(results.size(), 3);
        const auto rx = p.received();
        QCOMPARE(rx.mid(0, 7), (QList<QByteArray>{frame(1, 3, 1, 24), frame(2, 3, 1, 2), frame(2, 3, 1, 24),
                                                  frame(1, 4, 1, 1), frame(1, 3, 1, 24), frame(9, 3, 1, 1),
                                                  frame(2, 3, 1, 24)}));
        const Detector &d2 = *p.sim.detector(2);
        QByteArray two;
        for (int reg : {1, 2})
            two.append(char(d2.reg(reg) >> 8)).append(char(d2.reg(reg) & 0xFF));
        QCOMPARE(results[0].outcome, GuestResult::Outcome::Reply);
        QVERIFY(results[0].crcGood);
        QCOMPARE(results[0].reply.mid(0, 3), QByteArray::fromHex("020304"));
        QCOMPARE(results[0].reply.mid(3, 4), two);
        QCOMPARE(results[1].reply.size(), 5); // exception 1: function 4 is not served
        QCOMPARE(results[1].reply.mid(0, 3), QByteArray::fromHex("018401"));
        QCOMPARE(results[2].outcome, GuestResult::Outcome::TimedOut);
        QVERIFY(results[2].reply.isEmpty());
        QCOMPARE(p.replies.size(), p.rows.size()); // the guests' replies are none of polling's

        // A line idle for a read window (a long delay here) serves the
        // waiting guests one after another, then polling goes on.
        Poller q{1};
        q.cycle.setDelay(2000); // room for the three after the idle read window, even on a loaded machine
        int left = 3;
        q.line.setGuestSource([&]() -> std::optional<GuestJob> {
            if (left == 0)
                return std::nullopt;
            --left;
            return GuestJob{frame(1, 3, 5, 1).left(6), [](const GuestResult &) {}};
        });
        q.line.guestWaiting();
        QVERIFY(q.runPasses(2));
        QCOMPARE(q.received().mid(0, 5), (QList<QByteArray>{frame(1, 3, 1, 24), frame(1, 3, 5, 1), frame(1, 3, 5, 1),
                                                           frame(1, 3, 5, 1), frame(1, 3, 1, 24)}));
    }

    // A stop while a reply is awaited ends the pass, not the request; and a
    // start with no detector listed is refused with nothing on the wire,
    // not even a request to the broadcast address 0 of the empty slot.
    void stopDuringTheReplyWaitFinishesThePass()
    {
        Poller none{};
        const bool started = none.cycle.start();
        QTest::qWait(200); // a request would have reached the simulator by now
        QCOMPARE(none.received(), QList<QByteArray>{});
        QVERIFY(!started && !none.cycle.running());
        QCOMPARE(none.ended.count(), 0);

        Poller p{1};
        QObject::connect(&p.cycle, &PollingCycle::passStarted, &p.cycle, [&] { p.cycle.stop(); });
        QVERIFY(p.cycle.start());
        QVERIFY(p.cycle.running());
        QVERIFY(!p.cycle.start()); // no second run inside the stopped one
        QVERIFY(QTest::qWaitFor([&] { return !p.cycle.running(); }, 5000));
        QCOMPARE(p.rows, QList<int>{1});
        QCOMPARE(p.received().size(), 1);
        QCOMPARE(p.ended.count(), 1);
    }

    void silentDeviceAndBadCrc()
    {
        Poller p{1};
        p.state.devices.setAddress(0, 9); // nobody answers at 9
        p.state.commandSlot.store(Command(17));
        QVERIFY(p.runPasses(2));
        QCOMPARE(p.replies.mid(0, 2), (QStringList{"TimeOuterror", "TimeOuterror"}));
        QCOMPARE(uint8_t(p.state.commandSlot.take().command), uint8_t(0)); // a timed-out command is not retried
        QCOMPARE(p.received().mid(0, 2), (QList<QByteArray>{frame(9, 6, 1, 1), frame(9, 3, 1, 24)}));

        Poller q{1};
        q.sim.setFault({FaultKind::BadCrc, 0, 1});
        QVERIFY(q.runPasses(2));
        QVERIFY(q.replies[0].startsWith("CRCerror:  1  3  48  "));
        QCOMPARE(q.rows, QList<int>{1}); // only the good second reply was shown

        // Another detector's whole, intact status block is no answer from this one.
        Poller r{1};
        r.sim.detector(1)->setFault({FaultKind::Foreign, 9, 1});
        QVERIFY(r.runPasses(2));
        QVERIFY2(r.replies[0].startsWith(QString::fromUtf8("Неожиданный ответ:  9  3  48  ")), qPrintable(r.replies[0]));
        QCOMPARE(r.rows, QList<int>{1});
        QCOMPARE(r.state.stats.counts(1).unexpected, uint64_t(1));
    }

    void commandGoesOutOnceAndIsAcknowledged()
    {
        Poller p{1};
        p.store(Command(3), "Edit3"); // dust threshold
        QVERIFY(p.runPasses(2));
        QCOMPARE(p.received().first(), frame(1, 6, 7, 6000));
        QStringList echo;
        for (char c : frame(1, 6, 7, 6000))
            echo << QString::number(uint8_t(c));
        QCOMPARE(p.replies.first(), echo.join("  "));
        QCOMPARE(uint8_t(p.state.commandSlot.take().command), uint8_t(0));
        QCOMPARE(p.sim.detector(1)->reg(sreg::DustThreshold), uint16_t(6000));
        QCOMPARE(p.received().at(1), frame(1, 3, 1, 24));
    }

    void codeStoredDuringAStatusWaitIsSentNextPass()
    {
        Poller p{1};
        bool stored = false;
        QObject::connect(&p.sim, &Simulator::frameReceived, &p.sim, [&] {
            if (!stored) {
                stored = true;
                p.state.commandSlot.store(Command(17));
            }
        });
        QVERIFY(p.runPasses(3));
        QCOMPARE(p.received().mid(0, 3), (QList<QByteArray>{frame(1, 3, 1, 24), frame(1, 6, 1, 1), frame(1, 3, 1, 24)}));
    }

    void newAddressFollowsTheDevice()
    {
        Poller p{1};
        p.fields.values.insert(QStringLiteral("Edit2"), 300); // low 8 bits: 44
        p.store(Command(1), "Edit2");
        QVERIFY(p.runPasses(2));
        QCOMPARE(p.received().first(), frame(1, 6, 0, 44 * 256 + 8));
        QCOMPARE(p.state.devices.address(0), uint8_t(44));
        QCOMPARE(p.received().at(1), frame(44, 3, 1, 24));
        QCOMPARE(p.rows, QList<int>{1}); // the device answers at its new address
    }

    void newSpeedMovesThePort()
    {
        Poller p{1};
        QSignalSpy baud(&p.cycle, &PollingCycle::baudChanged);
        p.fields.values.insert(QStringLiteral("cb7"), 16); // 19200
        p.store(Command(2), "cb7");
        QVERIFY(p.runPasses(2));
        QCOMPARE(p.received().first(), frame(1, 6, 0, 1 * 256 + 16));
        QCOMPARE(baud.count(), 1);
        QCOMPARE(p.state.baudCode, uint8_t(16));
        QCOMPARE(p.channel.baudRate(), 19200);
        QCOMPARE(p.sim.lineBaud(), 19200);
        QCOMPARE(p.rows, QList<int>{1}); // still answering at the new speed
    }

    void exceptionRepliesAreRefusals()
    {
        Poller p{1};
        p.fields.values.insert(QStringLiteral("Edit2"), 5);
        p.store(Command(1), "Edit2");
        p.sim.setFault({FaultKind::Exception, 4, 2}); // the write, then a status read
        QVERIFY(p.runPasses(3));
        QVERIFY2(p.replies[0].contains("  1  134  4  "), qPrintable(p.replies[0]));
        QVERIFY2(p.replies[1].contains("  1  131  4  "), qPrintable(p.replies.join('|')));
        QCOMPARE(p.state.devices.address(0), uint8_t(1)); // no rename on a refusal
        QCOMPARE(uint8_t(p.state.commandSlot.take().command), uint8_t(0));
        QCOMPARE(p.rows, QList<int>{1}); // the exception to the status read was not shown
    }

    void badFieldTextEndsTheRunAndKeepsTheCode()
    {
        Poller p{1};
        p.fields.values.insert(QStringLiteral("Edit3"), Failure::withText(Failure::Kind::BadInteger, QStringLiteral("6 000")));
        p.store(Command(3), "Edit3");
        QVERIFY(p.cycle.start());
        QVERIFY(p.failed.wait(3000) || p.failed.count() == 1);
        QCOMPARE(windowText(p.failed.first().at(0).value<Failure>()), QStringLiteral("'6 000' is not a valid integer value"));
        QVERIFY(!p.cycle.running());
        QVERIFY(!p.cycle.isActive());
        QCOMPARE(uint8_t(p.state.commandSlot.take().command), uint8_t(3));
        QCOMPARE(p.received().size(), 0);
    }

    void refusedCommandIsDroppedAndPollingGoesOn()
    {
        Poller p{1};
        QSignalSpy refused(&p.cycle, &PollingCycle::commandRefused);
        p.fields.values.insert(QStringLiteral("edtNEW_DAT"), 70000);
        p.store(Command(40), "edtNEW_DAT");
        QVERIFY(p.runPasses(1));
        QCOMPARE(refused.count(), 1);
        QCOMPARE(windowText(refused.first().at(0).value<Failure>()),
                 QStringLiteral("Значение T_UV_FAULT \"70000\" не является целым числом от 0 до 65535: команда отменена"));
        QCOMPARE(p.failed.count(), 0);
        QCOMPARE(uint8_t(p.state.commandSlot.take().command), uint8_t(0));
        QCOMPARE(p.received().first(), frame(1, 3, 1, 24));
    }

    void codeWithoutRequestIsClearedAndStatusRead()
    {
        Poller p{1};
        p.state.commandSlot.store(Command(8));
        QVERIFY(p.runPasses(1));
        QCOMPARE(uint8_t(p.state.commandSlot.take().command), uint8_t(0));
        QCOMPARE(p.received().first(), frame(1, 3, 1, 24));
        QCOMPARE(p.rows, QList<int>{1});
    }

    void vanishedLineEndsTheRunOnce()
    {
        Poller p{1};
        QVERIFY(p.cycle.start());
        QVERIFY(QTest::qWaitFor([&] { return p.replies.size() >= 2; }, 5000));
        p.sim.dropLine();
        QVERIFY(QTest::qWaitFor([&] { return !p.cycle.running(); }, 5000));
        QTest::qWait(200);
        QCOMPARE(p.failed.count(), 1);
        QVERIFY(!p.cycle.isActive());
        QVERIFY(!p.channel.isOpen());
    }

    void averagesRunAtTheEndOfEveryPass()
    {
        Poller p{1};
        p.sim.detector(1)->setRegister(sreg::Uik, 100);
        p.state.irWindow = 8;
        QVERIFY(p.runPasses(3));
        // Three passes of 100 over a window of 8 from an empty ring: 12, 25, 38.
        QCOMPARE(p.state.detectors.at(1).averages.irAverage, 38);
    }

    void busSearchFindsTheAnsweringAddresses()
    {
        SimRig rig(15);
        rig.sim.addDetector(3);
        rig.sim.addDetector(200).setFault({FaultKind::Exception, 2, -1});
        BusSearch search(rig.line, rig.state);
        QList<int> added;
        QObject::connect(&rig.state.devices, &DeviceList::listing, [&](int, uint8_t a) { added << a; });
        QSignalSpy ended(&search, &BusSearch::ended);
        QVERIFY(search.start());
        QVERIFY(ended.wait(30000));
        QCOMPARE(added, (QList<int>{3, 200})); // an exception reply counts as an answer
        QCOMPARE(rig.received().size(), 247);
        QCOMPARE(rig.received().last(), frame(247, 3, 1, 24));
        QVERIFY(!search.isActive());
    }

    void stoppedSearchFinishesItsProbeOnly()
    {
        SimRig rig(15);
        rig.sim.addDetector(3);
        BusSearch search(rig.line, rig.state);
        QList<int> added;
        QObject::connect(&rig.state.devices, &DeviceList::listing, [&](int, uint8_t a) { added << a; });
        QObject::connect(&search, &BusSearch::probeStarted, &search, [&](uint8_t a) {
            if (a == 3)
                search.stop();
        });
        QSignalSpy ended(&search, &BusSearch::ended);
        QVERIFY(search.start());
        QVERIFY(!search.start());
        QVERIFY(ended.wait(5000));
        QCOMPARE(added, QList<int>{3});
        QCOMPARE(rig.received().size(), 3);
        QVERIFY(search.start()); // a new search may begin once the last probe is done
        search.stop();
        QVERIFY(ended.wait(5000));
    }
};

QTEST_GUILESS_MAIN(PollingCycleTest)
#include "test_polling_cycle.moc"
