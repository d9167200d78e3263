// kalmir-sim: detectors on a pseudo-terminal, until SIGINT or SIGTERM.
#include "sim/cliopts.h"
#include "sim/simulator.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

// A signal handler may do next to nothing; it wakes the event loop through a
// pipe, and the loop quits so that destructors remove the link.
void quitOnSignals(QCoreApplication &app)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("kalmir-sim: pipe failed");
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString error;
    const auto options = parseSimOptions(app.arguments(), &error);
    if (!options) {
        std::fprintf(stderr, "kalmir-sim: %s\n\n%s", qPrintable(error), qPrintable(simUsage()));
        return 2;
    }
    if (options->help) {
        std::fputs(qPrintable(simUsage()), stdout);
        return 0;
    }
    Simulator sim;
    if (!applySimOptions(*options, sim, &error)) {
        std::fprintf(stderr, "kalmir-sim: %s\n", qPrintable(error));
        return 2;
    }
    QObject::connect(&sim, &Simulator::lineOpened, [](const QString &path) {
        std::printf("%s\n", qPrintable(path));
        std::fflush(stdout);
    });
    QObject::connect(&sim, &Simulator::lineDropped, [] { std::fputs("kalmir-sim: line dropped\n", stderr); });
    quitOnSignals(app);
    if (!sim.start(options->link)) {
        std::fprintf(stderr, "kalmir-sim: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    return app.exec();
}
