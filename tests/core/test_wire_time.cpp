// The link against the simulator keeping a real line's wire time, with the
// real read window: status reads and commands at every speed, the silence
// before each request, and RTS around a request (through a recording of the
// modem-line calls: a pseudo-terminal has no RTS).
#include "link/modemlines.h"
#include "session/lineservice.h"
#include "support/simprocess.h"
#include "support/simrig.h"
#include <QElapsedTimer>
#include <QSerialPort>
#include <QtTest>
#include <sys/resource.h>

namespace {
// A SimRig on the real constants at `baud`, the simulator in wire-time mode.
struct WireRig : SimRig {
    QSignalSpy done{&tx, &Transaction::finished};
    explicit WireRig(int baud, ModemLines *lines = nullptr)
    {
        channel.close();
        channel.setModemLines(lines);
        channel.setTiming(LineChannel::Timing{});
        channel.setBaudRate(baud);
        channel.open();
        sim.setWireTime(true);
        sim.addDetector(1, baud);
    }
    int run(uint8_t address, uint8_t fn, uint16_t reg, uint16_t value)
    {
        const int before = done.count();
        tx.query(address, fn, reg, value);
        // A real event loop: qWaitFor would sleep 10 ms between turns.
        if (!done.wait(5000) && done.count() == before)
            return -1;
        return replyCount(done.last());
    }
    QList<SimFrame> log(SimFrame::Direction d) const
    {
        QList<SimFrame> out;
        for (const SimFrame &f : sim.frames())
            if (f.direction == d)
                out << f;
        return out;
    }
};

// Records the modem-line calls and when they came.
struct RecordedLines : ModemLines {
    explicit RecordedLines(bool kernel) : kernel(kernel) { t.start(); }
    bool kernelDirection(QSerialPort &) override { return kernel; }
    void lowLatency(QSerialPort &) override { record("lowLatency"); }
    bool setRts(QSerialPort &port, bool high) override
    {
        // The request must be with the driver by the time RTS drops.
        record(high ? "raise" : port.bytesToWrite() ? "lowered with bytes unsent" : "lower");
        return true;
    }
    // The transmitter reports bytes still in it this many more times.
    std::optional<bool> transmitterEmpty(QSerialPort &) override { return busyChecks-- <= 0; }
    int busyChecks = 0;
    void record(const char *what) { names << what, times << ms(); }
    double ms() const { return double(t.nsecsElapsed()) / 1e6; }
    bool kernel;
    QElapsedTimer t;
    QStringList names;
    QList<double> times;
};
} // namespace

class WireTimeTest : public QObject {
    Q_OBJECT
private slots:
    void statusAndCommandAtEverySpeed()
    {
        for (const int baud : {1200, 2400, 4800, 9600, 19200}) {
            WireRig r(baud);
            const double ch = 10.0 / baud; // one character, in s
            QElapsedTimer t;
            t.start();
            QCOMPARE(r.run(1, 3, 1, 24), 53);
            QVERIFY(r.frame.replyCrcOk(53));
            // 8 + 53 characters and the 3.5-character gap: 537 ms at 1200 baud,
            // more than the window, which therefore opened after the request left.
            QVERIFY2(t.elapsed() >= int(64.5 * ch * 1000) - 2, qPrintable(QString::number(t.elapsed())));
            t.restart();
            QCOMPARE(r.run(1, 6, 15, 1), 8); // the echo ends the read at once
            QCOMPARE(QByteArray(reinterpret_cast<char *>(r.frame.reply()), 8),
                     QByteArray(reinterpret_cast<char *>(r.frame.request()), 8));
            QVERIFY2(t.elapsed() < int(19.5 * ch * 1000) + 40, qPrintable(QString::number(t.elapsed())));

            // The wire log: each frame's span is its characters on the line,
            // a reply starts 3.5 characters after its request, and the next
            // request 3.5 characters after the reply.
            const auto rx = r.log(SimFrame::Received);
            const auto txs = r.log(SimFrame::Sent);
            QCOMPARE(rx.size(), 2);
            QCOMPARE(txs.size(), 2);
            for (int i = 0; i < 2; ++i) {
                QCOMPARE(qRound((rx[i].lastChar - rx[i].firstChar) / ch), 8);
                QCOMPARE(qRound((txs[i].lastChar - txs[i].firstChar) / ch), txs[i].bytes.size());
                QVERIFY(txs[i].firstChar - rx[i].lastChar >= 3.5 * ch - 1e-6);
            }
            QVERIFY2(rx[1].firstChar - txs[0].lastChar >= 3.5 * ch - 0.001,
                     qPrintable(QString::number(rx[1].firstChar - txs[0].lastChar)));
            QVERIFY(FrameLog::formatLine(rx[0]).contains(QStringLiteral("-")));
        }
    }

    // Replies arrive a character at a time and the link sleeps until the bytes
    // that can end the read are in: a short answer must still end it at once,
    // and a cut one must come with every byte that arrived.
    void shortRepliesArriveWhole()
    {
        WireRig r(9600);
        const double window = LineChannel::Timing{}.readMsPerByte * 53 + LineChannel::Timing{}.readConstantMs;
        QElapsedTimer t;
        r.sim.detector(1)->setFault({FaultKind::Exception, 2, 1});
        t.start();
        QCOMPARE(r.run(1, 3, 1, 24), 5);
        QVERIFY2(t.elapsed() < window / 2, qPrintable(QString::number(t.elapsed())));
        for (const int cut : {3, 7, 20, 52}) {
            r.sim.detector(1)->setFault({FaultKind::Truncate, cut, 1});
            QCOMPARE(r.run(1, 3, 1, 24), cut);
            r.sim.detector(1)->setFault({FaultKind::Truncate, cut, 1});
            QCOMPARE(r.run(1, 6, 15, 1), std::min(cut, 7)); // a cut always takes one byte at least
        }
        QCOMPARE(r.run(1, 3, 1, 24), 53);
    }

    void silenceBeforeARequestAfterACutLateReply()
    {
        WireRig r(1200);
        // The reply runs 200 ms past the window: the read ends cut, the rest
        // keeps arriving, and the next request must wait for the line to go quiet.
        r.sim.detector(1)->setFault({FaultKind::Slow, 700, 1});
        const int cut = r.run(1, 3, 1, 24);
        QVERIFY2(cut > 0 && cut < 53, qPrintable(QString::number(cut)));
        QCOMPARE(r.run(1, 3, 1, 24), 53);
        const auto rx = r.log(SimFrame::Received);
        const auto txs = r.log(SimFrame::Sent);
        QCOMPARE(rx.size(), 2);
        const double gap = rx[1].firstChar - txs[0].lastChar;
        QVERIFY2(gap >= 3.5 * 10.0 / 1200 - 0.001, qPrintable(QString::number(gap)));
    }

    // kalmird's line after a time-out waits for a late answer: it is taken
    // whole, dropped as stray bytes, and the next request goes 3.5 quiet
    // characters after it; with nothing late the next request goes one more
    // read window after the time-out. Without the wait (the window's line)
    // the late answer is read as the next detector's reply.
    void aLateAnswerIsWaitedOutAfterATimeOut()
    {
        for (const bool waits : {false, true}) {
            WireRig r(9600);
            r.sim.addDetector(2, 9600);
            r.sim.detector(1)->setFault({FaultKind::Late, 560, 1});
            r.line.setAwaitLateAnswers(waits);
            QSignalSpy stray(&r.channel, &LineChannel::strayBytes);
            QSignalSpy done(&r.line, &LineService::exchanged);
            QList<ExchangeResult> results;
            for (const uint8_t a : {1, 2, 3, 2}) { // 3: nobody
                QVERIFY(r.line.run({a, FnReadHolding, 1, 24}, [&](const ExchangeResult &x) { results << x; }));
                QVERIFY(done.wait(5000));
            }
            QCOMPARE(results[0].count, 0);
            const auto sent = r.log(SimFrame::Sent);
            QCOMPARE(sent[0].bytes[0], char(1)); // the late answer went first
            if (!waits) {
                QCOMPARE(results[1].frame.at(0), 1);
                continue;
            }
            QCOMPARE(results[1].count, 53);
            QVERIFY(results[1].intact && results[1].frame.at(0) == 2);
            QCOMPARE(stray.count(), 1);
            QCOMPARE(stray.first().first().toByteArray(), sent[0].bytes);
            const auto rx = r.log(SimFrame::Received);
            QCOMPARE(rx.size(), 4);
            const double ch = 10.0 / 9600;
            QVERIFY2(rx[1].firstChar >= sent[0].lastChar + 3.5 * ch - 0.0005, qPrintable(QString::number(rx[1].firstChar - sent[0].lastChar)));
            QVERIFY2(rx[3].firstChar - rx[2].lastChar >= 2 * 0.531 - 0.002, qPrintable(QString::number(rx[3].firstChar - rx[2].lastChar)));
            QCOMPARE(results[3].count, 53);
        }
    }

    // While a reply's rest is on its way the link sleeps until it is due
    // rather than waking for every character: at 2400 baud a 53-byte reply
    // takes 220 ms, and the thread wakes a handful of times, not dozens.
    // The simulator runs in its own process so that only the link's wake-ups count.
    void fewWakeUpsWhileAReplyArrives()
    {
        SimProcess sim({"--wire-time", "--frozen", "--device", "1:2400"});
        QVERIFY(sim.start());
        LineChannel channel;
        channel.setPortName(sim.slavePath());
        channel.setBaudRate(2400);
        channel.open();
        Transaction tx(channel);
        QSignalSpy done(&tx, &Transaction::finished);
        const auto switches = [] {
            rusage u{};
            ::getrusage(RUSAGE_THREAD, &u);
            return u.ru_nvcsw; // sleeps ended by a wake-up; preemption on a busy machine is not counted
        };
        constexpr int Replies = 10;
        const long before = switches();
        for (int i = 0; i < Replies; ++i) {
            tx.query(1, 3, 1, 24);
            QVERIFY(done.wait(5000));
            QCOMPARE(replyCount(done.last()), 53);
        }
        const double perReply = double(switches() - before) / Replies;
        QVERIFY2(perReply <= 15, qPrintable(QString::number(perReply)));
        QVERIFY(sim.terminate());
    }

    void rtsRaisedForEachRequestAndLoweredWhenItHasLeft()
    {
        RecordedLines lines(false);
        WireRig r(1200, &lines);
        const double ch = 10000.0 / 1200; // ms
        // Open: RTS down at once, so that the adapter listens.
        QCOMPARE(lines.names, (QStringList{"lower", "lowLatency"}));
        double requestEnd = -1;
        connect(&r.sim, &Simulator::frameReceived, this, [&] { requestEnd = lines.ms(); });
        for (const auto &[fn, reg, value, count] : {std::tuple{3, 1, 24, 53}, {6, 15, 1, 8}, {3, 1, 24, 0}}) {
            lines.names.clear(), lines.times.clear();
            if (count == 0)
                r.sim.detector(1)->setFault({FaultKind::Silence, 0, 1});
            QCOMPARE(r.run(1, uint8_t(fn), uint16_t(reg), uint16_t(value)), count);
            QCOMPARE(lines.names, (QStringList{"raise", "lower"}));
            const double raised = lines.times[0], lowered = lines.times[1];
            // Up for the request's 8 characters, down before a reply can start.
            QVERIFY2(lowered - raised >= 8 * ch - 1, qPrintable(QString::number(lowered - raised)));
            QVERIFY2(lowered >= requestEnd - 2 && lowered < requestEnd + 3.5 * ch,
                     qPrintable(QStringLiteral("%1 %2").arg(lowered).arg(requestEnd)));
        }
        // A transmitter that still holds bytes after the wire time keeps RTS up, a character per check.
        lines.names.clear(), lines.times.clear();
        lines.busyChecks = 2;
        QCOMPARE(r.run(1, 3, 1, 24), 53);
        QVERIFY2(lines.times[1] - lines.times[0] >= 10 * ch - 1, qPrintable(QString::number(lines.times[1] - lines.times[0])));
        r.channel.close();

        // A driver that switches direction itself is left to do so.
        RecordedLines kernel(true);
        WireRig k(9600, &kernel);
        QCOMPARE(k.run(1, 3, 1, 24), 53);
        QCOMPARE(kernel.names, QStringList{"lowLatency"});
    }
};

QTEST_GUILESS_MAIN(WireTimeTest)
#include "test_wire_time.moc"
