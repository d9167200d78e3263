#include "testbroker.h"
#include "mqttrig.h"
#include <QFile>
#include <QTest>
#include <pwd.h>
#include <unistd.h>
#include "support/childprocess.h"

using namespace Qt::StringLiterals;

TestBroker::TestBroker(bool secured) : secured(secured)
{
    proc.setProcessChannelMode(QProcess::MergedChannels);
}

TestBroker::~TestBroker()
{
    stop();
}

bool TestBroker::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    // Short tools: openssl and mosquitto_passwd finish in well under a second.
    if (tool.waitForFinished(timeoutMs) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0)
        return true;
    why = program + u": "_s + QString::fromLocal8Bit(tool.readAll());
    return false;
}

// Two CAs and a server certificate signed by the first, valid for the names
// a client may dial: 127.0.0.1 and localhost.
bool TestBroker::makeSecrets()
{
    const auto in = [this](const char *name) { return dir.filePath(QLatin1StringView(name)); };
    QFile ext(in("server.ext"));
    if (!ext.open(QIODevice::WriteOnly)
        || ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n") < 0)
        return false;
    ext.close();
    for (const char *ca : {"ca", "other-ca"})
        if (!run(u"openssl"_s, {u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-days"_s, u"2"_s,
                               u"-subj"_s, u"/CN=kalmir test "_s + QLatin1StringView(ca), u"-keyout"_s,
                               in(ca) + u".key"_s, u"-out"_s, in(ca) + u".pem"_s}))
            return false;
    return run(u"openssl"_s, {u"req"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-subj"_s, u"/CN=localhost"_s,
                             u"-keyout"_s, in("server.key"), u"-out"_s, in("server.csr")})
           && run(u"openssl"_s, {u"x509"_s, u"-req"_s, u"-in"_s, in("server.csr"), u"-CA"_s, caFile(), u"-CAkey"_s,
                                in("ca.key"), u"-CAcreateserial"_s, u"-days"_s, u"2"_s, u"-extfile"_s,
                                in("server.ext"), u"-out"_s, in("server.pem")})
           && run(u"mosquitto_passwd"_s, {u"-b"_s, u"-c"_s, in("passwd"), user(), password()});
}

bool TestBroker::start(int timeoutMs)
{
    if (!dir.isValid() || (secured && !makeSecrets()))
        return false;
    listenPort = quint16(freeLocalPort());
    QByteArray conf = "per_listener_settings false\nlog_dest stderr\nlog_type all\n";
    // Started as root, mosquitto would turn into its own user, who cannot read the folder.
    if (const passwd *pw = ::getpwuid(::geteuid()))
        conf += "user " + QByteArray(pw->pw_name) + "\n";
    conf += "listener " + QByteArray::number(listenPort) + " 127.0.0.1\n";
    if (secured) {
        const QByteArray d = QFile::encodeName(dir.path());
        conf += "allow_anonymous false\npassword_file " + d + "/passwd\n";
        conf += "cafile " + d + "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d + "/server.key\n";
    } else {
        conf += "allow_anonymous true\n";
    }
    QFile file(dir.filePath(u"mosquitto.conf"_s));
    if (!file.open(QIODevice::WriteOnly) || file.write(conf) < 0)
        return false;
    file.close();
    output.clear();
    stopsWithTest(proc);
    proc.start(u"mosquitto"_s, {u"-c"_s, file.fileName()});
    const QByteArray listening = "listen socket on port " + QByteArray::number(listenPort);
    if (QTest::qWaitFor([&] { return log().contains(listening) || !running(); }, timeoutMs) && running())
        return true;
    why = u"mosquitto did not listen: "_s + QString::fromLocal8Bit(output);
    stop();
    return false;
}

void TestBroker::stop()
{
    if (!running())
        return;
    proc.terminate();
    if (!proc.waitForFinished(5000)) {
        proc.kill();
        proc.waitForFinished(5000);
    }
}

QByteArray TestBroker::log()
{
    output += proc.readAll();
    return output;
}

QStringList TestBroker::clientArguments() const
{
    QStringList args{u"-h"_s, u"127.0.0.1"_s, u"-p"_s, QString::number(listenPort)};
    if (secured)
        args << u"--cafile"_s << caFile() << u"-u"_s << user() << u"-P"_s << password();
    return args;
}
