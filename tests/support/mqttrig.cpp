#include "support/mqttrig.h"

#include <QFile>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include "support/childprocess.h"

namespace {
sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void writeFile(const QString &path, const QByteArray &text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
}
} // namespace

bool localPortAccepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

BrokerProcess::BrokerProcess(bool logPublishes, const QByteArray &extraConfig) : listenPort(freeLocalPort())
{
    writeFile(dir.filePath(QStringLiteral("mosquitto.conf")),
              QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n%2")
                      .arg(listenPort)
                      .arg(logPublishes ? QStringLiteral("log_type all\n") : QString())
                      .toUtf8()
                  + extraConfig);
}

void BrokerProcess::kill()
{
    proc.kill();
    proc.waitForFinished(5000);
}

QByteArray BrokerProcess::log() const
{
    QFile f(dir.filePath(QStringLiteral("mosquitto.log")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool BrokerProcess::start(int timeoutMs)
{
    proc.setStandardErrorFile(dir.filePath(QStringLiteral("mosquitto.log")), QIODevice::Append);
    stopsWithTest(proc);
    proc.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), dir.filePath(QStringLiteral("mosquitto.conf"))});
    return QTest::qWaitFor([this] { return localPortAccepts(listenPort); }, timeoutMs);
}

void BrokerProcess::stop()
{
    if (proc.state() == QProcess::NotRunning)
        return;
    proc.terminate();
    if (!proc.waitForFinished(5000))
        proc.kill();
    proc.waitForFinished(1000);
}

Subscriber::Subscriber(int port, const QString &filter)
{
    stopsWithTest(proc);
    proc.start(QStringLiteral("mosquitto_sub"), {QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                                                 QStringLiteral("-p"), QString::number(port), QStringLiteral("-q"),
                                                 QStringLiteral("1"), QStringLiteral("-v"), QStringLiteral("-t"),
                                                 filter});
    proc.waitForStarted();
}

Subscriber::~Subscriber()
{
    proc.terminate();
    if (!proc.waitForFinished(3000))
        proc.kill();
}

const QList<Subscriber::Message> &Subscriber::messages()
{
    pending += proc.readAllStandardOutput();
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QByteArray line = pending.left(end);
        pending.remove(0, end + 1);
        const qsizetype space = line.indexOf(' ');
        all.append({QString::fromUtf8(line.left(space)), space < 0 ? QByteArray() : line.mid(space + 1)});
    }
    return all;
}

QByteArray Subscriber::latest(const QString &topic)
{
    const QList<Message> &m = messages();
    for (qsizetype i = m.size() - 1; i >= 0; --i)
        if (m[i].topic == topic)
            return m[i].payload;
    return {};
}

bool Subscriber::waitFor(const QString &topic, const std::function<bool(const QByteArray &)> &accept,
                         int timeoutMs, int from)
{
    int next = from;
    return QTest::qWaitFor(
        [&] {
            const QList<Message> &m = messages();
            for (; next < m.size(); ++next)
                if (m[next].topic == topic && accept(m[next].payload))
                    return true;
            return false;
        },
        timeoutMs);
}

DaemonProcess::DaemonProcess(const QString &configText)
{
    writeFile(configPath(), configText.toUtf8());
    // As systemd's StateDirectory= would: never the machine's own /var/lib/kalmir.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("STATE_DIRECTORY"), stateDir());
    proc.setProcessEnvironment(env);
}

void DaemonProcess::kill()
{
    proc.kill();
    proc.waitForFinished(5000);
    err += proc.readAllStandardError();
}

DaemonProcess::~DaemonProcess()
{
    if (proc.state() != QProcess::NotRunning && terminate() < 0)
        proc.kill();
}

void DaemonProcess::start(const QStringList &extra)
{
    // $KALMIRD_BIN: another build, for a bench to set one against the other.
    stopsWithTest(proc);
    proc.start(qEnvironmentVariable("KALMIRD_BIN", QStringLiteral(KALMIRD_BIN)),
               QStringList{QStringLiteral("--config"), configPath()} + extra);
    proc.waitForStarted();
}

int DaemonProcess::run(const QStringList &extra, QByteArray *out, QByteArray *errText)
{
    start(extra);
    proc.waitForFinished(10000);
    *out = proc.readAllStandardOutput();
    *errText = proc.readAllStandardError();
    return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
}

int DaemonProcess::terminate(int timeoutMs)
{
    proc.terminate();
    const bool ended = QTest::qWaitFor([this] { return proc.state() == QProcess::NotRunning; }, timeoutMs);
    if (!ended) {
        proc.kill();
        proc.waitForFinished(1000);
    }
    // Its last lines, before a start() again clears them.
    err += proc.readAllStandardError();
    return ended && proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
}

QByteArray DaemonProcess::errorOutput()
{
    err += proc.readAllStandardError();
    return err;
}

QString oneLineConfig(int brokerPort, const QString &lineName, const QString &port, const QString &devices)
{
    return QStringLiteral("[mqtt]\nhost = \"127.0.0.1\"\nport = %1\n\n[[line]]\nname = \"%2\"\n"
                          "port = \"%3\"\nspeed = 9600\ndevices = %4\n")
        .arg(brokerPort)
        .arg(lineName, port, devices);
}
