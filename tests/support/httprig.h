#pragma once
#include <QByteArray>
#include <QJsonArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <initializer_list>

class Simulator;

// One GET on a connection of its own ("Connection: close") from the
// address `from`, turning the caller's event loop meanwhile. status 0: no
// answer within the time.
struct HttpReply {
    int status = 0;
    QByteArray headers;
    QByteArray body;
};
HttpReply httpGet(quint16 port, const QByteArray &path, const QByteArray &authorization = {}, int timeoutMs = 5000,
                  const QString &from = QStringLiteral("127.0.0.1"));
// The same with a request of the caller's own, sent as it is.
HttpReply httpExchange(quint16 port, const QByteArray &request, int timeoutMs = 5000,
                       const QString &from = QStringLiteral("127.0.0.1"));

// kalmird's configuration in the endpoint's suites: no broker at
// brokerPort needed, the endpoint on 127.0.0.1:httpPort with extraHttp's
// lines, one line "north" on `link`.
QString httpConfig(int brokerPort, const QString &link, quint16 httpPort, const QString &extraHttp,
                   const QString &devices = QStringLiteral("[1, 2, 3, 9]"), int speed = 9600);

// The simulator, frozen, with detectors at these addresses, each with
// figures of its own (Uik 110 + a, Ut -1.5 a °C, serial 40000 + a,
// version v.1.(a+1).(100+a)), started on `link`.
bool startDetectors(Simulator &sim, const QString &link, std::initializer_list<uint8_t> addresses, int baud = 9600);

// A token file as the service wants it (owner and group only).
QString writeTokenFile(const QTemporaryDir &dir, const QByteArray &text);

// Lines of the service's log that begin so.
int logLines(const QByteArray &log, const QByteArray &start);
// The events those lines tell: one a line, or the N of a line that ends in
// ": N more like this in the last M s".
int toldLines(const QByteArray &log, const QByteArray &start);

// The value of one series in Prometheus' text format ("name{labels}"); NaN if absent.
double metricValue(const QByteArray &text, const QByteArray &series);

// Debian's promtool: `check metrics` on the text; its exit code and output.
int promtoolCheck(const QByteArray &metrics, QByteArray *output);

// Debian's Prometheus on a free port of 127.0.0.1, scraping one target
// every second with a bearer token from a file, its data in a folder of
// its own. Stopped by the destructor.
class PrometheusProcess {
public:
    PrometheusProcess(quint16 targetPort, const QString &tokenFile);
    ~PrometheusProcess();
    // Waits until it says it is ready.
    bool start(int timeoutMs = 15000);
    // An instant query's result vector (empty when none or on an error).
    QJsonArray query(const QString &promql);
    QByteArray output();

private:
    QTemporaryDir dir;
    QProcess proc;
    quint16 port;
};

// Debian's headless Chromium driven through chromedriver by
// support/pagedriver.py, offline (every host name resolves to nothing).
// Each call sends one command and waits for its one-line answer.
class BrowserProcess {
public:
    BrowserProcess();
    ~BrowserProcess();
    bool start(int timeoutMs = 30000);
    // "ok", the answer, or "error: ..."; empty when the driver is gone.
    QString ask(const QString &command, int timeoutMs = 15000);
    QByteArray errorOutput();

private:
    QTemporaryDir dir;
    QProcess proc;
    QByteArray pending;
};
