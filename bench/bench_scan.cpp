// Prints what a full bus scan costs at the line's real timing: the main window
// searches addresses 1..247 against the in-process simulator with detectors at
// 5 and 9. Every silent address must wait out the 531 ms read time-out; the
// figure of interest is what each silent probe takes beyond that wait (median
// and mean), and how busy the process is meanwhile (CPU time against wall time).
// Takes about 2.2 minutes. Prints figures; it passes or fails nothing, but
// exits 1 if the scan did not find exactly the two detectors.
//
// Then the fast search ("быстро" ticked) at 9600 and 19200 baud, the
// simulator keeping wire time with a 5 ms turnaround: its total beside the
// normal scan's (about 10 s more).
//
// Run: bench_scan   (offscreen unless QT_QPA_PLATFORM is set)
#include "measure.h"
#include "session/bussearch.h"
#include "main/mainwindow.h"
#include "sim/simulator.h"
#include "ui_mainform.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <vector>

namespace {
const QList<int> Detectors{5, 9}; // the addresses the scan must find

QStringList listed(MainWindow &form)
{
    QStringList found;
    for (int i = 0; i < form.session().state().devices.count(); ++i)
        found << QString::number(form.session().state().devices.address(i));
    return found;
}

// A fast search through the window at `baud`: its wall time in s, or -1.
double fastScan(QApplication &app, MainWindow &form, Simulator &sim, int baud, QStringList *found)
{
    Ui::MainForm &ui = *form.ui();
    ui.Button1->click(); // disconnect
    ui.cb2->setCurrentIndex(ui.cb2->findText(QString::number(baud)));
    ui.Button1->click();
    ui.Button9->click();
    if (!form.session().lineChannel().isOpen())
        return -1;
    sim.setWireTime(true, 5);
    for (int a : Detectors)
        if (!sim.detector(uint8_t(a)) || sim.detector(uint8_t(a))->baud() != baud)
            sim.addDetector(uint8_t(a), baud);
    form.findChild<QCheckBox *>(QStringLiteral("chkFastSearch"))->setChecked(true);
    QElapsedTimer clock;
    qint64 ns = 0;
    const auto c = QObject::connect(&form.session().busSearch(), &BusSearch::ended, [&] {
        ns = clock.nsecsElapsed();
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    clock.start();
    ui.Button3->click();
    app.exec();
    QObject::disconnect(c);
    *found = listed(form);
    return double(ns) / 1e9;
}
} // namespace

int main(int argc, char *argv[])
{
    offscreenUnlessSet();
    QApplication app(argc, argv);
    applyApplicationLook();

    // The device logs go to the working directory.
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());

    Simulator sim;
    sim.setFrozen(true);
    if (!sim.start()) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(sim.errorString()));
        return 2;
    }
    for (int a : Detectors)
        sim.addDetector(uint8_t(a));

    Session session{nullptr, MainWindow::DeviceCapacity};
    MainWindow form{session};
    QStringList errors;
    QObject::connect(&form.errors(), &ErrorReport::reported, [&](const QString &m) { errors << m; });
    form.ui()->cb1->setEditText(sim.slavePath());
    form.ui()->Button1->click(); // connect (lists 247) ...
    form.ui()->Button9->click(); // ... and clear, so only the scan lists devices
    if (!form.session().lineChannel().isOpen() || !errors.isEmpty()) {
        std::fprintf(stderr, "cannot connect: %s\n", qPrintable(errors.join("; ")));
        return 2;
    }
    const LineChannel::Timing t = form.session().lineChannel().timingConstants();
    const double readTimeoutMs = t.readMsPerByte * ExpectedReplyLength + t.readConstantMs;
    // A probe's window opens when its 8 request characters have left the port (9600 baud).
    const double requestWireMs = RequestLength * 10 * 1000.0 / 9600;

    // Each probe's start; the next probe's start (or the scan's end) closes it.
    QElapsedTimer clock;
    std::vector<qint64> startNs(BusSearch::LastAddress + 2, -1);
    double cpuStart = 0, cpuEnd = 0;
    qint64 endNs = 0;
    QObject::connect(&form.session().busSearch(), &BusSearch::probeStarted, [&](uint8_t a) { startNs[a] = clock.nsecsElapsed(); });
    QObject::connect(&form.session().busSearch(), &BusSearch::ended, [&] {
        endNs = clock.nsecsElapsed();
        cpuEnd = cpuSeconds();
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    QTimer::singleShot(0, [&] {
        cpuStart = cpuSeconds();
        clock.start();
        form.ui()->Button3->click();
    });
    app.exec();

    startNs[BusSearch::LastAddress + 1] = endNs;
    std::vector<double> overheadMs;
    for (int a = BusSearch::FirstAddress; a <= BusSearch::LastAddress; ++a)
        if (!Detectors.contains(a) && startNs[a] >= 0 && startNs[a + 1] >= 0)
            overheadMs.push_back(double(startNs[a + 1] - startNs[a]) / 1e6 - readTimeoutMs - requestWireMs);

    const QStringList found = listed(form);
    int probes = 0;
    for (const SimFrame &f : sim.frames())
        probes += f.direction == SimFrame::Received;

    const double wallS = double(endNs) / 1e9;
    const double cpuS = cpuEnd - cpuStart;
    std::printf("bus scan 1..%d, real timing (read time-out %.0f ms), detectors at 5 and 9\n",
                BusSearch::LastAddress, readTimeoutMs);
    std::printf("  probes received by the simulator: %d; found: %s\n", probes,
                found.isEmpty() ? "none" : qPrintable(found.join(QStringLiteral(", "))));
    std::printf("  total scan time: %.3f s\n", wallS);
    if (!overheadMs.empty()) {
        const double mean = std::accumulate(overheadMs.begin(), overheadMs.end(), 0.0) / double(overheadMs.size());
        const auto [lo, hi] = std::minmax_element(overheadMs.begin(), overheadMs.end());
        std::printf("  per silent probe beyond its request's wire time (%.2f ms) and the read time-out (%zu probes): "
                    "median %.3f ms, mean %.3f ms, min %.3f ms, max %.3f ms (target < 3 ms)\n",
                    requestWireMs,
                    overheadMs.size(), median(overheadMs), mean, *lo, *hi);
    }
    std::printf("  process CPU time during the scan: %.3f s of %.3f s wall (%.2f %%)\n", cpuS, wallS,
                100.0 * cpuS / wallS);
    bool allFound = found == QStringList{"5", "9"};
    for (int baud : {9600, 19200}) {
        QStringList fastFound;
        const double s = fastScan(app, form, sim, baud, &fastFound);
        std::printf("fast bus scan 1..%d at %d baud (\"быстро\", margin %.0f ms, wire time, turnaround 5 ms): "
                    "%.3f s, found: %s (target: %s)\n",
                    BusSearch::LastAddress, baud, form.session().busSearch().fastMarginMs(), s,
                    fastFound.isEmpty() ? "none" : qPrintable(fastFound.join(QStringLiteral(", "))),
                    baud == 9600 ? "at most 12 s" : "at most 10 s");
        allFound = allFound && fastFound == QStringList{"5", "9"};
    }
    std::printf("  normal scan beside them: %.3f s\n", wallS);
    if (!errors.isEmpty())
        std::printf("  errors reported: %s\n", qPrintable(errors.join("; ")));
    return allFound ? 0 : 1;
}
