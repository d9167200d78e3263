// kalmird against a real Mosquitto and the simulator on a pseudo-terminal:
// what becomes of the alarms when the device logs cannot be written, the
// broker goes away, or nobody reads kalmird's own log.
#include "sim/simulator.h"
#include "support/gatewayrig.h"
#include "support/guestwire.h"
#include "support/httprig.h"
#include "support/mqttrig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTest>
#include <arpa/inet.h>
#include <csignal>
#include <deque>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;

class TestKalmirdOutages : public QObject {
    Q_OBJECT
private slots:
    void logsNeverStopTheAlarms();
    void holdsTheLastEventsWhileTheBrokerIsAway();
    void aClientsLinesComeOnceASecond();
    void aLogNobodyReadsNeitherFloodsNorBlocks();
};

namespace {
QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}

// The sum of the numbers that the matches of `pattern` hold in its first group.
int sum(const QString &text, const QString &pattern)
{
    int total = 0;
    for (auto m = QRegularExpression(pattern).globalMatch(text); m.hasNext();)
        total += m.next().captured(1).toInt();
    return total;
}

// kalmird's stderr as a FIFO that is read only while reading is on; off,
// it is a journal that stalls, its pipe at the kernel's smallest (a page).
struct LogPipe {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("stderr"));
    int fd = (::mkfifo(QFile::encodeName(path), 0600), ::open(QFile::encodeName(path), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    QSocketNotifier notifier{qintptr(fd), QSocketNotifier::Read};
    QByteArray text;
    LogPipe()
    {
        ::fcntl(fd, F_SETPIPE_SZ, 4096);
        QObject::connect(&notifier, &QSocketNotifier::activated, [this] { read(); });
    }
    ~LogPipe() { ::close(fd); }
    void read()
    {
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
            text.append(chunk, n);
        if (n == 0)
            notifier.setEnabled(false); // kalmird gone
    }
    void reading(bool on)
    {
        notifier.setEnabled(on);
        if (on)
            read();
    }
    int count(const QString &pattern) const { return int(QString::fromUtf8(text).count(QRegularExpression(pattern))); }
    int sum(const QString &pattern) const { return ::sum(QString::fromUtf8(text), pattern); }
};

// Connections to the gateway from ever new addresses of 127.1.0.0/16, each
// held while 8 more open, about 300 a second, on a thread of their own.
struct AddressFlood {
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::thread thread;
    AddressFlood(quint16 port, int first) : thread([this, port, first] { run(port, first); }) {}
    ~AddressFlood()
    {
        stop = true;
        thread.join();
    }
    void run(quint16 port, int first)
    {
        std::deque<int> held;
        for (int i = first; !stop; ++i, ++opened, ::usleep(3000)) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const timeval patience{0, 200000}; // a kalmird that hangs must not hang the flood
            ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
            sockaddr_in from{AF_INET, 0, {htonl(0x7F010000u | uint32_t(i / 250 % 256) << 8 | uint32_t(i % 250 + 1))}, {}};
            sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
            ::bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from);
            ::connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to);
            held.push_back(s);
            for (; held.size() > 8; held.pop_front())
                ::close(held.front());
        }
        for (const int s : held)
            ::close(s);
    }
};

// Status replies of a detector after fromMs, up to toMs.
int statusReplies(const QList<SimFrame> &frames, uint8_t address, double fromMs, double toMs = 1e12)
{
    return int(std::count_if(frames.begin(), frames.end(), [&](const SimFrame &f) {
        return f.direction == SimFrame::Sent && f.bytes.size() == 53 && uint8_t(f.bytes[0]) == address
               && f.lastChar * 1000 > fromMs && f.lastChar * 1000 <= toMs;
    }));
}

// Three detectors at 19200 baud on the simulator in wire-time mode, watched
// by the rig's kalmird, whose gateway takes 32 clients and lets a request
// wait 1 ms; `more`: further tables. True once the three are online.
bool watchThree(Simulator &sim, GatewayRig &rig, const QString &more = {})
{
    sim.setFrozen(true);
    sim.setWireTime(true);
    for (const uint8_t a : {1, 2, 3})
        sim.addDetector(a, 19200);
    if (!sim.start())
        return false;
    rig.start(sim.slavePath(), 19200, QStringLiteral("[1, 2, 3]"), {}, u"max_clients = 32\nwait_ms = 1\n"_s + more);
    return rig.online({1, 2, 3});
}

// Sets the soft file-size limit of a running process ("unlimited" lifts it
// again: the hard limit stays unlimited, so no privilege is needed).
bool limitFileSize(qint64 pid, const QString &limit)
{
    return QProcess::execute(QStringLiteral("prlimit"), {QStringLiteral("--pid"), QString::number(pid),
                                                         QStringLiteral("--fsize=%1:unlimited").arg(limit)}) == 0;
}
} // namespace

// The device logs are a record beside the alarms: a log left by an earlier
// run joins the chain of older files, and rows that cannot be written (a
// file-size limit here; a full disk takes the same path) are counted and
// reported once while polling, states and events go on.
void TestKalmirdOutages::logsNeverStopTheAlarms()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    QTemporaryDir dir;
    Simulator sim;
    sim.setFrozen(true);
    Detector &five = sim.addDetector(5);
    QVERIFY(sim.start());
    const QString logs = dir.filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkpath(logs));
    const QByteArray earlier = "Header\r\n10:00:00  1  2  3  4  0  0  0  \r\n" + QByteArray(60, '.') + "\r\n";
    writeFile(logs + QStringLiteral("/dev5.txt"), earlier);
    writeFile(logs + QStringLiteral("/dev5.1.txt"), "older");
    Subscriber sub(broker.port(), QStringLiteral("kalmir/#"));
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("north"), sim.slavePath(), QStringLiteral("[5]"))
                         + QStringLiteral("log_dir = \"%1\"\nlog_keep = 2\n").arg(logs));
    daemon.start();
    QVERIFY2(sub.waitFor(QStringLiteral("kalmir/north/5/availability"), "online", 10000), daemon.errorOutput());
    QCOMPARE(QDir(logs).entryList(QDir::Files, QDir::Name),
             QStringList({QStringLiteral("dev5.1.txt"), QStringLiteral("dev5.2.txt"), QStringLiteral("dev5.txt")}));
    QCOMPARE(readFile(logs + QStringLiteral("/dev5.1.txt")), earlier);
    QCOMPARE(readFile(logs + QStringLiteral("/dev5.2.txt")), QByteArray("older"));
    const QString log = logs + QStringLiteral("/dev5.txt");
    QVERIFY(QTest::qWaitFor([&] { return readFile(log).count("\r\n") >= 3; }, 5000));

    // No row fits any more; kalmird must neither stop polling nor die. A row
    // may still land while prlimit starts, so the size is taken at the report.
    QVERIFY(limitFileSize(daemon.pid(), QString::number(QFileInfo(log).size())));
    const QByteArray report = QStringLiteral("line north: 1 device log row(s) not written: I/O error 27: %1: File too large\n")
                                  .arg(log)
                                  .toUtf8();
    QVERIFY2(QTest::qWaitFor([&] { return daemon.errorOutput().contains(report); }, 5000), daemon.errorOutput());
    const qint64 full = QFileInfo(log).size();
    const int mark = int(sub.messages().size());
    five.setRegister(sreg::Uik, uint16_t(five.reg(sreg::IrThreshold) + 50));
    QVERIFY2(sub.waitFor(QStringLiteral("kalmir/north/5/event"),
                         [](const QByteArray &p) { return json(p).value(QStringLiteral("on")).toBool(); }, 3000, mark),
             daemon.errorOutput());
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/5/state"),
                        [](const QByteArray &p) { return json(p).value(QStringLiteral("fire")).toBool(); }, 3000, mark));
    QCOMPARE(QFileInfo(log).size(), full);
    QCOMPARE(daemon.errorOutput().count("device log row(s) not written"), 1);

    // Room again: the log goes on with whole rows.
    QVERIFY(limitFileSize(daemon.pid(), QStringLiteral("unlimited")));
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(log).size() > full; }, 3000));
    QVERIFY(readFile(log).endsWith("  \r\n"));
    QCOMPARE(daemon.terminate(), 0);
}

// While the broker is away every event waits in the queue on disk (far
// below its bound here): 1300 changes of an alarm bit give 1300 messages.
void TestKalmirdOutages::holdsTheLastEventsWhileTheBrokerIsAway()
{
    BrokerProcess broker(true);
    QVERIFY(broker.start());
    Simulator sim;
    sim.setFrozen(true);
    Detector &five = sim.addDetector(5);
    QVERIFY(sim.start());
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("north"), sim.slavePath(), QStringLiteral("[5]")));
    daemon.start();
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("connected"); }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("detector 5 online"); }, 5000));
    broker.stop();
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("lost"); }, 5000));

    // The fault bit flips on every status read of detector 5.
    int flips = 0;
    connect(&sim, &Simulator::frameReceived, this, [&](const QByteArray &request) {
        if (flips < 1300 && uint8_t(request[0]) == 5 && uint8_t(request[1]) == 3) {
            five.setAlarmFlags(five.alarmFlags() ^ alarmbit::Fault);
            ++flips;
        }
    });
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().count("detector 5 fault ") == 1300; }, 90000));
    QCOMPARE(flips, 1300);
    QVERIFY(broker.start());
    const QByteArray dropped = "1300 events held are sent now";
    QVERIFY2(QTest::qWaitFor([&] { return daemon.errorOutput().contains(dropped); }, 40000), daemon.errorOutput());
    QVERIFY2(daemon.errorOutput().contains(" 0 events dropped, 1300 events held"), daemon.errorOutput());
    const auto delivered = [&] { return int(broker.log().count("'kalmir/north/5/event'")); };
    QVERIFY(QTest::qWaitFor([&] { return delivered() >= 1300; }, 10000));
    QTest::qWait(500);
    QCOMPARE(delivered(), 1300);
    QCOMPARE(daemon.terminate(), 0);
}

// Twenty clients of one address at once, then 1000 reads in one packet
// that expire one after the other: one line of each kind, then the count of
// the rest.
void TestKalmirdOutages::aClientsLinesComeOnceASecond()
{
    Simulator sim;
    GatewayRig rig;
    QVERIFY(watchThree(sim, rig));
    std::vector<std::unique_ptr<MbapClient>> clients(20);
    for (auto &c : clients)
        QVERIFY((c = std::make_unique<MbapClient>(rig.modbusPort))->open());
    QVERIFY2(loopUntil([&] { return rig.log().contains(": Modbus TCP client connected: 19 more like this in the last 1 s\n"); },
                       3000),
             rig.log());
    QCOMPARE(rig.log().count(": Modbus TCP client connected\n"), 1);
    QByteArray reads;
    for (int i = 0; i < 1000; ++i)
        reads += pdu({i >> 8, i & 0xFF, 0, 0, 0, 6, 1, 3, 0, 1, 0, 1});
    QElapsedTimer flood;
    flood.start();
    clients[0]->sendRaw(reads);
    const QJsonObject counts = rig.counts(1000);
    QCOMPARE(counts.value("requests").toInt(), 1000);
    const int expired = counts.value("expired").toInt();
    const QString first = u"unit 1 fn 3: expired, not started within \\d+ ms"_s;
    const auto log = [&] { return QString::fromUtf8(rig.log()); };
    const auto told = [&] {
        return int(log().count(QRegularExpression(first + u'\n'))) + sum(log(), first + u": (\\d+) more like this"_s);
    };
    QVERIFY2(loopUntil([&] { return told() == expired; }, 3000),
             qPrintable(u"%1 of %2"_s.arg(told()).arg(expired)));
    const int lines = int(log().count(QRegularExpression(first)));
    qInfo("%d of 1000 reads expired, told in %d lines", expired, lines);
    QVERIFY(expired > 500 && lines <= flood.elapsed() / 1000 + 2);
}

// stderr into a pipe nobody reads while ever new addresses flood the
// gateway: polling keeps its pace, and what could not wait is counted, in
// the log and in /metrics, in whole lines; at a stop what waits still gets out.
void TestKalmirdOutages::aLogNobodyReadsNeitherFloodsNorBlocks()
{
    Simulator sim;
    LogPipe log;
    GatewayRig rig;
    rig.errorFile = log.path;
    const quint16 http = freeLocalPort();
    QVERIFY2(watchThree(sim, rig, u"[http]\nlisten = \"127.0.0.1:%1\"\n"_s.arg(http)), log.text);
    loopFor(3000); // the pace before
    log.reading(false);
    const double from = sim.frames().last().time * 1000;
    QElapsedTimer stalled;
    stalled.start();
    {
        AddressFlood addresses(rig.modbusPort, 0);
        loopFor(8000);
    }
    const QList<SimFrame> frames = sim.frames();
    for (const uint8_t a : {1, 2, 3}) {
        const double rate = statusReplies(frames, a, from) * 1000.0 / double(stalled.elapsed());
        const double before = statusReplies(frames, a, from - 3000, from) / 3.0;
        qInfo("detector %d: %.1f status replies a second, %.1f before; largest gap %.0f ms", a, rate, before,
              largestStatusGap(frames, a, from));
        QVERIFY(rate >= 0.75 * before);
    }
    log.reading(true);
    const QString dropped = u"kalmird: log: (\\d+) line\\(s\\) dropped, stderr was not read in time\n"_s;
    const auto metric = [&] { return metricValue(httpGet(http, "/metrics").body, "kalmir_log_lines_dropped_total"); };
    QVERIFY2(QTest::qWaitFor([&] { return log.sum(dropped) > 0 && metric() == log.sum(dropped); }, 5000),
             qPrintable(u"%1 dropped, /metrics %2"_s.arg(log.sum(dropped)).arg(metric())));
    qInfo("%d lines dropped", log.sum(dropped));
    QCOMPARE(log.count(dropped), 1); // one count for the whole stall
    QVERIFY(log.count(u"\\(and other addresses\\): \\d+ more like this in the last \\d+ s\n"_s) > 0);
    QVERIFY(log.text.endsWith('\n') && log.count(u"(^|\n)(?!kalmird: |$)"_s) == 0);

    // Stalled again, stopped; the reader comes back after kalmird's loop has ended.
    loopFor(2000);
    log.reading(false);
    const qsizetype before = log.text.size();
    {
        AddressFlood addresses(rig.modbusPort, 10000);
        QVERIFY(loopUntil([&] { return addresses.opened >= 150; }, 5000));
    }
    loopFor(500);
    ::kill(pid_t(rig.daemon->pid()), SIGTERM);
    loopFor(1500);
    log.reading(true);
    QCOMPARE(rig.daemon->terminate(), 0);
    log.read();
    QVERIFY2(log.text.indexOf("kalmird: stopped\n", before) > 0, log.text.mid(before).right(2000));
}

QTEST_GUILESS_MAIN(TestKalmirdOutages)
#include "test_kalmird_outages.moc"
