// kalmird's HTTP endpoint against the real things: the simulator on a
// pseudo-terminal, Mosquitto, Debian's Prometheus and promtool, and a
// headless Chromium showing the status page.
#include "sim/simulator.h"
#include "support/httprig.h"
#include "support/mqttrig.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonObject>
#include <QProcess>
#include <QSslSocket>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <cmath>
#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

namespace {
QString httpConfig(int brokerPort, const QString &link, quint16 httpPort, const QString &extraHttp,
                   const QString &devices = u"[1, 2, 3, 9]"_s, int speed = 9600)
{
    return u"[mqtt]\nhost = \"127.0.0.1\"\nport = %1\n\n[http]\nlisten = \"127.0.0.1:%2\"\n%3\n"
           "[[line]]\nname = \"north\"\nport = \"%4\"\nspeed = %5\ndevices = %6\noffline_probe_s = 1\n"_s
        .arg(brokerPort)
        .arg(httpPort)
        .arg(extraHttp, link)
        .arg(speed)
        .arg(devices);
}

// Lines of the service's log that begin so.
int logLines(const QByteArray &log, const QByteArray &start)
{
    const QList<QByteArray> lines = log.split('\n');
    return int(std::count_if(lines.begin(), lines.end(), [&](const QByteArray &l) { return l.startsWith(start); }));
}

constexpr int GuardedMax = 16; // connections the endpoint keeps open at once

void startDetectors(Simulator &sim, const QString &link, std::initializer_list<uint8_t> addresses, int baud = 9600)
{
    sim.setFrozen(true);
    for (uint8_t a : addresses) {
        Detector &d = sim.addDetector(a, baud);
        d.setRegister(sreg::Uik, uint16_t(110 + a));
        d.setRegister(sreg::Ut, uint16_t(-15 * a));
        d.setRegister(sreg::Serial, uint16_t(40000 + a));
        d.setRegister(sreg::VersionBuild, uint16_t(100 + a));
        d.setRegister(sreg::Version, uint16_t(0x0100 | (a + 1)));
    }
    QVERIFY(sim.start(link));
}
} // namespace

class TestKalmirdHttp : public QObject {
    Q_OBJECT
private slots:
    void metricsReachPrometheus();
    void pageInABrowser();
    void slowAndGreedyClientsDoNotSlowPolling();
    void servesHttpsWithItsCertificate();
};

void TestKalmirdHttp::metricsReachPrometheus()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    QTemporaryDir dir;
    const QString link = dir.filePath(u"line"_s);
    Simulator sim;
    startDetectors(sim, link, {1, 2, 3});
    const QString tokenFile = dir.filePath(u"token"_s);
    QFile token(tokenFile);
    QVERIFY(token.open(QIODevice::WriteOnly));
    token.write("s3cret-token\n");
    token.close();
    QVERIFY(token.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const quint16 port = freeLocalPort();
    DaemonProcess daemon(httpConfig(broker.port(), link, port, u"token_file = \"%1\"\n"_s.arg(tokenFile)));
    daemon.start();
    const QByteArray bearer = "Bearer s3cret-token";
    QVERIFY2(QTest::qWaitFor([&] { return httpGet(port, "/metrics", bearer).body.contains("kalmir_mqtt_connected 1"); },
                             10000),
             daemon.errorOutput());
    // The absent detector has been asked and has not answered. (Whether it is
    // shown down is not checked: on a loaded machine the simulator's late
    // reply to detector 3 can come in 9's turn, and the polling cycle takes
    // a status reply without looking at its address.)
    QByteArray scrape;
    QVERIFY(QTest::qWaitFor([&] { scrape = httpGet(port, "/metrics", bearer).body;
                                  return metricValue(scrape, R"(kalmir_timeouts_total{line="north",address="9"})") == 1; },
                            10000));

    // Without the token, with a wrong one, or to a path that is not there:
    // refused, one log line each; the good requests left none.
    QCOMPARE(httpGet(port, "/metrics").status, 401);
    QCOMPARE(httpGet(port, "/", "Basic " + QByteArray("u:wrong").toBase64()).status, 401);
    QCOMPARE(httpGet(port, "/status.json", "Basic " + QByteArray("anyone:s3cret-token").toBase64()).status, 200);
    QCOMPARE(httpGet(port, "/nothing", bearer).status, 404);
    const HttpReply reply = httpGet(port, "/metrics", bearer);
    QCOMPARE(reply.status, 200);
    QTest::qWait(200);
    const QByteArray log = daemon.errorOutput();
    QCOMPARE(logLines(log, "kalmird: http: 401 GET /metrics from 127.0.0.1"), 1);
    QCOMPARE(logLines(log, "kalmird: http: 401 GET / from 127.0.0.1"), 1);
    QCOMPARE(logLines(log, "kalmird: http: 404 GET /nothing from 127.0.0.1"), 1);
    QCOMPARE(logLines(log, "kalmird: http: "), 4); // the three and "listening on"

    // What the detectors sent, under Prometheus' names, which promtool passes.
    QByteArray lint;
    QCOMPARE(promtoolCheck(reply.body, &lint), 0);
    QCOMPARE(lint, QByteArray());
    double inFlight = 0;
    for (const int a : {1, 2, 3}) {
        const QByteArray labels = "{line=\"north\",address=\"" + QByteArray::number(a) + '"';
        QCOMPARE(metricValue(reply.body, "kalmir_detector_up" + labels + '}'), 1.0);
        QCOMPARE(metricValue(reply.body, "kalmir_detector_ir_signal" + labels + '}'), 110.0 + a);
        QCOMPARE(metricValue(reply.body, "kalmir_detector_temperature_celsius" + labels + '}'), -1.5 * a);
        QCOMPARE(metricValue(reply.body, "kalmir_detector_info" + labels + ",serial=\"" + QByteArray::number(40000 + a)
                                             + "\",version=\"v.1." + QByteArray::number(a + 1) + '.'
                                             + QByteArray::number(100 + a) + "\"}"),
                 1.0);
        QCOMPARE(metricValue(reply.body, "kalmir_timeouts_total" + labels + '}'), 0.0);
        const double good = metricValue(reply.body, "kalmir_detector_round_trip_seconds_count" + labels + '}');
        QCOMPARE(metricValue(reply.body, "kalmir_detector_round_trip_seconds_bucket" + labels + ",le=\"+Inf\"}"), good);
        // One request of the line may be under way at the scrape.
        inFlight += metricValue(reply.body, "kalmir_requests_total" + labels + '}') - good;
    }
    QVERIFY2(inFlight == 0 || inFlight == 1, QByteArray::number(inFlight));
    QCOMPARE(metricValue(reply.body, R"(kalmir_line_up{line="north"})"), 1.0);

    // Prometheus scrapes with the token; a fire set in the simulator reaches it.
    PrometheusProcess prometheus(port, tokenFile);
    QVERIFY(prometheus.start());
    QVERIFY2(QTest::qWaitFor([&] { return prometheus.query(u"kalmir_detector_up"_s).size() == 4; }, 20000),
             prometheus.output());
    QCOMPARE(prometheus.query(u"sum(kalmir_detector_up{address=~\"1|2|3\"})"_s)[0].toObject()[u"value"_s].toArray()[1].toString(), u"3"_s);
    sim.detector(2)->setAlarmFlags(alarmbit::Fire);
    const QString fire = uR"(kalmir_detector_fire{line="north",address="2"})"_s;
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QJsonArray r = prometheus.query(fire);
            return r.size() == 1 && r[0].toObject()[u"value"_s].toArray()[1].toString() == u"1";
        },
        10000));

    // A change of [http] is refused on reload, as one of the broker is.
    QFile config(daemon.configPath());
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray before = config.readAll();
    config.close();
    QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
    config.write(QByteArray(before).replace(QByteArray::number(port) + '"', QByteArray::number(port + 1) + '"'));
    config.close();
    ::kill(pid_t(daemon.pid()), SIGHUP);
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("reload refused: the [http] settings changed"); },
                            5000));
    QCOMPARE(httpGet(port, "/metrics", bearer).status, 200);
    QCOMPARE(daemon.terminate(), 0);

    // A token file others may read stops the start, as the password file does.
    QVERIFY(token.setPermissions(token.permissions() | QFile::ReadOther));
    QByteArray out, err;
    QCOMPARE(daemon.run({}, &out, &err), 2);
    QCOMPARE(err, u"kalmird: token file %1 is readable by every user (mode 0644); allow only its owner and group: "
                  "chmod o-rwx %1\n"_s.arg(tokenFile).toUtf8());
}

// The screenshots go to $KALMIR_SCREENSHOTS when set (the docs' pictures).
void TestKalmirdHttp::pageInABrowser()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(u"line"_s);
    Simulator sim;
    sim.setWireTime(true); // the figures of a real line in the pictures
    startDetectors(sim, link, {1, 2, 3, 4, 5});
    const quint16 port = freeLocalPort();
    DaemonProcess daemon(httpConfig(freeLocalPort(), link, port, {}, u"[1, 2, 3, 4, 5, 9]"_s));
    daemon.start();
    QVERIFY(QTest::qWaitFor([&] { return httpGet(port, "/status.json").status == 200; }, 10000));
    sim.detector(4)->setAlarmFlags(alarmbit::Fault | alarmbit::Dust);

    BrowserProcess browser;
    QVERIFY2(browser.start(), browser.errorOutput());
    QCOMPARE(browser.ask(u"size 1366 768"_s), u"ok"_s);
    QCOMPARE(browser.ask(u"open http://127.0.0.1:%1/"_s.arg(port)), u"ok"_s);
    // What the page shows follows the detectors' replies: each check waits for its next turn.
    const auto shows = [&](const QString &what, const QString &expected) {
        return QTest::qWaitFor([&] { return browser.ask(what) == expected; }, 5000);
    };
    QVERIFY(shows(u"class link-north-9"_s, u"lamp link"_s));
    QCOMPARE(browser.ask(u"rows"_s), u"d-north-1 d-north-2 d-north-3 d-north-4 d-north-5 d-north-9"_s);
    QVERIFY(shows(u"class link-north-1"_s, u"lamp link on"_s));
    QVERIFY(shows(u"class fire-north-2"_s, u"lamp fire"_s));
    QVERIFY(shows(u"class fault-north-4"_s, u"lamp fault on"_s));
    QVERIFY(shows(u"class dust-north-4"_s, u"lamp dust on"_s));
    QVERIFY(shows(u"text line-north"_s, u"на связи"_s));

    // A fire turns its lamp red within 2 s.
    sim.detector(2)->setAlarmFlags(alarmbit::Fire);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(QTest::qWaitFor([&] { return browser.ask(u"class fire-north-2"_s) == u"lamp fire on"; }, 5000));
    QVERIFY2(clock.elapsed() < 2000, QByteArray::number(clock.elapsed()));

    const QString shots = qEnvironmentVariable("KALMIR_SCREENSHOTS", dir.path());
    QCOMPARE(browser.ask(u"shot %1/http-laptop.png"_s.arg(shots)), u"ok"_s);
    QCOMPARE(browser.ask(u"size 390 844"_s), u"ok"_s);
    QTest::qWait(1200);
    QCOMPARE(browser.ask(u"shot %1/http-phone.png"_s.arg(shots)), u"ok"_s);

    // The line lost: the page says so.
    sim.stop();
    QVERIFY(shows(u"text line-north"_s, u"потеряна"_s));
    QVERIFY(shows(u"class link-north-1"_s, u"lamp link"_s));
    const QByteArray lost = httpGet(port, "/metrics").body;
    QCOMPARE(metricValue(lost, R"(kalmir_line_up{line="north"})"), 0.0);
    QCOMPARE(metricValue(lost, R"(kalmir_line_lost_total{line="north"})"), 1.0);
    // The page asked for nothing that is not there (no favicon): no failed request in the log.
    QCOMPARE(logLines(daemon.errorOutput(), "kalmird: http: "), 1);
}

// A client that sends a byte a second, and 100 connections opened at once:
// the endpoint closes the first after 10 s and all but 16 at once, and the
// line's passes per second stay within 2 % of a run without them.
void TestKalmirdHttp::slowAndGreedyClientsDoNotSlowPolling()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(u"line"_s);
    Simulator sim;
    sim.setWireTime(true);
    startDetectors(sim, link, {1, 2, 3, 4}, 19200);
    int passes = 0;
    connect(&sim, &Simulator::frameSent, this, [&](const QByteArray &f) { passes += f.size() == 53; });
    const quint16 port = freeLocalPort();
    DaemonProcess daemon(httpConfig(freeLocalPort(), link, port, {}, u"[1, 2, 3, 4]"_s, 19200));
    daemon.start();
    QVERIFY(QTest::qWaitFor([&] { return httpGet(port, "/metrics").status == 200; }, 10000));
    QTest::qWait(2000);
    const auto passesPerSecond = [&](int ms) {
        passes = 0;
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(ms);
        return passes * 1000.0 / double(clock.elapsed());
    };
    const double quiet = passesPerSecond(10000);
    // kalmird's own figures: the passes of its last 5 s, and the wire's limit
    // for status passes at 19200 baud (68 characters of 10 bits each).
    const QByteArray figures = httpGet(port, "/metrics").body;
    const double ownRate = metricValue(figures, R"(kalmir_line_passes_per_second{line="north"})");
    QVERIFY2(std::abs(ownRate - quiet) <= 0.02 * quiet, qPrintable(u"%1 against %2"_s.arg(ownRate).arg(quiet)));
    QCOMPARE(metricValue(figures, R"(kalmir_line_wire_limit_passes_per_second{line="north"})"), 19200 / 680.0);

    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(slow.waitForConnected(1000));
    const QByteArray request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    int sent = 0;
    QTimer drip;
    connect(&drip, &QTimer::timeout, &slow, [&] { slow.write(request.mid(sent++, 1)); });
    drip.start(1000);
    std::vector<std::unique_ptr<QTcpSocket>> greedy;
    for (int i = 0; i < 100; ++i) {
        greedy.push_back(std::make_unique<QTcpSocket>());
        greedy.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    const auto stillOpen = [&] {
        return std::count_if(greedy.begin(), greedy.end(),
                             [](const auto &s) { return s->state() == QAbstractSocket::ConnectedState; });
    };
    QElapsedTimer since;
    since.start();
    qint64 closedAt = -1;
    connect(&slow, &QTcpSocket::disconnected, this, [&] { closedAt = since.elapsed(); });
    qsizetype openAfterBurst = -1;
    QTimer::singleShot(1500, this, [&] { openAfterBurst = stillOpen(); });
    const double busy = passesPerSecond(12000);
    QCOMPARE(openAfterBurst, qsizetype(GuardedMax - 1)); // the slow one holds the 16th
    QTRY_COMPARE_WITH_TIMEOUT(stillOpen(), qsizetype(0), 2000); // idle ones go after 10 s too
    // Closed 10 s after its first byte, which went 1 s after the connect.
    QVERIFY2(closedAt >= 10500 && closedAt <= 12000, QByteArray::number(closedAt));
    QVERIFY2(std::abs(busy - quiet) <= 0.02 * quiet,
             qPrintable(u"%1 passes/s quiet, %2 with the clients"_s.arg(quiet).arg(busy)));
    QTest::qWait(500);
    const QByteArray log = daemon.errorOutput();
    // Told in a line or two (when a slot freed meanwhile), 85 in all.
    int refused = 0;
    auto told = QRegularExpression(uR"(kalmird: http: (\d+) connection\(s\) closed at once while 16 were open)"_s)
                    .globalMatch(QString::fromUtf8(log));
    while (told.hasNext())
        refused += told.next().captured(1).toInt();
    QCOMPARE(refused, 85);
    QCOMPARE(logLines(log, "kalmird: http: 408 request from 127.0.0.1 unfinished after 10 s, closed"), 1);
    QCOMPARE(httpGet(port, "/metrics").status, 200);
}

// With cert_file and key_file: HTTPS that a client checking the certificate
// takes, and no plain HTTP on the same port.
void TestKalmirdHttp::servesHttpsWithItsCertificate()
{
    QTemporaryDir dir;
    const QString cert = dir.filePath(u"http.pem"_s), key = dir.filePath(u"http.key"_s);
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::ForwardedOutputChannel); // its progress dots are noise
    openssl.setStandardErrorFile(QProcess::nullDevice());
    openssl.start(u"openssl"_s, {u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s,
                                              u"-keyout"_s, key, u"-out"_s, cert, u"-days"_s, u"1"_s, u"-subj"_s,
                                              u"/CN=127.0.0.1"_s, u"-addext"_s, u"subjectAltName=IP:127.0.0.1"_s});
    QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
    const quint16 port = freeLocalPort();
    DaemonProcess daemon(httpConfig(freeLocalPort(), dir.filePath(u"absent"_s), port,
                                    u"cert_file = \"%1\"\nkey_file = \"%2\"\n"_s.arg(cert, key)));
    daemon.start();
    QSslSocket tls;
    QSslConfiguration c = tls.sslConfiguration();
    c.setCaCertificates(QSslCertificate::fromPath(cert));
    tls.setSslConfiguration(c);
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("http: listening on https://127.0.0.1"); }, 5000));
    tls.connectToHostEncrypted(u"127.0.0.1"_s, port);
    QVERIFY2(tls.waitForEncrypted(5000), qPrintable(tls.errorString()));
    tls.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    // The last family of /metrics is the build's.
    QVERIFY(QTest::qWaitFor([&] { answer += tls.readAll(); return answer.endsWith("kalmir_build_info{version=\"" KALMIR_VERSION "\"} 1\n"); },
                            5000));
    QVERIFY2(answer.startsWith("HTTP/1.1 200 OK\r\n") && answer.contains("\nkalmir_line_up{line=\"north\"} 0\n"),
             answer.left(300));
    QCOMPARE(httpGet(port, "/metrics").status, 0);
}

QTEST_GUILESS_MAIN(TestKalmirdHttp)
#include "test_kalmird_http.moc"
