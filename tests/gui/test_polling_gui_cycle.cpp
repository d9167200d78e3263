// The polling cycle as the main window runs it against the simulator over a
// pseudo-terminal: the request and reply logs and lamps through time-outs
// and CRC errors, a stop during a reply wait, a code stored during a status
// wait, an exception reply to a status read, the device log rows and the cap
// on the logs' length.
#include "sim/fault.h"
#include "support/lampcolours.h"
#include "support/pollrig.h"

#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString StatusRequest = QStringLiteral("1 3 0 1 0 24 20 0");

bool isStatusLine(const QString &line)
{
    static const QRegularExpression status(QStringLiteral("^\\d{1,3}(  \\d{1,3}){10}$"));
    return status.match(line).hasMatch();
}

// The first eleven bytes of the detector's status reply, as its registers give them.
QByteArray statusReplyHead(const Detector &d)
{
    QByteArray head{"\x01\x03\x30"};
    for (int n = 1; n <= 4; ++n) {
        head.append(char(d.reg(n) >> 8));
        head.append(char(d.reg(n) & 0xFF));
    }
    return head;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// The header line of a device log in Windows-1251, with its line end.
const QByteArray LogHeader("\xC2\xF0\xE5\xEC\xFF    U\xE8\xEA  U\xF3\xF4  U\xEA\xE7  U\xF2  "
                           "\xCF\xEE\xE6\xE0\xF0 \xC0\xE2\xE0\xF0\xE8\xFF \xCA.\xC7.\r\n");

// The data rows of a log file (everything after the header), each with its CR LF.
QList<QByteArray> logRows(const QByteArray &file)
{
    QList<QByteArray> rows;
    qsizetype at = file.indexOf("\r\n");
    if (at < 0)
        return rows;
    at += 2;
    while (at < file.size()) {
        const qsizetype end = file.indexOf("\r\n", at);
        if (end < 0) {
            rows << file.mid(at); // an unfinished row
            break;
        }
        rows << file.mid(at, end + 2 - at);
        at = end + 2;
    }
    return rows;
}

// Connects a hook to every request the simulator receives; the hook gets its
// number, counted from 1.
template <class Hook> QMetaObject::Connection onEachRequest(PollRig &rig, Hook hook)
{
    auto n = std::make_shared<int>(0);
    return QObject::connect(&rig.sim, &Simulator::frameReceived, &rig.sim, [n, hook] { hook(++*n); });
}
} // namespace

class PollingGuiCycleTest : public QObject {
    Q_OBJECT
private slots:
    void timeOutAndCrcErrorLinesAndTheLamps()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        struct Seen {
            QColor request, reply;
            QString line;
        };
        QList<Seen> seen; // at each request: what the passes before it left
        onEachRequest(rig, [&](int n) {
            seen << Seen{lampColor(rig.ui().Shape1), lampColor(rig.ui().Shape2), rig.lastLine(rig.ui().Memo2)};
            if (n == 2)
                rig.sim.setFault({FaultKind::BadCrc, 0, 1});
            if (n == 4)
                rig.sim.setFault({FaultKind::Silence, 0, 1});
        });
        QVERIFY(rig.runPasses(6));

        const QString crcLine = QStringLiteral("CRCerror:  ") + decimalBytes(statusReplyHead(dev), "  ");
        const QString status = rig.lastLine(rig.ui().Memo2);
        QVERIFY(isStatusLine(status));
        QCOMPARE(PollRig::lines(rig.ui().Memo2),
                 (QStringList{"Ответ", "", status, crcLine, status, "TimeOuterror", status, status}));
        QCOMPARE(PollRig::lines(rig.ui().Memo1), (QStringList{"Запрос", "", StatusRequest, StatusRequest,
                                                              StatusRequest, StatusRequest, StatusRequest,
                                                              StatusRequest}));
        QCOMPARE(seen.size(), 6);
        const QList<QColor> replyLamp{Lime, White, Lime, White, Lime};
        for (int i = 1; i < 6; ++i) {
            QCOMPARE(seen[i].request, Red); // each pass paints the request lamp first
            QVERIFY2(seen[i].reply == replyLamp[i - 1], qPrintable(QStringLiteral("after pass %1").arg(i)));
        }
        QVERIFY(rig.idleStateMismatches().isEmpty());
    }

    void stopDuringAReplyWaitStillShowsThatReply()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        const int from = rig.receivedCount();
        QString captionAtStop;
        onEachRequest(rig, [&](int n) {
            if (n != 1)
                return;
            dev.setRegister(sreg::Uik, 777); // this request's reply carries it
            QTest::mouseClick(rig.ui().Button2, Qt::LeftButton);
            captionAtStop = rig.ui().Button2->text();
        });
        QVERIFY(rig.startPolling());
        QVERIFY(PollRig::waitFor([&] { return !rig.session.polling().running(); }));
        QCOMPARE(captionAtStop, QStringLiteral("Запрос"));
        QCOMPARE(rig.cell(1, 1), QStringLiteral("777"));
        QVERIFY(isStatusLine(rig.lastLine(rig.ui().Memo2)));
        QVERIFY(rig.lastLine(rig.ui().Memo2).contains("  3  9  ")); // 777 = 3 * 256 + 9
        QCOMPARE(rig.received(from).size(), 1);
        QVERIFY2(rig.idleStateMismatches().isEmpty(), qPrintable(rig.idleStateMismatches().join("; ")));
        QCOMPARE(lampColor(rig.ui().Shape1), White);
        // The reply lamp keeps what the last pass set after the stop: it got its reply.
        QCOMPARE(lampColor(rig.ui().Shape2), Lime);
        QTest::qWait(300);
        QCOMPARE(rig.received(from).size(), 1); // no pass after the stopped one
    }

    void codeStoredDuringAStatusWaitGoesOutNextPass()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        const int from = rig.receivedCount();
        uint8_t storedAtOnce = 0;
        onEachRequest(rig, [&](int n) {
            if (n != 1)
                return;
            dev.setRegister(sreg::Uik, 4321);
            QTest::mouseClick(rig.ui().Button17, Qt::LeftButton); // "Сброс пожара"
            storedAtOnce = uint8_t(rig.state().commandSlot.take().command);
        });
        QVERIFY(rig.runPasses(3));
        QCOMPARE(storedAtOnce, uint8_t(17));
        QCOMPARE(rig.received(from),
                 (QList<QByteArray>{rtuFrame(1, 3, 1, 24), rtuFrame(1, 6, 1, 1), rtuFrame(1, 3, 1, 24)}));
        QCOMPARE(rig.cell(1, 1), QStringLiteral("4321")); // the status reply was shown as usual
        const QStringList replies = PollRig::lines(rig.ui().Memo2).mid(2);
        QCOMPARE(replies.size(), 3);
        QVERIFY(isStatusLine(replies[0]));
        QCOMPARE(replies[1], decimalBytes(rtuFrame(1, 6, 1, 1), "  "));
        QVERIFY(isStatusLine(replies[2]));
        QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
    }

    void exceptionReplyToAStatusReadIsNotShown()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        dev.setRegister(sreg::Uik, 111);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        QVERIFY(rig.runPasses(1));
        QCOMPARE(rig.cell(1, 1), QStringLiteral("111"));

        const auto hook = onEachRequest(rig, [&](int) {
            dev.setRegister(sreg::Uik, 222);
            dev.setFault({FaultKind::Exception, 2, 1});
        });
        const QStringList before = PollRig::lines(rig.ui().Memo2);
        QVERIFY(rig.runPasses(1));
        QObject::disconnect(hook);
        QCOMPARE(rig.cell(1, 1), QStringLiteral("111")); // not decoded
        const QStringList after = PollRig::lines(rig.ui().Memo2);
        QCOMPARE(after.size(), before.size() + 1);
        const QString line = after.last();
        const QString bytes = decimalBytes(withModbusCrc(QByteArray("\x01\x83\x02")), "  ");
        QVERIFY2(line.endsWith("  " + bytes), qPrintable(line));
        // In front of the bytes: words saying what came, with the exception code.
        const QString what = line.left(line.size() - bytes.size()).trimmed();
        QVERIFY2(what.contains(QRegularExpression("\\p{L}{4,}")) && what.contains('2'), qPrintable(line));
        QVERIFY(!line.startsWith("CRCerror") && !line.startsWith("TimeOuterror"));
        QCOMPARE(lampColor(rig.ui().Shape2), Lime); // a failed status read, but its CRC was good

        QVERIFY(rig.runPasses(1)); // the next good reply is shown
        QCOMPARE(rig.cell(1, 1), QStringLiteral("222"));
    }

    void logRowsWhileLoggingIsOn()
    {
        PollRig rig;
        Detector &dev = rig.device(1);
        for (auto [reg, value] : {std::pair{sreg::Uik, 512}, {sreg::Uuf, 498}, {sreg::Ukz, 120}, {sreg::Ut, 235}})
            dev.setRegister(reg, uint16_t(value));
        dev.setAlarmFlags(0x04); // dust only
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        const QString path = QDir::current().filePath("dev1.txt");
        QVERIFY(rig.ui().wf->isVisible());
        QVERIFY(!rig.ui().wf->isChecked());

        QVERIFY(rig.runPasses(3)); // logging off: the header only
        QCOMPARE(fileBytes(path), LogHeader);

        QTest::mouseClick(rig.ui().wf, Qt::LeftButton);
        QVERIFY(rig.ui().wf->isChecked());
        // At every request the rows of all earlier replies are in the file already.
        const int since = rig.statusLineCount();
        QStringList lagging;
        auto hook = onEachRequest(rig, [&](int n) {
            const int rows = int(logRows(fileBytes(path)).size());
            if (rows != rig.statusLineCount() - since)
                lagging << QStringLiteral("request %1: %2 rows").arg(n).arg(rows);
        });
        QVERIFY(rig.runPasses(4));
        QObject::disconnect(hook);
        QVERIFY2(lagging.isEmpty(), qPrintable(lagging.join("; ")));

        QByteArray file = fileBytes(path);
        QVERIFY(file.startsWith(LogHeader));
        QList<QByteArray> rows = logRows(file);
        QCOMPARE(rows.size(), 4);
        const QByteArray rest("  512  498  120  235  0  0  1  \r\n");
        for (const QByteArray &row : rows) {
            QVERIFY2(row.size() > 8 && row.mid(8) == rest, row.constData());
            QVERIFY2(QTime::fromString(QString::fromLatin1(row.left(8)), "HH:mm:ss").isValid(), row.constData());
        }

        // A time-out and a CRC error show nothing, so they log nothing.
        hook = onEachRequest(rig, [&](int n) {
            rig.sim.setFault({n == 1 ? FaultKind::Silence : FaultKind::BadCrc, 0, 1});
        });
        QVERIFY(rig.runPasses(2));
        QObject::disconnect(hook);
        QVERIFY(PollRig::lines(rig.ui().Memo2).last().startsWith("CRCerror:  "));
        QCOMPARE(logRows(fileBytes(path)).size(), 4);

        QTest::mouseClick(rig.ui().wf, Qt::LeftButton);
        QVERIFY(!rig.ui().wf->isChecked());
        QVERIFY(rig.runPasses(2));
        QCOMPARE(fileBytes(path), file);
    }

    void logsKeepTheNewestLines()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        const int limit = MainWindow::MemoLineLimit;
        QStringList filler;
        filler.reserve(limit);
        for (int i = 0; i < limit; ++i)
            filler << QStringLiteral("старая строка %1").arg(i);
        for (LogView *memo : {rig.ui().Memo1, rig.ui().Memo2}) {
            QCOMPARE(memo->maximumBlockCount(), limit);
            memo->setPlainText(filler.join('\n'));
            QCOMPARE(memo->blockCount(), limit);
        }
        QVERIFY(rig.runPasses(2));
        for (LogView *memo : {rig.ui().Memo1, rig.ui().Memo2}) {
            QCOMPARE(memo->blockCount(), limit);
            QCOMPARE(memo->line(0), QStringLiteral("старая строка 2"));
            QCOMPARE(memo->line(limit - 3), QStringLiteral("старая строка %1").arg(limit - 1));
        }
        QCOMPARE(rig.ui().Memo1->lastLine(), StatusRequest);
        QVERIFY(isStatusLine(rig.ui().Memo2->lastLine()));
    }
};

POLLRIG_TEST_MAIN(PollingGuiCycleTest)
#include "test_polling_gui_cycle.moc"
