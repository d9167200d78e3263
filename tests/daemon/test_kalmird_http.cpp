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


class TestKalmirdHttp : public QObject {
    Q_OBJECT
private slots:
    void metricsReachPrometheus();
    void pageInABrowser();
    void servesHttpsWithItsCertificate_data();
    void servesHttpsWithItsCertificate();
};

void TestKalmirdHttp::metricsReachPrometheus()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    QTemporaryDir dir;
    const QString link = dir.filePath(u"line"_s);
    Simulator sim;
    QVERIFY(startDetectors(sim, link, {1, 2, 3}));
    const QString tokenFile = writeTokenFile(dir, "s3cret-token\n");
    QFile token(tokenFile);
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

    // Without the token, on every path (and one that is not there: the
    // token comes first), with a wrong one, or to a path that is not there
    // with it: refused, one log line each; the good requests left none.
    for (const QByteArray path : {"/", "/metrics", "/status.json", "/nothing"}) {
        const HttpReply refused = httpGet(port, path);
        QCOMPARE(refused.status, 401);
        QVERIFY(refused.headers.contains("\r\nWWW-Authenticate: Basic realm=\"kalmird\", charset=\"UTF-8\"\r\n"));
        QCOMPARE(refused.body, QByteArray("token required\n"));
    }
    QCOMPARE(httpGet(port, "/", "Basic " + QByteArray("u:wrong").toBase64()).status, 401);
    QCOMPARE(httpGet(port, "/status.json", "Basic " + QByteArray("anyone:s3cret-token").toBase64()).status, 200);
    QCOMPARE(httpGet(port, "/nothing", bearer).status, 404);
    // A body where no path takes one (413 from its length, before any of it
    // came), a method other than GET (405), a request line and headers of
    // 16 KiB and one byte (431): each answer closes its connection.
    const QByteArray get = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + bearer + "\r\n";
    const HttpReply withBody = httpExchange(port, get + "Content-Length: 5\r\n\r\nhello");
    QCOMPARE(withBody.status, 413);
    QVERIFY(withBody.headers.contains("\r\nConnection: close\r\n"));
    QCOMPARE(httpExchange(port, get + "Content-Length: 1000000\r\n\r\n").status, 413);
    QCOMPARE(httpExchange(port, "POST" + get.mid(3) + "Content-Length: 1000000\r\n\r\n").status, 405);
    const QByteArray filled = get + "X-Fill: " + QByteArray(16 * 1024 - get.size() - 12, 'a') + "\r\n\r\n";
    QCOMPARE(filled.size(), 16 * 1024);
    QCOMPARE(httpExchange(port, filled).status, 200);
    const HttpReply tooLarge = httpExchange(port, QByteArray(filled).insert(get.size(), 'a'));
    QCOMPARE(tooLarge.status, 431);
    QVERIFY(tooLarge.headers.contains("\r\nConnection: close\r\n"));
    // A request line longer than the connection's buffer: refused by the
    // library (414, or the connection reset before the client reads it).
    (void)httpExchange(port, "GET /" + QByteArray(30000, 'a') + " HTTP/1.1\r\n\r\n", 2000);
    const HttpReply reply = httpGet(port, "/metrics", bearer);
    QCOMPARE(reply.status, 200);
    // One line a second per kind of refusal and address, then its count:
    // every refusal is told, the paths of a flood folded into its count.
    QTRY_COMPARE(toldLines(daemon.errorOutput(), "kalmird: http: "), 12); // those below and "listening on"
    const QByteArray log = daemon.errorOutput();
    QCOMPARE(toldLines(log, "kalmird: http: 401 GET "), 5);
    QCOMPARE(logLines(log, "kalmird: http: 401 GET / from 127.0.0.1"), logLines(log, "kalmird: http: 401 GET "));
    QCOMPARE(toldLines(log, "kalmird: http: request from 127.0.0.1 refused unread: no request line in its first 24 KiB; closed"), 1);
    QCOMPARE(toldLines(log, "kalmird: http: 404 GET /nothing from 127.0.0.1"), 1);
    QCOMPARE(toldLines(log, "kalmird: http: 413 GET /metrics from 127.0.0.1"), 2);
    QCOMPARE(toldLines(log, "kalmird: http: 405 POST /metrics from 127.0.0.1"), 1);
    QCOMPARE(toldLines(log, "kalmird: http: 431 GET /metrics from 127.0.0.1"), 1);

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
    // The round trips' bucket bounds, in seconds as Prometheus wants them.
    QList<QByteArray> bounds;
    for (const QByteArray &line : reply.body.split('\n'))
        if (line.startsWith(R"(kalmir_detector_round_trip_seconds_bucket{line="north",address="1",le=")"))
            bounds << line.split('"')[5];
    QCOMPARE(bounds, (QList<QByteArray>{"0.01", "0.025", "0.05", "0.075", "0.1", "0.15", "0.25", "0.5", "1", "+Inf"}));
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
    QVERIFY(startDetectors(sim, link, {1, 2, 3, 4, 5}));
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

    // Names reach the page as text, never as markup: the page's own
    // rendering of /status.json with the line named "<b>x</b>" (the
    // configuration takes no such name, a site's data could one day).
    const QString site = QString::fromUtf8(httpGet(port, "/status.json").body).replace(u"\"north\""_s, u"\"<b>x</b>\""_s);
    QCOMPARE(browser.ask(u"script show(%1); return document.querySelector('#lines h2').textContent.split(' ', 2).join(' ')"
                         " + ' ' + document.querySelectorAll('#lines b, #eventlist b').length"_s.arg(site)),
             u"Линия <b>x</b> 0"_s);

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

// With cert_file and key_file, an RSA key or an EC one: HTTPS that a client
// checking the certificate takes, and no plain HTTP on the same port.
void TestKalmirdHttp::servesHttpsWithItsCertificate_data()
{
    QTest::addColumn<QStringList>("key");
    QTest::newRow("RSA") << QStringList{u"-newkey"_s, u"rsa:2048"_s};
    QTest::newRow("EC") << QStringList{u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s, u"ec_paramgen_curve:prime256v1"_s};
}

void TestKalmirdHttp::servesHttpsWithItsCertificate()
{
    QFETCH(QStringList, key);
    QTemporaryDir dir;
    const QString cert = dir.filePath(u"http.pem"_s), keyFile = dir.filePath(u"http.key"_s);
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::ForwardedOutputChannel); // its progress dots are noise
    openssl.setStandardErrorFile(QProcess::nullDevice());
    openssl.start(u"openssl"_s, QStringList{u"req"_s, u"-x509"_s} + key
                                    + QStringList{u"-nodes"_s, u"-keyout"_s, keyFile, u"-out"_s, cert, u"-days"_s, u"1"_s,
                                                  u"-subj"_s, u"/CN=127.0.0.1"_s, u"-addext"_s,
                                                  u"subjectAltName=IP:127.0.0.1"_s});
    QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
    const quint16 port = freeLocalPort();
    DaemonProcess daemon(httpConfig(freeLocalPort(), dir.filePath(u"absent"_s), port,
                                    u"cert_file = \"%1\"\nkey_file = \"%2\"\n"_s.arg(cert, keyFile)));
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
