#pragma once
#include <QByteArray>
#include <QJsonArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// One GET on a connection of its own ("Connection: close"), turning the
// caller's event loop meanwhile. status 0: no answer within the time.
struct HttpReply {
    int status = 0;
    QByteArray headers;
    QByteArray body;
};
HttpReply httpGet(quint16 port, const QByteArray &path, const QByteArray &authorization = {}, int timeoutMs = 5000);

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
