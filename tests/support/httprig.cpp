#include "support/httprig.h"
#include "support/localport.h"

#include "sim/simulator.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QUrlQuery>
#include <cmath>
#include "support/childprocess.h"

HttpReply httpGet(quint16 port, const QByteArray &path, const QByteArray &authorization, int timeoutMs,
                  const QString &from)
{
    QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!authorization.isEmpty())
        request += "Authorization: " + authorization + "\r\n";
    return httpExchange(port, request + "\r\n", timeoutMs, from);
}

HttpReply httpExchange(quint16 port, const QByteArray &request, int timeoutMs, const QString &from)
{
    QTcpSocket socket;
    socket.bind(QHostAddress(from));
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    socket.write(request);
    QByteArray all;
    HttpReply reply;
    // Done when the body is as long as the header says, or the server closed.
    (void)QTest::qWaitFor(
        [&] {
            all += socket.readAll();
            const qsizetype end = all.indexOf("\r\n\r\n");
            if (end < 0)
                return socket.state() == QAbstractSocket::UnconnectedState;
            reply.headers = all.left(end);
            reply.body = all.mid(end + 4);
            const qsizetype at = reply.headers.toLower().indexOf("content-length:");
            const qsizetype length = at < 0 ? -1 : reply.headers.mid(at + 15).split('\r').first().trimmed().toLongLong();
            return reply.body.size() >= length && length >= 0;
        },
        timeoutMs);
    if (reply.headers.startsWith("HTTP/1.1 "))
        reply.status = reply.headers.mid(9, 3).toInt();
    return reply;
}

QString httpConfig(int brokerPort, const QString &link, quint16 httpPort, const QString &extraHttp,
                   const QString &devices, int speed)
{
    return QStringLiteral("[mqtt]\nhost = \"127.0.0.1\"\nport = %1\n\n[http]\nlisten = \"127.0.0.1:%2\"\n%3\n"
                          "[[line]]\nname = \"north\"\nport = \"%4\"\nspeed = %5\ndevices = %6\noffline_probe_s = 1\n")
        .arg(brokerPort)
        .arg(httpPort)
        .arg(extraHttp, link)
        .arg(speed)
        .arg(devices);
}

bool startDetectors(Simulator &sim, const QString &link, std::initializer_list<uint8_t> addresses, int baud)
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
    return sim.start(link);
}

QString writeTokenFile(const QTemporaryDir &dir, const QByteArray &text)
{
    QFile token(dir.filePath(QStringLiteral("token")));
    if (!token.open(QIODevice::WriteOnly) || token.write(text) != text.size())
        return {};
    token.close();
    token.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    return token.fileName();
}

int logLines(const QByteArray &log, const QByteArray &start)
{
    const QList<QByteArray> lines = log.split('\n');
    return int(std::count_if(lines.begin(), lines.end(), [&](const QByteArray &l) { return l.startsWith(start); }));
}

int toldLines(const QByteArray &log, const QByteArray &start)
{
    static const QRegularExpression count(QStringLiteral(R"(: (\d+) more like this in the last \d+ s$)"));
    int told = 0;
    for (const QByteArray &line : log.split('\n')) {
        if (!line.startsWith(start))
            continue;
        const QRegularExpressionMatch m = count.match(QString::fromUtf8(line));
        told += m.hasMatch() ? m.captured(1).toInt() : 1;
    }
    return told;
}

double metricValue(const QByteArray &text, const QByteArray &series)
{
    for (const QByteArray &line : text.split('\n'))
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    return std::nan("");
}

int promtoolCheck(const QByteArray &metrics, QByteArray *output)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    p.write(metrics);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

PrometheusProcess::PrometheusProcess(quint16 targetPort, const QString &tokenFile) : port(freeLocalPort())
{
    QFile config(dir.filePath(QStringLiteral("prometheus.yml")));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
                                "scrape_configs:\n  - job_name: kalmird\n    authorization:\n"
                                "      type: Bearer\n      credentials_file: %1\n"
                                "    static_configs:\n      - targets: ['127.0.0.1:%2']\n")
                     .arg(tokenFile)
                     .arg(targetPort)
                     .toUtf8());
}

PrometheusProcess::~PrometheusProcess()
{
    if (proc.state() == QProcess::NotRunning)
        return;
    proc.terminate();
    if (!proc.waitForFinished(10000))
        proc.kill();
    proc.waitForFinished(2000);
}

bool PrometheusProcess::start(int timeoutMs)
{
    proc.setProcessChannelMode(QProcess::MergedChannels);
    stopsWithTest(proc);
    proc.start(QStringLiteral("prometheus"),
               {u"--config.file="_qs + dir.filePath(QStringLiteral("prometheus.yml")),
                u"--storage.tsdb.path="_qs + dir.filePath(QStringLiteral("data")),
                QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port)});
    return QTest::qWaitFor([&] { return httpGet(port, "/-/ready", {}, 1000).status == 200; }, timeoutMs);
}

QJsonArray PrometheusProcess::query(const QString &promql)
{
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("query"), promql);
    const HttpReply r = httpGet(port, "/api/v1/query?" + q.toString(QUrl::FullyEncoded).toUtf8());
    return QJsonDocument::fromJson(r.body).object().value(u"data"_qs).toObject().value(u"result"_qs).toArray();
}

QByteArray PrometheusProcess::output()
{
    return proc.readAll();
}

BrowserProcess::BrowserProcess() = default;

BrowserProcess::~BrowserProcess()
{
    if (proc.state() == QProcess::NotRunning)
        return;
    proc.closeWriteChannel(); // the driver quits Chromium at the end of its input
    if (!proc.waitForFinished(15000))
        proc.kill();
    proc.waitForFinished(2000);
}

bool BrowserProcess::start(int timeoutMs)
{
    stopsWithTest(proc);
    proc.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(KALMIR_SOURCE_DIR "/tests/support/pagedriver.py"),
                                           dir.filePath(QStringLiteral("profile"))});
    return ask(QStringLiteral("hello"), timeoutMs) == u"ok";
}

QString BrowserProcess::ask(const QString &command, int timeoutMs)
{
    proc.write(command.toUtf8() + '\n');
    qsizetype end = -1;
    (void)QTest::qWaitFor(
        [&] {
            pending += proc.readAllStandardOutput();
            end = pending.indexOf('\n');
            return end >= 0 || proc.state() == QProcess::NotRunning;
        },
        timeoutMs);
    if (end < 0)
        return {};
    const QString answer = QString::fromUtf8(pending.left(end));
    pending.remove(0, end + 1);
    return answer;
}

QByteArray BrowserProcess::errorOutput()
{
    return proc.readAllStandardError();
}
