#pragma once
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A mosquitto broker of the test's own on a free port of 127.0.0.1, in a
// temporary folder. Secured, it takes only TLS with a password: the folder
// gets a CA and a server certificate for 127.0.0.1 and localhost made with
// openssl, a second CA that signed nothing of it, and a password file made
// with mosquitto_passwd. Waits turn the caller's event loop.
class TestBroker {
public:
    explicit TestBroker(bool secured);
    ~TestBroker();

    // Makes the files and starts the broker; false (with the reason in
    // failure()) if a tool fails or the broker does not listen in time.
    bool start(int timeoutMs = 10000);
    // Ends the broker and waits for it.
    void stop();
    bool running() const { return proc.state() != QProcess::NotRunning; }

    quint16 port() const { return listenPort; }
    QString user() const { return QStringLiteral("kalmird"); }
    QString password() const { return QStringLiteral("line-north-5"); }
    QString caFile() const { return dir.filePath(QStringLiteral("ca.pem")); }
    QString otherCaFile() const { return dir.filePath(QStringLiteral("other-ca.pem")); }
    QString folder() const { return dir.path(); }
    QString failure() const { return why; }
    // Everything the broker logged so far.
    QByteArray log();

    // mosquitto_pub/mosquitto_sub arguments that reach the broker as the
    // configured user with the right CA.
    QStringList clientArguments() const;

    // Runs a tool to its end; false with its output in failure() unless it exits 0.
    bool run(const QString &program, const QStringList &arguments, int timeoutMs = 10000);

private:
    bool makeSecrets();

    bool secured;
    QTemporaryDir dir;
    QProcess proc;
    quint16 listenPort = 0;
    QByteArray output;
    QString why;
};
