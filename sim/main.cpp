// kalmir-sim: detectors on a pseudo-terminal, until SIGINT or SIGTERM.
#include "sim/cliopts.h"
#include "sim/simulator.h"
#include "process/stopsignals.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const Result<SimOptions> options = parseSimOptions(app.arguments());
    if (!options) {
        std::fprintf(stderr, "kalmir-sim: %s\n\n%s", qPrintable(windowText(options.failure())), qPrintable(simUsage()));
        return 2;
    }
    if (options->help) {
        std::fputs(qPrintable(simUsage()), stdout);
        return 0;
    }
    Simulator sim;
    if (const auto failure = applySimOptions(*options, sim)) {
        std::fprintf(stderr, "kalmir-sim: %s\n", qPrintable(windowText(*failure)));
        return 2;
    }
    QObject::connect(&sim, &Simulator::lineOpened, [](const QString &path) {
        std::printf("%s\n", qPrintable(path));
        std::fflush(stdout);
    });
    QObject::connect(&sim, &Simulator::lineDropped, [] { std::fputs("kalmir-sim: line dropped\n", stderr); });
    // Quitting the loop lets the destructors remove the link.
    stopOnSignals(&app, [&app] { app.quit(); });
    if (!sim.start(options->link)) {
        std::fprintf(stderr, "kalmir-sim: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    return app.exec();
}
