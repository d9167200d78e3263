// Polling against the physical limit of the line: the main window polls the
// in-process simulator, which keeps a real line's wire time, at each speed,
// "Задержка" 0 and the real read window. For each speed it prints
//  - status passes per second,
//  - command passes per second (a command stored before every pass),
//  - the time from storing a command, as a status pass begins, to its echo,
// each beside the limit the line allows: the frames' characters at 10 bits
// plus a 3.5-character silence before each frame. A status pass is 8 + 53
// characters and two silences (68), a command pass 8 + 8 and two (23); the
// store-to-echo limit is one of each.
//
// The simulator runs in this process and shares the window's event loop: a
// stall of that loop (a first paint, a loaded machine) delays the simulator's
// reply as much as the window, and at 1200 baud a stall of more than 60 ms
// then cuts the reply. A device on a real line goes on sending meanwhile,
// and its reply, in the driver when the loop wakes, is read before the read
// window's timer runs; "timed out or cut" here means a stalled bench.
//
// With --tcp the line is behind a serial server: ser2net in raw TCP mode on
// 127.0.0.1 passes the simulator's pseudo-terminal, at 9600 and 19200 baud,
// set as the README advises (Nagle off, no packing wait).
//
//   bench_wire [--seconds N] [--tcp]   (N: about how long each figure runs, default 3)
#include "measure.h"
#include "main/mainwindow.h"
#include "sim/simulator.h"
#include "support/ser2net.h"
#include "ui_mainform.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {
constexpr int Speeds[] = {1200, 2400, 4800, 9600, 19200};
constexpr int ServerSpeeds[] = {9600, 19200};
constexpr double StatusChars = 8 + 53 + 2 * 3.5;
constexpr double CommandChars = 8 + 8 + 2 * 3.5;

class Bench {
public:
    Bench()
    {
        sim.setFrozen(true);
        sim.setWireTime(true);
        if (!sim.start())
            qFatal("simulator: %s", qPrintable(sim.errorString()));
        // One detector at address 1 for each speed: only the one at the
        // line's speed answers.
        for (const int baud : Speeds)
            sim.addDetector(1, baud);
        QObject::connect(&form.session().polling(), &PollingCycle::passEnded, [this](const PassOutcome &o) {
            // A pass that timed out or got a cut reply is no pass at the limit.
            if (o.verdict == PassOutcome::Verdict::Timeout || o.verdict == PassOutcome::Verdict::CrcError)
                ++badReplies;
            onReply();
        });
        form.show();
    }

    // Connects at `baud`, through a serial server of its own when `tcp`.
    void connectAt(int baud, bool tcp)
    {
        Ui::MainForm &ui = *form.ui();
        if (form.session().lineChannel().isOpen())
            ui.Button1->click();
        server.reset();
        if (tcp) {
            server = std::make_unique<Ser2Net>(sim.slavePath(), baud);
            if (!server->start())
                qFatal("ser2net did not start");
        }
        form.session().lineChannel().setTiming(LineChannel::Timing{});
        ui.cb1->setEditText(tcp ? server->url() : sim.slavePath());
        ui.cb2->setCurrentText(QString::number(baud));
        ui.Edit8->setText(QStringLiteral("0"));
        ui.Button1->click();
        waitUntil([this] { return !form.session().connecting(); });
        ui.Button9->click();
        ui.Edit1->setText(QStringLiteral("1"));
        ui.Button5->click();
        if (!form.session().lineChannel().isOpen() || form.session().lineChannel().baudRate() != baud || form.session().devices().count() != 1)
            qFatal("could not connect at %d", baud);
    }

    // Seconds for `count` passes; with `commands`, each pass writes.
    double passes(int count, bool commands)
    {
        storeEveryPass = commands;
        start();
        runReplies(2); // the first pass may include the silence after connecting
        QElapsedTimer t;
        t.start();
        runReplies(count);
        const double s = t.nsecsElapsed() / 1e9;
        stop();
        return s;
    }

    // Median ms from storing a command as a status pass begins to its echo.
    double storeToEcho(int count)
    {
        std::vector<double> ms;
        start();
        runReplies(1);
        for (int i = 0; i < count; ++i) {
            QElapsedTimer t;
            QMetaObject::Connection c;
            c = QObject::connect(&form.session().polling(), &PollingCycle::passStarted, [&] {
                QObject::disconnect(c);
                // Once the pass has sent its status request.
                QTimer::singleShot(0, [&] {
                    store();
                    t.start();
                });
            });
            runReplies(1); // the pass that ran as the command was stored
            if (!t.isValid())
                qFatal("no status pass began");
            runReplies(1); // the command's echo
            ms.push_back(t.nsecsElapsed() / 1e6);
        }
        stop();
        return median(ms);
    }

    Simulator sim;
    std::unique_ptr<Ser2Net> server;
    Session session{nullptr, MainWindow::DeviceCapacity};
    MainWindow form{session};
    int badReplies = 0;

private:
    void store() { form.ui()->Button23->click(); } // code 27: a fixed value, no field

    void onReply()
    {
        // After the pass has dropped the code it just sent.
        if (storeEveryPass)
            QTimer::singleShot(0, &form, [this] { store(); });
        if (--repliesLeft == 0 && loop)
            loop->quit();
    }
    void runReplies(int n)
    {
        repliesLeft = n;
        QEventLoop l;
        loop = &l;
        l.exec();
        loop = nullptr;
    }
    void start()
    {
        form.ui()->Button2->click();
        if (!form.session().polling().running())
            qFatal("polling did not start");
    }
    void stop()
    {
        storeEveryPass = false;
        form.ui()->Button2->click();
        waitUntil([this] { return !form.session().polling().running(); });
    }
    static void waitUntil(const std::function<bool()> &done)
    {
        QEventLoop l;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &l, [&] {
            if (done())
                l.quit();
        });
        check.start(5);
        l.exec();
    }

    bool storeEveryPass = false;
    int repliesLeft = 0;
    QEventLoop *loop = nullptr;
};
} // namespace

int main(int argc, char *argv[])
{
    offscreenUnlessSet();
    QApplication app(argc, argv);
    applyApplicationLook();
    QCommandLineParser options;
    options.addHelpOption();
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("about how long each figure runs"),
                                     QStringLiteral("s"), QStringLiteral("3"));
    options.addOption(seconds);
    const QCommandLineOption tcpOption(QStringLiteral("tcp"), QStringLiteral("the line behind ser2net (raw TCP)"));
    options.addOption(tcpOption);
    options.process(app);
    const double runSeconds = options.value(seconds).toDouble();
    const bool tcp = options.isSet(tcpOption);

    QTemporaryDir dir; // the device logs go to the working directory
    QDir::setCurrent(dir.path());
    auto b = std::make_unique<Bench>();
    if (!b->form.ui()->Button23->isEnabled())
        qFatal("the command button is disabled");

    std::printf("wire-time simulator%s, real read window, delay 0; ratio = measured / limit (time: limit / measured)\n",
                tcp ? " behind ser2net (raw TCP, 127.0.0.1, nodelay, chardelay off)" : "");
    std::printf("%6s | %-24s | %-24s | %-30s\n", "baud", "status passes/s (ratio)", "command passes/s (ratio)",
                "store to echo ms (limit, ratio)");
    double worstStatus = 1e9, worstCommand = 1e9, worstEchoMargin = 1e9;
    const std::vector<int> speeds = tcp ? std::vector<int>(std::begin(ServerSpeeds), std::end(ServerSpeeds))
                                        : std::vector<int>(std::begin(Speeds), std::end(Speeds));
    for (const int baud : speeds) {
        b->connectAt(baud, tcp);
        const double ch = 10.0 / baud;
        const double statusLimit = 1 / (StatusChars * ch), commandLimit = 1 / (CommandChars * ch);
        const int statusN = std::max(5, int(runSeconds * statusLimit));
        const int commandN = std::max(10, int(runSeconds * commandLimit));
        const double status = statusN / b->passes(statusN, false);
        const double command = commandN / b->passes(commandN, true);
        const double echoLimitMs = (StatusChars + CommandChars) * ch * 1000;
        const double echo = b->storeToEcho(std::max(3, int(runSeconds * 1000 / echoLimitMs / 2)));
        std::printf("%6d | %8.2f (limit %6.2f) %4.2f | %8.2f (limit %6.2f) %4.2f | %7.1f (%6.1f) %4.2f\n", baud,
                    status, statusLimit, status / statusLimit, command, commandLimit, command / commandLimit, echo,
                    echoLimitMs, echoLimitMs / echo);
        std::fflush(stdout);
        worstStatus = std::min(worstStatus, status / statusLimit);
        worstCommand = std::min(worstCommand, command / commandLimit);
        worstEchoMargin = std::min(worstEchoMargin, echoLimitMs + 5 - echo);
    }
    std::printf("worst: status %.2f, command %.2f of the limit (target >= 0.90); store to echo %.1f ms inside "
                "limit + 5 ms; %d replies timed out or cut\n",
                worstStatus, worstCommand, worstEchoMargin, b->badReplies);
    b.reset();
    QDir::setCurrent(QDir::tempPath());
    return 0;
}
