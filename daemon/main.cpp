// kalmird: polls the detectors of every configured line and publishes them to
// an MQTT broker, until SIGINT or SIGTERM; SIGHUP reads the configuration again.
#include "daemon/config.h"
#include "daemon/daemon.h"
#include "daemon/failurelog.h"
#include "daemon/http/httpendpoint.h"
#include "daemon/log.h"
#include "daemon/logchain.h"
#include "daemon/reload.h"
#include "daemon/remotecommands.h"
#include "daemon/secrets.h"
#include "link/serialline.h"
#include "process/epolldispatcher.h"
#include "process/stopsignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <memory>

namespace {
// A configuration or secret the service cannot start with.
int refuseToStart(const Failure &failure)
{
    logEvent(logText(failure));
    return 2;
}

// Qt's own warnings take the log's way as well: a flood of them must not
// block the loop either, nor come out of order with the lines before them.
void logQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    logEvent(qFormatLogMessage(type, context, message));
    if (type == QtFatalMsg)
        flushLog(); // Qt aborts next, past the flush at exit
}
} // namespace

int main(int argc, char **argv)
{
    // First of all: a SIGHUP (or a stop) that comes while the start still
    // runs, reading a long queue say, is acted on once the loop turns rather
    // than ending the service (systemd does not restart one ended by SIGHUP).
    holdSignals(true);
    qInstallMessageHandler(logQtMessage);
    // Without TZ the C library looks at /etc/localtime again for every time
    // stamp, hundreds of times a second here; the zone is read once instead.
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
    // Many lines are watched at once: let the kernel keep the set of
    // descriptors rather than hand it all over at every turn of the loop.
    if (auto dispatcher = std::make_unique<EpollDispatcher>(); dispatcher->isValid()) {
        QCoreApplication::setEventDispatcher(dispatcher.release());
        SerialLine::setOnOpened([](long long fd) { EpollDispatcher::setReaderDrains(qintptr(fd)); });
    }
    // Under a file-size limit a device log write fails with an error the
    // service reports, instead of the signal ending the service.
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader of stderr that goes away costs the log its lines (counted as
    // dropped), not the watch its life.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kalmird"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KALMIR_VERSION));
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Polls the КАЛМИР-ИК/УФ detectors of every configured line and publishes them to an MQTT broker."));
    p.addHelpOption();
    p.addVersionOption();
    const QCommandLineOption configOption(QStringLiteral("config"), QStringLiteral("The configuration file."),
                                          QStringLiteral("FILE"), QStringLiteral("/etc/kalmir/kalmird.toml"));
    const QCommandLineOption checkOption(QStringLiteral("check"),
                                         QStringLiteral("Read the configuration, print what would be done, exit."));
    const QCommandLineOption listOption(QStringLiteral("list-commands"),
                                        QStringLiteral("Print the commands the broker may send, their codes and values."));
    p.addOption(configOption);
    p.addOption(checkOption);
    p.addOption(listOption);
    if (!p.parse(app.arguments())) {
        std::fprintf(stderr, "kalmird: %s\n\n%s", qPrintable(p.errorText()), qPrintable(p.helpText()));
        return 2;
    }
    if (p.isSet(QStringLiteral("help")))
        p.showHelp(0);
    if (p.isSet(QStringLiteral("version")))
        p.showVersion();
    if (!p.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "kalmird: unexpected argument: %s\n", qPrintable(p.positionalArguments().first()));
        return 2;
    }

    if (p.isSet(listOption)) {
        std::fputs(remoteCommandList().toUtf8().constData(), stdout);
        return 0;
    }

    const Result<DaemonConfig> loaded = loadConfig(p.value(configOption));
    if (!loaded)
        return refuseToStart(loaded.failure());
    DaemonConfig config = *loaded;
    QByteArray password, httpToken;
    if (!config.mqtt.passwordFile.isEmpty()) {
        const Result<QString> read = readPasswordFile(config.mqtt.passwordFile);
        if (!read)
            return refuseToStart(read.failure());
        password = read->toUtf8();
    }
    if (config.http.enabled && !config.http.tokenFile.isEmpty()) {
        const Result<QString> read =
            readPasswordFile(config.http.tokenFile, QStringLiteral("token file"), SecretBlanks::Trimmed);
        if (!read)
            return refuseToStart(read.failure());
        httpToken = read->toUtf8();
    }
    if (p.isSet(checkOption)) {
        std::fputs(describeConfig(config).toUtf8().constData(), stdout);
        for (const LineConfig &line : config.lines)
            if (const QString problem = line.logDir.isEmpty() ? QString() : logFolderProblem(line.logDir);
                !problem.isEmpty()) {
                logEvent(QStringLiteral("line %1: %2").arg(line.name, problem));
                return 2;
            }
        // Without it the queue would be held in memory only: a restart would lose what waits.
        if (const QString problem = logFolderProblem(config.stateDir, QStringLiteral("the state folder (state_dir)"));
            !problem.isEmpty()) {
            std::fprintf(stderr, "kalmird: %s; events and results could not be kept across a restart\n",
                         qPrintable(problem));
            return 2;
        }
        return 0;
    }

    const HttpConfig http = config.http;
    Daemon daemon(std::move(config), password);
    std::unique_ptr<HttpEndpoint> endpoint;
    if (http.enabled) {
        endpoint = std::make_unique<HttpEndpoint>(daemon, http, httpToken, QStringLiteral(KALMIR_VERSION));
        if (const QString problem = endpoint->listen(); !problem.isEmpty()) {
            logEvent(QStringLiteral("http: %1").arg(problem));
            return 2;
        }
    }
    QObject::connect(&daemon, &Daemon::finished, &app, &QCoreApplication::quit);
    stopOnSignals(
        &daemon,
        [&daemon] {
            logEvent(QStringLiteral("stopping"));
            daemon.stop();
        },
        [&daemon, path = p.value(configOption)] { reloadFromFile(daemon, path); });
    daemon.start();
    return app.exec();
}
