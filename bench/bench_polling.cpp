// Polling figures of the main window against the kalmir-sim program (two
// detectors, frozen readings, no wire time) run as a child process on a
// pseudo-terminal, so that the CPU time measured is the window's own; the
// simulator's CPU is printed apart:
//  (a) status passes per second with no delay ("Задержка" 0), two detectors
//      polled in turn, the display running and the chart window open, with
//      the window's CPU time;
//  (b) the window's CPU while polling a silent address with the default delay
//      (200 ms) and the line's real 531 ms read time-out;
//  (c) the window's resident memory after 1,000 passes and after more, the
//      chart closed;
//  (d) the window's CPU per pass with "Монитор обмена" open against closed,
//      two detectors with no delay, rounds of --a-passes taken in turn.
//
//   bench_polling [--part a|b|c|d|all] [--a-passes N] [--seconds N] [--passes N] [--grab DIR]
//
// --a-passes: passes timed in (a), default 5000 (after 500 to warm up).
// --grab: at the end of (a), saves the main window and the chart as they
// were drawn to DIR/mainwindow.png and DIR/chart.png.
// --seconds: length of (b), default 60. --passes: how far (c) runs, default
// 100000; it prints the resident memory every 25,000 passes on the way.
#include "measure.h"
#include "main/mainwindow.h"
#include "chart/chartwindow.h"
#include "monitor/monitorwindow.h"
#include "support/simprocess.h"
#include "ui_mainform.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>
#include <sys/resource.h>
#include <unistd.h>

namespace {
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// User plus system CPU time of process `pid` so far, in seconds (clock-tick
// resolution); -1 if it cannot be read.
double cpuSecondsOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The command name in parentheses may hold spaces; fields follow its ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    // utime and stime are the 14th and 15th fields, the 12th and 13th after the name.
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

// System CPU time of this process so far, in seconds: the part of its CPU
// spent in the kernel (the line's reads, writes and modem-line calls, timers).
double systemCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6;
}

// The window connected to the simulator, polling `address` with `delayMs`.
class Bench {
public:
    Bench()
    {
        if (!sim.start())
            qFatal("kalmir-sim did not start: %s", sim.errorOutput().constData());
        QObject::connect(&form.session().polling(), &PollingCycle::passEnded, [this] {
            if (++passes == target && loop)
                loop->quit();
        });
        form.show();
    }

    // Connects afresh (the delay is taken at connect) and lists `addresses`.
    void connect(int delayMs, LineChannel::Timing timing, std::initializer_list<int> addresses)
    {
        Ui::MainForm &ui = *form.ui();
        if (form.session().lineChannel().isOpen())
            ui.Button1->click();
        form.session().lineChannel().setTiming(timing);
        ui.cb1->setEditText(sim.slavePath());
        ui.Edit8->setText(QString::number(delayMs));
        ui.Button1->click();
        ui.Button9->click();
        for (const int address : addresses) {
            ui.Edit1->setText(QString::number(address));
            ui.Button5->click();
        }
        if (!form.session().lineChannel().isOpen()
            || form.session().state().devices.count() != int(addresses.size()))
            qFatal("could not connect to %s", qPrintable(sim.slavePath()));
    }

    void start() { form.ui()->Button2->click(); }

    void stop()
    {
        form.ui()->Button2->click();
        runFor(0, [this] { return !form.session().polling().running(); });
    }

    // Turns the event loop until `count` more passes have ended.
    void runPasses(long count)
    {
        target = passes + count;
        QEventLoop l;
        loop = &l;
        l.exec();
        loop = nullptr;
    }

    // Turns the event loop for `ms` (0: until done() holds).
    void runFor(int ms, const std::function<bool()> &done = {})
    {
        QEventLoop l;
        QTimer check;
        if (done) {
            QObject::connect(&check, &QTimer::timeout, &l, [&] {
                if (done())
                    l.quit();
            });
            check.start(10);
        }
        if (ms > 0)
            QTimer::singleShot(ms, &l, &QEventLoop::quit);
        l.exec();
    }

    double simCpuSeconds() { return cpuSecondsOf(sim.process().processId()); }

    SimProcess sim{{QStringLiteral("--device"), QStringLiteral("1"), QStringLiteral("--device"), QStringLiteral("2"),
                    QStringLiteral("--frozen")}};
    Session session{nullptr, MainWindow::DeviceCapacity};
    MainWindow form{session};
    long passes = 0;

private:
    long target = -1;
    QEventLoop *loop = nullptr;
};

void partA(Bench &b, long n, const QString &grabDir)
{
    b.connect(0, {0, 200, 100, 1000}, {1, 2});
    b.form.chartWindow().showChart();
    b.start();
    b.runPasses(500); // warm-up: the series and the logs are allocated
    QElapsedTimer wall;
    const double cpu0 = cpuSeconds();
    const double system0 = systemCpuSeconds();
    const double simCpu0 = b.simCpuSeconds();
    wall.start();
    b.runPasses(n);
    const double seconds = wall.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const double system = systemCpuSeconds() - system0;
    const double simCpu = b.simCpuSeconds() - simCpu0;
    b.stop();
    if (!grabDir.isEmpty()) {
        b.runFor(2 * RedrawPacer::FrameMs); // the last frame is drawn
        // From the screen, not drawn afresh: what the frames left there.
        const std::pair<QWidget *, QString> windows[] = {{&b.form, QStringLiteral("/mainwindow.png")},
                                                         {&b.form.chartWindow(), QStringLiteral("/chart.png")}};
        for (const auto &[w, file] : windows)
            w->screen()->grabWindow(w->winId()).save(grabDir + file);
    }
    b.form.chartWindow().hide();
    std::printf("(a) two detectors, %ld status passes in %.2f s: %.0f passes/s, %.3f ms wall per pass\n", n, seconds, n / seconds,
                1000 * seconds / n);
    std::printf("    window CPU %.2f s (%.0f %% of one core), %.3f ms CPU per pass (%.3f ms of it in the kernel)\n", cpu,
                100 * cpu / seconds, 1000 * cpu / n, 1000 * system / n);
    std::printf("    simulator CPU %.2f s, %.3f ms per pass (apart)\n", simCpu, 1000 * simCpu / n);
}

void partB(Bench &b, int seconds)
{
    b.connect(200, LineChannel::Timing{}, {99}); // nobody answers at 99
    b.start();
    b.runFor(2000); // settle
    const long passes0 = b.passes;
    QElapsedTimer wall;
    const double cpu0 = cpuSeconds();
    const double simCpu0 = b.simCpuSeconds();
    wall.start();
    b.runFor(seconds * 1000);
    const double elapsed = wall.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const double simCpu = b.simCpuSeconds() - simCpu0;
    const long passes = b.passes - passes0;
    b.stop();
    std::printf("(b) silent address, delay 200 ms, read time-out 531 ms: %ld passes in %.1f s (%.0f ms each)\n",
                passes, elapsed, passes ? 1000 * elapsed / passes : 0.0);
    std::printf("    window CPU %.3f s = %.3f %% of one core (simulator apart: %.2f s)\n", cpu, 100 * cpu / elapsed,
                simCpu);
}

void partC(Bench &b, long passes)
{
    b.connect(0, {0, 200, 100, 1000}, {1});
    b.start();
    b.runPasses(1000);
    const long first = residentKiB();
    std::printf("(c) resident memory after %7d passes: %ld KiB\n", 1000, first);
    QElapsedTimer wall;
    wall.start();
    for (long done = 1000; done < passes;) {
        const long step = std::min<long>(25000 - done % 25000, passes - done);
        b.runPasses(step);
        done += step;
        std::printf("    resident memory after %7ld passes: %ld KiB (%+ld KiB; Memo1 %d, Memo2 %d lines)\n", done,
                    residentKiB(), residentKiB() - first, b.form.ui()->Memo1->blockCount(),
                    b.form.ui()->Memo2->blockCount());
        std::fflush(stdout);
    }
    b.stop();
    std::printf("    %ld passes in %.0f s\n", passes - 1000, wall.elapsed() / 1000.0);
}
void partD(Bench &b, long n)
{
    b.connect(0, {0, 200, 100, 1000}, {1, 2});
    b.start();
    b.runPasses(500);
    std::vector<double> closedMs, openMs;
    for (int round = 0; round < 6; ++round) {
        const bool open = round % 2 == 1;
        if (open)
            b.form.monitorWindow().open();
        else
            b.form.monitorWindow().hide();
        b.runPasses(50);
        const double cpu0 = cpuSeconds();
        b.runPasses(n);
        (open ? openMs : closedMs).push_back(1000 * (cpuSeconds() - cpu0) / double(n));
    }
    b.stop();
    const long rows = long(b.form.monitorWindow().model().keptCount());
    b.form.monitorWindow().hide();
    const double closed = median(closedMs), open = median(openMs);
    std::printf("(d) two detectors, 3 rounds of %ld passes each way: window CPU per pass, median of the rounds:\n"
                "    monitor closed %.4f ms, open %.4f ms: %+.4f ms per pass with it open (target at most +0.15 ms);"
                " %ld frames kept\n",
                n, closed, open, open - closed, rows);
}
} // namespace

int main(int argc, char *argv[])
{
    offscreenUnlessSet();
    QApplication app(argc, argv);
    applyApplicationLook();

    QCommandLineParser options;
    options.addHelpOption();
    const QCommandLineOption part(QStringLiteral("part"), QStringLiteral("a, b, c or all"), QStringLiteral("which"),
                                  QStringLiteral("all"));
    const QCommandLineOption aPasses(QStringLiteral("a-passes"), QStringLiteral("passes of (a)"), QStringLiteral("n"),
                                     QStringLiteral("5000"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("length of (b)"), QStringLiteral("s"),
                                     QStringLiteral("60"));
    const QCommandLineOption passes(QStringLiteral("passes"), QStringLiteral("passes of (c)"), QStringLiteral("n"),
                                    QStringLiteral("100000"));
    const QCommandLineOption grab(QStringLiteral("grab"), QStringLiteral("where (a) saves its windows"),
                                  QStringLiteral("dir"));
    options.addOptions({part, aPasses, seconds, passes, grab});
    options.process(app);
    const QString which = options.value(part);
    const QString grabDir = QDir(options.value(grab)).absolutePath();

    // The device logs go to the working directory.
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    auto bench = std::make_unique<Bench>();
    if (which == "a" || which == "all")
        partA(*bench, options.value(aPasses).toLong(), options.isSet(grab) ? grabDir : QString());
    if (which == "b" || which == "all")
        partB(*bench, options.value(seconds).toInt());
    if (which == "c" || which == "all")
        partC(*bench, options.value(passes).toLong());
    if (which == "d" || which == "all")
        partD(*bench, options.value(aPasses).toLong());
    bench.reset();
    QDir::setCurrent(QDir::tempPath());
    return 0;
}
