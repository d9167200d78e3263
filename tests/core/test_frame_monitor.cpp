// The exchange monitor's records against the simulator's wire log, on a line
// keeping wire time with a turnaround and a fault plan: a late reply, a cut
// one, one from another address, noise after a reply, an exception and
// silence. Verdicts, bytes and times (within a character), and the CSV.
#include "link/framecsv.h"
#include "session/bussearch.h"
#include "session/frametap.h"
#include "support/simrig.h"
#include <QtTest>

class FrameMonitorTest : public QObject {
    Q_OBJECT
private slots:
    // A search probes the next address from inside the last one's result:
    // the monitor still gets each probe as it went.
    void searchProbesAreRecordedAsTheyWent()
    {
        SimRig r;
        r.sim.addDetector(1);
        r.sim.addDetector(2);
        FrameTap tap(r.line, r.channel);
        QStringList rows;
        connect(&tap, &FrameTap::frame, [&rows](const FrameRecord &f) {
            rows << directionText(f.direction) + QString::number(f.address) + verdictText(f);
        });
        tap.acquire();
        BusSearch search(r.line, r.state);
        connect(&search, &BusSearch::probed, [&search](uint8_t a) { if (a == 3) search.stop(); });
        QSignalSpy ended(&search, &BusSearch::ended);
        QVERIFY(search.start());
        QVERIFY(ended.wait(5000));
        QCOMPARE(rows, (QStringList{"→1", "←1статус", "→2", "←2статус", "→3", "←3тайм-аут"}));
    }

    void faultPlanRowsMatchTheWireLog()
    {
        SimRig r;
        r.channel.close();
        r.channel.setTiming(LineChannel::Timing{});
        r.channel.setBaudRate(1200); // a character of 8.3 ms: the times hold on a busy machine too
        r.channel.open();
        r.sim.setWireTime(true, 5);
        // address: the fault its replies meet
        const QList<std::pair<int, QString>> plan{{1, {}},           {2, "late:30"},     {3, "truncate:20"},
                                                  {4, "foreign:9"},  {5, "trailing:3"},  {6, "exception:2"},
                                                  {1, {}}};
        for (const auto &[a, fault] : plan) {
            Detector *d = r.sim.detector(uint8_t(a)) ? r.sim.detector(uint8_t(a)) : &r.sim.addDetector(uint8_t(a), 1200);
            if (!fault.isEmpty())
                d->setFault(parseFaultOption(fault)->fault);
        }
        FrameTap tap(r.line, r.channel);
        QList<FrameRecord> rows;
        connect(&tap, &FrameTap::frame, [&rows](const FrameRecord &f) { rows << f; });
        tap.acquire();
        QSignalSpy done(&r.line, &LineService::exchanged);
        const auto read = [&r](int a) { return r.line.run({uint8_t(a), FnReadHolding, 1, 24}, [](const ExchangeResult &) {}); };
        for (int a : {1, 2, 3, 4, 5, 6, 7, 1}) { // 7: nobody there
            QVERIFY(read(a));
            QVERIFY(done.wait(3000));
        }
        tap.release();
        QVERIFY(read(1)); // not recorded: nobody watches
        QVERIFY(done.wait(3000));

        QStringList verdicts;
        for (const FrameRecord &f : rows)
            verdicts << directionText(f.direction) + verdictText(f);
        QCOMPARE(verdicts, (QStringList{"→", "←статус", "→", "←статус", "→", "←обрыв: 20 из 53", "→",
                                        "←неожиданный", "→", "←статус", "~шум", "→", "←исключение 2", "→",
                                        "←тайм-аут", "→", "←статус"}));
        QCOMPARE(rows[7].address, 9);

        // The same frames in the simulator's log, with its wire times.
        QList<SimFrame> wire;
        for (const SimFrame &f : r.sim.frames())
            wire << f;
        const double ch = r.channel.charMs();
        int w = 0;
        for (int i = 0; i + 1 < rows.size(); ++i) {
            if (rows[i].direction != FrameDirection::Request)
                continue;
            const SimFrame &request = wire[w++];
            QCOMPARE(request.direction, SimFrame::Received);
            QCOMPARE(request.bytes, rows[i].bytes);
            const FrameRecord &reply = rows[i + 1];
            if (reply.verdict == FrameVerdict::Timeout)
                continue;
            const SimFrame &sent = wire[w++];
            QCOMPARE(reply.bytes, reply.verdict == FrameVerdict::Status && rows.value(i + 2).verdict == FrameVerdict::Noise
                                      ? sent.bytes.left(53) : sent.bytes);
            const double after = (sent.firstChar - request.lastChar) * 1000;
            const double span = (sent.lastChar - sent.firstChar) * 1000;
            QVERIFY2(qAbs(reply.answerAfterMs - after) <= ch, qPrintable(QString("%1: %2 / %3").arg(i).arg(reply.answerAfterMs).arg(after)));
            // The reply starts at its own first byte, not when the request was on the line.
            const double start = reply.startMs - rows[i].endMs;
            QVERIFY2(qAbs(start - after) <= ch, qPrintable(QString("%1: %2 / %3").arg(i).arg(start).arg(after)));
            if (rows.value(i + 2).verdict != FrameVerdict::Noise)
                QVERIFY2(qAbs(reply.spanMs - span) <= ch, qPrintable(QString("%1: %2 / %3").arg(i).arg(reply.spanMs).arg(span)));
        }
        // The simulator's turnaround of 5 ms after 3.5 characters of silence.
        QCOMPARE(rows[1].startMs - rows[0].endMs > 3.5 * ch + 5 - ch, true);
        QCOMPARE(rows[3].answerAfterMs > 3.5 * ch + 5 + 30 - ch, true); // the late one
        QCOMPARE(rows[10].bytes.size(), 3);

        QTemporaryDir dir;
        FrameCsvFile csv;
        QVERIFY(csv.open(dir.filePath("m.csv")));
        for (const FrameRecord &f : rows)
            QVERIFY(csv.append(f));
        QFile file(dir.filePath("m.csv"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray all = file.readAll();
        QVERIFY(all.startsWith("\xEF\xBB\xBF"));
        const QStringList lines = QString::fromUtf8(all.mid(3)).split("\r\n", Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), rows.size() + 1);
        QCOMPARE(lines[0], frameColumnTitles(true).join(';'));
        QCOMPARE(lines[2].section(';', 8, 8), QString("статус"));
        QCOMPARE(lines[6].section(';', 7, 7).left(8), QString("03 03 30"));
        QCOMPARE(QString::fromUtf8(frameCsvLine(rows[15])).trimmed(), lines[16]);
    }
};

QTEST_GUILESS_MAIN(FrameMonitorTest)
#include "test_frame_monitor.moc"
