#include "main/mainwindow.h"
#include "startoptions.h"
#include "unattended.h"
#include "ui_mainform.h"
#include "link/framecsv.h"

#include <QApplication>
#include <csignal>
#include <cstdio>

namespace {

QStringList rawArguments(int argc, char *argv[])
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list.append(QString::fromLocal8Bit(argv[i]));
    return list;
}

// The start options do what the user would do in the window, in the order
// the window allows it, so its own handlers, control states and error
// messages run. A connect that fails has shown its message; the steps that
// need the port are left out. False when the port did not open.
bool applyStartOptions(MainWindow &w, const StartOptions &o)
{
    Ui::MainForm &ui = *w.ui();
    if (o.port)
        ui.cb1->setEditText(*o.port);
    if (o.speed)
        ui.cb2->setCurrentIndex(ui.cb2->findText(QString::number(*o.speed)));
    const auto onceConnected = [&ui, o] {
        if (!o.devices.isEmpty())
            ui.Button9->click(); // the table is the given devices, not 247 that connect listed
        for (const uint8_t address : o.devices) {
            ui.Edit1->setText(QString::number(address));
            ui.Button5->click();
        }
        if (o.poll)
            ui.Button2->click();
    };
    if (o.connect) {
        ui.Button1->click();
        if (w.session().lineOpen())
            onceConnected();
        else if (w.session().connecting()) // a line behind a server: the rest once it is up
            QObject::connect(&w.session(), &Session::lineOpened, &w, onceConnected, Qt::SingleShotConnection);
        else
            return false;
    }
    // The chart button is disabled while two devices are polled; the
    // window's own way of opening the chart is used instead.
    if (o.chart)
        w.onChartClicked();
    if (o.log && !ui.wf->isChecked())
        ui.wf->click();
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // Checked before any window system is needed, so --help, --version and a
    // bad option also work without a display.
    const StartOptionsResult parsed = parseStartOptions(rawArguments(argc, argv));
    if (!parsed.options) {
        std::fprintf(stderr, "kalmir: %s\nСправка: kalmir --help\n", parsed.error.toUtf8().constData());
        return 2;
    }
    const StartOptions &options = *parsed.options;
    if (options.help) {
        std::fputs(startUsage().toUtf8().constData(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("kalmir %s\n", KALMIR_VERSION);
        return 0;
    }

#ifdef SIGXFSZ
    // A file-size limit must fail the write (EFBIG) and take the usual error
    // path, not kill the program with a half row and the port's lock left.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kalmir"));
    QApplication::setApplicationVersion(QStringLiteral(KALMIR_VERSION));
    applyApplicationLook();

    Session session;
    if (options.searchMarginMs)
        session.setSearchMarginMs(*options.searchMarginMs);
    FrameCsvFile monitorFile;
    if (options.monitorFile) {
        if (!monitorFile.open(*options.monitorFile)) {
            std::fprintf(stderr, "kalmir: --monitor %s: %s\n", options.monitorFile->toUtf8().constData(),
                         monitorFile.errorString().toUtf8().constData());
            return 1;
        }
        QObject::connect(&session, &Session::frame, [&monitorFile](const FrameRecord &r) {
            monitorFile.append(r);
        });
        session.watchFrames();
    }
    MainWindow mainWindow(session);
    mainWindow.show();
    if (options.quitAfter) {
        // Nobody is at the window of an unattended run: its errors go to stderr too.
        QObject::connect(&mainWindow.errors(), &ErrorReport::reported, [](const QString &message) {
            std::fprintf(stderr, "kalmir: %s\n", message.toUtf8().constData());
        });
    }
    if (!applyStartOptions(mainWindow, options) && options.quitAfter) {
        mainWindow.close();
        return 1; // the run it was to make cannot happen
    }
    if (options.quitAfter && session.connecting()) {
        // A server that cannot be reached ends the run the same way, once the connect has failed.
        QObject::connect(&session, &Session::connectFailed, &mainWindow, [&mainWindow] {
            mainWindow.close();
            QCoreApplication::exit(1);
        });
    }
    scheduleUnattendedEnd(mainWindow, options);
    return app.exec();
}
