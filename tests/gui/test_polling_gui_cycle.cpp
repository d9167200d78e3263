// The polling cycle as the main window runs it against the simulator over a
// pseudo-terminal: the request and reply logs and lamps through time-outs
// and CRC errors, a stop during a reply wait, a code stored during a status
// wait, an exception reply to a status read, the errors that end a run, the
// device log rows and the cap on the logs' length.
#include "sim/fault.h"
#include "support/pollrig.h"

#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

namespace {
const QColor Red(255, 0, 0);
const QColor Lime(0, 255, 0);
const QColor White(255, 255, 255);

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
            storedAtOnce = rig.state().commands.pendingCode();
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
        QCOMPARE(rig.state().commands.pendingCode(), uint8_t(0));
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

    void conversionErrorEndsTheRunCleanly()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        QVERIFY(rig.ui().Edit16->text().isEmpty()); // the heater point field starts empty
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 1));
        QTest::mouseClick(rig.ui().Button30, Qt::LeftButton);
        QCOMPARE(rig.state().commands.pendingCode(), uint8_t(34));
        QVERIFY(PollRig::waitFor([&] { return !rig.session.polling().running(); }));

        const int requests = rig.receivedCount();
        QTest::qWait(300);
        QCOMPARE(rig.receivedCount(), requests); // the run is over
        QCOMPARE(reported.count(), 1);
        QCOMPARE(reported.first().first().toString(), QStringLiteral("'' is not a valid integer value"));
        QVERIFY2(rig.idleStateMismatches().isEmpty(), qPrintable(rig.idleStateMismatches().join("; ")));
        QCOMPARE(lampColor(rig.ui().Shape1), White);
        QCOMPARE(lampColor(rig.ui().Shape2), White);
        QCOMPARE(rig.state().commands.pendingCode(), uint8_t(34));
        for (const QByteArray &f : rig.received())
            QCOMPARE(uint8_t(f[1]), uint8_t(3)); // nothing was written

        // The code waits for the next run, which reads the field anew.
        rig.ui().Edit16->setText("30");
        const int from = rig.receivedCount();
        QVERIFY(rig.runPasses(2));
        QCOMPARE(rig.received(from).first(), rtuFrame(1, 6, 3, 30));
        QCOMPARE(rig.state().commands.pendingCode(), uint8_t(0));
    }

    void conversionErrorAtTheFirstPassEndsTheRunCleanly()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        rig.ui().Edit12->clear();
        QTest::mouseClick(rig.ui().Button22, Qt::LeftButton); // stored while idle: the serial number
        QCOMPARE(rig.state().commands.pendingCode(), uint8_t(26));
        QTest::mouseClick(rig.ui().Button2, Qt::LeftButton); // its first pass meets the empty field
        QVERIFY(PollRig::waitFor([&] { return !rig.session.polling().running() && reported.count() > 0; }));
        QTest::qWait(300);
        QCOMPARE(reported.count(), 1);
        QCOMPARE(rig.receivedCount(), 0);
        QVERIFY2(rig.idleStateMismatches().isEmpty(), qPrintable(rig.idleStateMismatches().join("; ")));
        QCOMPARE(lampColor(rig.ui().Shape1), White);
        QCOMPARE(lampColor(rig.ui().Shape2), White);
        QCOMPARE(rig.state().commands.pendingCode(), uint8_t(26));
    }

    void portErrorEndsTheRunCleanly()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 2));
        rig.sim.dropLine();
        QVERIFY(PollRig::waitFor([&] { return !rig.session.polling().running(); }));
        QTest::qWait(300); // a vanished line must not repeat its error
        QCOMPARE(reported.count(), 1);
        QVERIFY(!reported.first().first().toString().isEmpty());
        QVERIFY2(rig.idleStateMismatches(true).isEmpty(), qPrintable(rig.idleStateMismatches(true).join("; ")));
        QCOMPARE(lampColor(rig.ui().Shape1), White);
        QCOMPARE(lampColor(rig.ui().Shape2), White);
        QVERIFY(!rig.session.polling().isActive());
    }

    void portLostBetweenExchangesIsReportedOnce()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectPort(400));
        rig.listOnly({1});
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        // Lost while idle: one report, nothing else runs.
        rig.sim.dropLine(200);
        QVERIFY(reported.wait(5000));
        QVERIFY(PollRig::waitFor([&] { return rig.sim.isRunning(); }));
        QCOMPARE(rig.ui().Button1->text(), QStringLiteral("Разъединить"));
        QTest::mouseClick(rig.ui().Button1, Qt::LeftButton); // ends the wait for the old port
        QCOMPARE(rig.ui().Button1->text(), QStringLiteral("Соединить"));
        rig.ui().cb1->setEditText(rig.sim.slavePath()); // the line came back as a new pseudo-terminal
        QTest::mouseClick(rig.ui().Button1, Qt::LeftButton); // connects again
        QVERIFY(rig.session.lineChannel().isOpen());
        rig.listOnly({1});
        QCOMPARE(reported.count(), 1);
        rig.window->findChild<QMessageBox *>("errorBox")->close(); // read: a new loss may open a box

        // Lost during the delay after a reply: polling ends with one report.
        QVERIFY(rig.startPolling());
        QVERIFY(rig.waitForStatusLines(0, 1));
        rig.sim.dropLine();
        QVERIFY(PollRig::waitFor([&] { return !rig.session.polling().running(); }));
        QTest::qWait(300);
        QCOMPARE(reported.count(), 2);
        QCOMPARE(reported.last().first().toString(), QStringLiteral("Ошибка чтения из порта"));
        QVERIFY2(rig.idleStateMismatches(true).isEmpty(), qPrintable(rig.idleStateMismatches(true).join("; ")));
    }

    // The adapter pulled and plugged back: the line comes back under the same link name.
    void pollingResumesWhenThePortIsBack()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectByLink(5));
        rig.listOnly({1});
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        QVERIFY(rig.startPolling() && rig.waitForStatusLines(0, 2));
        rig.sim.dropLine(2500); // the watch looks twice and finds nothing
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        QCOMPARE(PollRig::lines(rig.ui().Memo2).filter("Порт потерян ").size(), 1);
        QVERIFY2(rig.idleStateMismatches(true).isEmpty(), qPrintable(rig.idleStateMismatches(true).join("; ")));
        QSignalSpy requests(&rig.sim, &Simulator::frameReceived);
        QVERIFY(PollRig::waitFor([&] { return requests.count() >= 2; }, 6000));
        QCOMPARE(reported.count(), 1);
        QCOMPARE(PollRig::lines(rig.ui().Memo2).filter("Порт снова открыт ").size(), 1);
        QCOMPARE(rig.ui().Button2->text(), QStringLiteral("Стоп"));
        QVERIFY(rig.ui().Button2->isEnabled() && rig.ui().Button4->isEnabled() && !rig.ui().Button3->isEnabled());
    }

    // "Медленно" (code 27, a toggle) whose echo the drop swallowed may have
    // acted: it is reported unconfirmed, never sent again. One stored while
    // the port is away goes out once when it is back.
    void aCommandTheLineTookIsNeverSentAgain()
    {
        PollRig rig;
        const auto fault = parseFaultOption(QStringLiteral("1/drop:1000*1"));
        QVERIFY(fault);
        rig.device(1).setFault(fault->fault);
        QVERIFY(rig.connectByLink(5));
        rig.listOnly({1});
        QTest::mouseClick(rig.ui().Button23, Qt::LeftButton);
        QVERIFY(rig.startPolling());
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        const QStringList unconfirmed = PollRig::lines(rig.ui().Memo2).filter(QStringLiteral("не подтверждена"));
        QCOMPARE(unconfirmed, QStringList{QStringLiteral("Команда 27 не подтверждена: порт потерян")});
        QVERIFY(rig.waitForStatusLines(0, 2));
        QCOMPARE(rig.writesSince(0).size(), 1);

        rig.sim.dropLine(1000);
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        QTest::mouseClick(rig.ui().Button23, Qt::LeftButton);
        QVERIFY(rig.waitForStatusLines(rig.statusLineCount(), 2));
        QCOMPARE(rig.writesSince(0).size(), 2);
        QCOMPARE(PollRig::lines(rig.ui().Memo2).filter(QStringLiteral("не подтверждена")).size(), 1);
        QVERIFY(PollRig::lines(rig.ui().Memo2).contains(decimalBytes(rig.writesSince(0).last(), QStringLiteral("  "))));
    }

    // The detector echoes its new speed, and the adapter is gone before the
    // port can be opened at it: the speed command is done and never goes out
    // again when the port is back; polling goes on at the new speed.
    void aNewSpeedThePortCannotFollowIsNotSentAgain()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectByLink(5));
        rig.listOnly({1});
        rig.ui().cb7->setCurrentIndex(4); // "19200"
        QVERIFY(rig.startPolling() && rig.waitForStatusLines(0, 1));
        const QString link = rig.sim.linkPath();
        QObject::connect(&rig.sim, &Simulator::frameSent, &rig.sim, [&](const QByteArray &frame) {
            if (uint8_t(frame[1]) == 6)
                QFile::remove(link);
        });
        QTest::mouseClick(rig.ui().Button8, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        QCOMPARE(rig.ui().cb2->currentText(), QStringLiteral("19200"));
        QVERIFY(QFile::link(rig.sim.slavePath(), link)); // the adapter is back
        QVERIFY(rig.waitForStatusLines(rig.statusLineCount(), 2));
        QCOMPARE(rig.writesSince(0), QList<QByteArray>{rtuFrame(1, 6, 0, 1 * 256 + 16)});
        QCOMPARE(PollRig::lines(rig.ui().Memo2).filter(decimalBytes(rtuFrame(1, 6, 0, 1 * 256 + 16), "  ")).size(), 1);
    }

    // The table cleared while the port is away: nothing is polled when it is
    // back (no request to the broadcast address 0), and the window shows an
    // empty table with polling stopped, every way out of it open.
    void aTableClearedWhileThePortIsAwayIsNotPolled()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectByLink(5));
        rig.listOnly({1});
        QVERIFY(rig.startPolling() && rig.waitForStatusLines(0, 1));
        rig.sim.dropLine(300);
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        QTest::mouseClick(rig.ui().Button9, Qt::LeftButton);
        QVERIFY(rig.ui().Button1->isEnabled() && rig.ui().Button5->isEnabled() && !rig.ui().Button2->isEnabled());
        const int before = rig.receivedCount();
        QVERIFY(PollRig::waitFor([&] { return rig.session.lineChannel().isOpen(); }, 5000));
        QTest::qWait(500);
        QCOMPARE(rig.receivedCount(), before);
        QVERIFY(!rig.session.polling().running());
        QCOMPARE(rig.ui().Button2->text(), QStringLiteral("Запрос"));
        for (QWidget *w : {rig.ui().Button1, rig.ui().Button5, rig.ui().Button3})
            QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
        QVERIFY(!rig.ui().Button2->isEnabled() && !rig.ui().Button9->isEnabled());
    }

    // An adapter that drops the line at every reply: one box at a time for
    // the losses, each loss in the reply log and in the statistics.
    void aFlakyPortOpensOneBoxAtATime()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectByLink(5));
        rig.listOnly({1});
        QVERIFY(rig.startPolling());
        for (int loss = 1; loss <= 3; ++loss) {
            QVERIFY(PollRig::waitFor([&] { return rig.session.polling().running(); }, 5000));
            QVERIFY(rig.waitForStatusLines(rig.statusLineCount(), 1));
            rig.sim.dropLine(200);
            QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        }
        const auto boxes = [&] {
            int shown = 0;
            for (auto *box : rig.window->findChildren<QMessageBox *>("errorBox"))
                shown += box->isVisible();
            return shown;
        };
        QCOMPARE(boxes(), 1);
        QCOMPARE(PollRig::lines(rig.ui().Memo2).filter("Порт потерян ").size(), 3);
        QCOMPARE(rig.state().stats.portLosses(), 3u);
        QVERIFY(rig.state().stats.textTable({1}).endsWith(QStringLiteral("Потери порта: 3\n")));
        // Once that box is closed, the next loss may open one again.
        rig.window->findChild<QMessageBox *>("errorBox")->close();
        QVERIFY(PollRig::waitFor([&] { return rig.session.polling().running(); }, 5000));
        rig.sim.dropLine(200);
        QVERIFY(PollRig::waitFor([&] { return boxes() == 1; }));
    }

    void searchStaysEndedAndDisconnectOrCloseEndsTheWait()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.connectByLink(0));
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        const auto dropAndAwait = [&] {
            rig.sim.dropLine(300);
            return PollRig::waitFor([&] { return rig.session.awaitingPort(); });
        };
        QTest::mouseClick(rig.ui().Button3, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return rig.receivedCount() >= 2; }) && dropAndAwait());
        QVERIFY(PollRig::waitFor([&] { return rig.session.lineChannel().isOpen(); }, 5000));
        QSignalSpy requests(&rig.sim, &Simulator::frameReceived);
        QTest::qWait(500); // the search is not taken up again
        QCOMPARE(requests.count(), 0);
        QVERIFY2(rig.idleStateMismatches().isEmpty(), qPrintable(rig.idleStateMismatches().join("; ")));

        QVERIFY(dropAndAwait()); // lost while idle, then "Разъединить"
        QTest::mouseClick(rig.ui().Button1, Qt::LeftButton);
        QTest::qWait(1500); // the line is back by now and stays closed
        QVERIFY(rig.sim.isRunning() && !rig.session.lineChannel().isOpen() && !rig.session.awaitingPort());
        QCOMPARE(reported.count(), 2);

        QVERIFY(rig.connectPort(0) && dropAndAwait()); // lost again, and the window closes
        rig.window->close();
        QVERIFY(!rig.session.awaitingPort());
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
