#pragma once
// kalmird as its command and access suites run it: against the secured test
// broker, with a configuration file of the test's own.
#include "support/childprocess.h"
#include "support/testbroker.h"
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

// kalmird run with a configuration of the test's own; its log collected.
struct Kalmird {
    QProcess proc;
    QByteArray output;
    QTemporaryDir state; // its queue: never the machine's own /var/lib/kalmir
    explicit Kalmird(const QString &config, const QStringList &extra = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("STATE_DIRECTORY"), state.path());
        proc.setProcessEnvironment(env);
        proc.setProcessChannelMode(QProcess::MergedChannels);
        stopsWithTest(proc);
        proc.start(QStringLiteral(KALMIRD_BIN), QStringList{QStringLiteral("--config"), config} + extra);
    }
    ~Kalmird()
    {
        proc.terminate();
        if (!proc.waitForFinished(5000))
            proc.kill();
    }
    QByteArray log() { return output += proc.readAll(); }
    bool waitFor(const QByteArray &text, int ms = 15000)
    {
        return QTest::qWaitFor([&] { return log().contains(text); }, ms);
    }
};

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &text, int mode)
{
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return {};
    f.close();
    ::chmod(QFile::encodeName(f.fileName()), mode_t(mode));
    return f.fileName();
}

// A configuration for the secured broker, Home Assistant discovery on, and
// `lines` after it; each call writes a file of its own.
inline QString securedConfig(const QTemporaryDir &dir, const TestBroker &broker, const QString &passwordFile,
                             const QString &ca, const QByteArray &lines)
{
    QByteArray text = "[mqtt]\nhost = \"127.0.0.1\"\nport = " + QByteArray::number(broker.port())
                      + "\nusername = \"" + broker.user().toUtf8() + "\"\npassword_file = \""
                      + passwordFile.toUtf8() + "\"\nca_file = \"" + ca.toUtf8() + "\"\nha_discovery = true\n";
    static int n = 0;
    return writeFile(dir, QStringLiteral("kalmird%1.toml").arg(++n), text + lines, 0600);
}
