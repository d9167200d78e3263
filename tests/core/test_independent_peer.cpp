// Our frames against an independent Modbus implementation: a pymodbus RTU
// slave on one end of a socat pseudo-terminal pair, our serial channel and
// transaction on the other.
#include "link/linechannel.h"
#include "link/transaction.h"
#include "detector/replykind.h"
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class IndependentPeer : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QProcess socat, server;
    LineChannel channel;
    FrameBuffer buf; // the last reply
    Transaction tx{channel};

    int run(uint8_t address, uint8_t fn, uint16_t reg, uint16_t value)
    {
        QSignalSpy done(&tx, &Transaction::finished);
        if (!tx.query(address, fn, reg, value) || !done.wait(5000))
            return -1;
        const ExchangeResult r = done.first().at(0).value<ExchangeResult>();
        buf = r.frame;
        return r.outcome == ExchangeResult::Outcome::PortFailed ? -1 : r.count;
    }
    int reg(int n) const { return buf.at(3 + 2 * (n - 1)) * 256 + buf.at(4 + 2 * (n - 1)); }

private slots:
    void initTestCase()
    {
        const QString a = dir.filePath("slave"), b = dir.filePath("master");
        socat.start("socat", {"PTY,rawer,link=" + a, "PTY,rawer,link=" + b});
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(a) && QFile::exists(b); }, 10000));
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start("/usr/bin/python3", {KALMIR_SOURCE_DIR "/tests/support/pymodbus_server.py", a});
        QVERIFY(server.waitForStarted(10000));
        channel.setPortName(b);
        channel.setBaudRate(9600);
        channel.setTiming({2, 100, 100, 1000});
        channel.open();
        // The server needs a moment to open its end; ask until it answers.
        QVERIFY(QTest::qWaitFor([&] { return run(1, 3, 1, 24) == 53; }, 20000));
        channel.setTiming({10, 1, 100, 1000}); // the real read time-out from here on
    }

    void statusReadOfTwentyFourRegisters()
    {
        QCOMPARE(run(1, 3, 1, 24), 53);
        QVERIFY(buf.replyCrcOk(53));
        QCOMPARE(classifyReply(buf, 53, true), ReplyKind::Status);
        for (int n = 1; n <= 24; ++n)
            QCOMPARE(reg(n), 1000 + n);
    }

    void writeIsEchoedAndTakesEffect()
    {
        QCOMPARE(run(1, 6, 5, 777), 8);
        QVERIFY(buf.replyCrcOk(8));
        QCOMPARE(classifyReply(buf, 8, false), ReplyKind::Echo);
        QCOMPARE(run(1, 3, 1, 24), 53);
        QCOMPARE(reg(5), 777);
    }

    void otherAddressesStaySilent() { QCOMPARE(run(2, 3, 1, 24), 0); }

    void exceptionReplyPassesTheCrcCheck()
    {
        const int n = run(1, 3, 200, 24); // beyond the server's registers
        QCOMPARE(n, 5);
        QVERIFY(buf.replyCrcOk(5));
        QCOMPARE(buf.at(1), uint8_t(0x83));
        QCOMPARE(classifyReply(buf, 5, true), ReplyKind::Exception);
    }

    void cleanupTestCase()
    {
        channel.close();
        server.kill();
        server.waitForFinished(3000);
        socat.terminate();
        socat.waitForFinished(3000);
    }
};

QTEST_GUILESS_MAIN(IndependentPeer)
#include "test_independent_peer.moc"
