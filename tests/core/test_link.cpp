// The request transaction on a real QSerialPort over a pseudo-terminal whose
// far end the test drives byte by byte: read windows, purges, garbage and a
// far end that vanishes.
#include "link/crc.h"
#include "link/linechannel.h"
#include "link/transaction.h"
#include "support/ptypeer.h"
#include "support/simrig.h"
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

namespace {
QByteArray statusReply(uint8_t address)
{
    QByteArray r;
    r.append(char(address)).append(char(3)).append(char(48));
    for (int i = 0; i < 48; ++i)
        r.append(char(i + 1));
    const uint16_t crc = crc16Modbus(reinterpret_cast<const uint8_t *>(r.constData()), size_t(r.size()));
    r.append(char(crc & 0xFF)).append(char(crc >> 8));
    return r;
}
} // namespace

class LinkTest : public QObject {
    Q_OBJECT

    struct Rig {
        PtyPeer peer;
        LineChannel channel;
        FrameBuffer buf; // the last exchange's request and reply
        Transaction tx{channel};
        QSignalSpy done{&tx, &Transaction::finished};
        explicit Rig(int msPerByte = 2)
        {
            channel.setTiming({msPerByte, 1, 100, 1000});
            channel.setPortName(peer.slavePath());
            channel.setBaudRate(9600);
            channel.open();
        }
        // Answers every request with what `reply` makes of it.
        void answerWith(std::function<QByteArray(const QByteArray &)> reply)
        {
            QObject::connect(&peer, &PtyPeer::bytesArrived, &peer, [this, reply] {
                if (peer.received().size() >= 8) {
                    const QByteArray req = peer.received().left(8);
                    peer.clearReceived();
                    peer.send(reply(req));
                }
            });
        }
        int run(uint8_t address = 1, uint8_t fn = 3, uint16_t reg = 1, uint16_t value = 24)
        {
            const int before = done.count();
            if (!tx.query(address, fn, reg, value))
                return -2;
            if (!done.wait(10000) && done.count() == before)
                return -1;
            buf = exchangeResult(done.last()).frame;
            return replyCount(done.last());
        }
        // The port failures among the results so far.
        QStringList failures() const
        {
            QStringList out;
            for (const auto &args : done)
                if (exchangeResult(args).outcome == ExchangeResult::Outcome::PortFailed)
                    out << windowText(exchangeResult(args).error);
            return out;
        }
    };

private slots:
    void silentDeviceGivesZeroAfterTheFullReadTimeout()
    {
        Rig rig(10); // the real 10 ms per byte + 1 ms
        QElapsedTimer t;
        t.start();
        QCOMPARE(rig.run(), 0);
        QVERIFY2(t.elapsed() >= 525, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(rig.peer.received().size(), 8); // the request went out
        QCOMPARE(rig.peer.received(), QByteArray::fromHex("0103000100181400"));
    }

    void fullReplyEndsAtItsLastByte()
    {
        Rig rig(200); // 10.6 s read bound: only the 53rd byte can end this read
        rig.answerWith([](const QByteArray &) { return statusReply(1); });
        QElapsedTimer t;
        t.start();
        QCOMPARE(rig.run(), 53);
        QVERIFY(t.elapsed() < 5000);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(rig.buf.reply()), 53), statusReply(1));
        QVERIFY(rig.buf.replyCrcOk(53));
    }

    void aWholeAnswerEndsTheReadEarlyAnythingElseWaits()
    {
        // Real read window (531 ms). Each case: the reply, the count, whether it ends early.
        const auto exception = [](uint8_t address, uint8_t fn) {
            QByteArray r;
            r.append(char(address)).append(char(fn)).append(char(2));
            const uint16_t crc = crc16Modbus(reinterpret_cast<const uint8_t *>(r.constData()), 3);
            return r.append(char(crc & 0xFF)).append(char(crc >> 8));
        };
        const auto nearEcho = [](QByteArray req) { return req.replace(5, 1, "\x04"); };
        const struct {
            const char *what;
            uint8_t fn;
            std::function<QByteArray(const QByteArray &)> reply;
            int count;
            bool early;
        } cases[] = {
            {"echo", 6, [](const QByteArray &req) { return req; }, 8, true},
            {"exception to the write", 6, [&](const QByteArray &) { return exception(1, 0x86); }, 5, true},
            {"exception to the read", 3, [&](const QByteArray &) { return exception(1, 0x83); }, 5, true},
            {"echo differing in one byte", 6, nearEcho, 8, false},
            {"echo with other CRC bytes", 6, [](QByteArray req) { req[7] = char(req[7] ^ 0x5A); return req; }, 8, false},
            {"exception from another address", 6, [&](const QByteArray &) { return exception(2, 0x86); }, 5, false},
            {"exception with a bad CRC", 3,
             [&](const QByteArray &) {
                 QByteArray r = exception(1, 0x83);
                 r[4] = char(r[4] ^ 1);
                 return r;
             },
             5, false},
            {"a read's request sent back", 3, [](const QByteArray &req) { return req; }, 8, false},
        };
        for (const auto &c : cases) {
            Rig rig(10);
            rig.answerWith(c.reply);
            QElapsedTimer t;
            t.start();
            QCOMPARE(rig.run(1, c.fn, 15, 3), c.count);
            const qint64 ms = t.elapsed();
            QVERIFY2(c.early ? ms < 200 : ms >= 525, qPrintable(QStringLiteral("%1: %2 ms").arg(c.what).arg(ms)));
            QCOMPARE(QByteArray(reinterpret_cast<char *>(rig.buf.reply()), c.count),
                     c.reply(QByteArray(reinterpret_cast<char *>(rig.buf.request()), 8)));
        }
    }

    // The peer answers the moment a request arrives, as no real line can:
    // each exchange still lasts its request's wire time (8.33 ms at 9600).
    void anInstantAnswerWaitsForItsRequestToLeave()
    {
        Rig rig;
        rig.answerWith([](const QByteArray &) { return statusReply(1); });
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer t;
            t.start();
            QCOMPARE(rig.run(1, 3, 1, 24), 53);
            QVERIFY2(t.nsecsElapsed() >= 8'330'000, qPrintable(QString::number(t.nsecsElapsed())));
        }
    }

    void replySpreadOverTimeIsCollected()
    {
        Rig rig(20);
        const QByteArray reply = statusReply(7);
        rig.answerWith([&](const QByteArray &) {
            for (int i = 1; i < 6; ++i)
                QTimer::singleShot(i * 40, &rig.peer, [&rig, reply, i] { rig.peer.send(reply.mid(i * 10, i == 5 ? -1 : 10)); });
            return reply.left(10);
        });
        QCOMPARE(rig.run(7), 53);
        QVERIFY(rig.buf.replyCrcOk(53));
    }

    void strayBytesBeforeTheRequestArePurged()
    {
        Rig rig;
        rig.peer.send(QByteArray("\x55\x66", 2));
        QTest::qWait(50); // let them reach the port's own buffer
        rig.answerWith([](const QByteArray &req) { return req; });
        QCOMPARE(rig.run(1, 6, 1, 1), 8);
        QCOMPARE(rig.buf.at(0), uint8_t(1));
        QVERIFY(rig.buf.replyCrcOk(8));
    }

    void bytesBeyondTheFiftyThirdWaitForTheNextPurge()
    {
        Rig rig;
        rig.answerWith([](const QByteArray &) { return statusReply(1) + QByteArray(20, '\x77'); });
        QCOMPARE(rig.run(), 53);
        QVERIFY(rig.buf.replyCrcOk(53));
        rig.peer.disconnect();
        // The next transaction to a silent line sees none of the extra bytes.
        QCOMPARE(rig.run(), 0);
    }

    void bytesWaitingAtOpenAreDiscarded()
    {
        PtyPeer peer;
        peer.send(QByteArray(30, '\x11'));
        LineChannel channel;
        channel.setTiming({2, 1, 100, 1000});
        channel.setPortName(peer.slavePath());
        channel.open();
        Transaction tx(channel);
        QSignalSpy done(&tx, &Transaction::finished);
        QVERIFY(tx.query(1, 3, 1, 24));
        QVERIFY(done.wait(5000));
        QCOMPARE(replyCount(done.last()), 0);
    }

    void secondStartWhileRunningIsRefused()
    {
        Rig rig;
        QVERIFY(rig.tx.query(1, 3, 1, 24));
        QVERIFY(!rig.tx.query(2, 3, 1, 24));
        QVERIFY(rig.done.wait(5000));
        QCOMPARE(rig.done.count(), 1);
        QCOMPARE(rig.peer.received().size(), 8); // only the first request went out
        QVERIFY(rig.tx.query(2, 3, 1, 24)); // free again once it has ended
        QVERIFY(rig.done.wait(5000));
    }

    void garbageRepliesNeverEscapeTheBuffer()
    {
        Rig rig(1);
        auto *rng = QRandomGenerator::global();
        rig.answerWith([rng](const QByteArray &) {
            QByteArray junk(int(rng->bounded(0, 120)), Qt::Uninitialized);
            for (auto &c : junk)
                c = char(rng->bounded(256));
            return junk;
        });
        for (int i = 0; i < 40; ++i) {
            const int n = rig.run(uint8_t(i));
            QVERIFY(n >= 0 && n <= 53);
            rig.buf.replyCrcOk(uint8_t(n));
        }
        QVERIFY(rig.failures().isEmpty());
    }

    void vanishedFarEndIsReportedOnceAndClosesThePort_data()
    {
        QTest::addColumn<bool>("midReply");
        QTest::newRow("before the reply") << false;
        // While the rest of a reply is awaited the port is not watched; the
        // loss must still be met, once, within the read window.
        QTest::newRow("in the middle of the reply") << true;
    }

    void vanishedFarEndIsReportedOnceAndClosesThePort()
    {
        QFETCH(bool, midReply);
        Rig rig(50);
        if (midReply)
            rig.answerWith([&](const QByteArray &) {
                QTimer::singleShot(5, &rig.peer, [&] { rig.peer.close(); });
                return statusReply(1).left(10);
            });
        QVERIFY(rig.tx.query(1, 3, 1, 24));
        if (!midReply)
            QTimer::singleShot(30, &rig.peer, [&] { rig.peer.close(); });
        QElapsedTimer t;
        t.start();
        QVERIFY(rig.done.wait(5000));
        QVERIFY(t.elapsed() < 53 * 50);
        QTest::qWait(300);
        QCOMPARE(rig.done.count(), 1);
        QCOMPARE(rig.failures(), QStringList{QStringLiteral("Ошибка чтения из порта")});
        QVERIFY(exchangeResult(rig.done.first()).requestSent);
        QVERIFY(!rig.channel.isOpen());
        QVERIFY(rig.tx.query(1, 3, 1, 24)); // free again: this one fails on the closed port
        QVERIFY(rig.done.wait(2000));
    }

    void farEndVanishingBetweenExchangesIsReportedToo()
    {
        Rig rig;
        QSignalSpy idleLoss(&rig.channel, &LineChannel::lostWhileIdle);
        rig.peer.close();
        QVERIFY(idleLoss.wait(5000));
        QTest::qWait(200);
        QCOMPARE(idleLoss.count(), 1);
        QVERIFY(!rig.channel.isOpen());
        QCOMPARE(rig.done.count(), 0); // no transaction ran, none failed

        Rig busy(50);
        QSignalSpy busyLoss(&busy.channel, &LineChannel::lostWhileIdle);
        QVERIFY(busy.tx.query(1, 3, 1, 24));
        busy.peer.close();
        QVERIFY(busy.done.wait(5000));
        QCOMPARE(busy.failures().size(), 1);
        QCOMPARE(busyLoss.count(), 0); // the transaction reported it
    }

    void queryOnAClosedPortFailsThroughTheSignal()
    {
        Rig rig;
        rig.channel.close();
        QVERIFY(rig.tx.query(1, 3, 1, 24));
        QCOMPARE(rig.done.count(), 0); // never from inside the call
        QVERIFY(rig.done.wait(2000));
        QCOMPARE(rig.failures(), QStringList{QStringLiteral("Ошибка функции PurgeComm")});
        QVERIFY(!exchangeResult(rig.done.first()).requestSent); // nothing reached the line
    }

    void closeDuringAReadEndsTheTransaction()
    {
        Rig rig(50);
        QVERIFY(rig.tx.query(1, 3, 1, 24));
        QTimer::singleShot(20, &rig.channel, [&] { rig.channel.close(); });
        QVERIFY(rig.done.wait(3000));
        QCOMPARE(rig.failures().size(), 1);
        QVERIFY(rig.tx.query(1, 3, 1, 24));
        QVERIFY(rig.done.wait(2000));
        QCOMPARE(rig.failures().size(), 2);
    }
};

QTEST_GUILESS_MAIN(LinkTest)
#include "test_link.moc"
