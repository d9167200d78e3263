// Connection and control states of the main window: connect, disconnect,
// window close, and which controls are enabled when.
#include "main/mainwindow.h"
#include "main/controlstates.h"
#include "chart/chartwindow.h"
#include "dialogs/uvfaulttimedialog.h"
#include "link/inttext.h"
#include "detector/commandtable.h"
#include "detector/valueformats.h"
#include "ui_mainform.h"
#include "dialogs/commstatswindow.h"
#include "monitor/monitorwindow.h"

#include <QCloseEvent>
#include <QTime>

namespace {
// The port behind cb1: the four COM entries, the empty one standing for COM5,
// the ports the system found, or whatever name the user typed.
QString chosenPort(const QComboBox *cb1)
{
    const int entry = MainWindow::selectedEntry(cb1);
    if (entry >= 0 && entry <= 4)
        return QStringLiteral("COM%1").arg(entry + 1);
    return cb1->currentText().trimmed();
}

} // namespace

int MainWindow::selectedEntry(const QComboBox *box)
{
    const int i = box->currentIndex();
    if (i >= 0 && box->currentText() == box->itemText(i))
        return i;
    return box->findText(box->currentText(), Qt::MatchFixedString | Qt::MatchCaseSensitive);
}

void MainWindow::guarded(const std::function<void()> &step)
{
    try {
        step();
    } catch (const AppError &e) {
        errorReport->report(e.message());
    }
}

// A run ended by a lost port shares the one box for port losses; the reply
// log has a line for every loss.
void MainWindow::reportFailure(const QString &message)
{
    if (sessionRef.awaitingPort())
        errorReport->reportPortLoss(message);
    else
        errorReport->report(message);
}

void MainWindow::onConnectClicked()
{
    // While a lost port is awaited the window still shows the connection:
    // the click disconnects and so ends the wait.
    guarded([this] {
        if (sessionRef.lineOpen() || sessionRef.awaitingPort())
            disconnectPort();
        else
            connectPort();
    });
}

// A line behind a server connects on the event loop: the button waits for
// the outcome (at most a few seconds) and the rest follows in lineConnected().
void MainWindow::connectPort()
{
    if (sessionRef.connectLine(chosenPort(form->cb1), lineSpeedCode(selectedEntry(form->cb2))))
        lineConnected();
    else
        form->Button1->setEnabled(false);
}

void MainWindow::lineConnected()
{
    form->Button1->setText(QStringLiteral("Разъединить"));
    const int32_t replyTimeout = typedInteger(form->Edit7->text());
    const int32_t delay = typedInteger(form->Edit8->text());
    if (replyTimeout < 0 || delay < 0) {
        // A negative interval would never end its wait: no connection with it.
        sessionRef.closeLine();
        form->Button1->setText(QStringLiteral("Соединить"));
        throw AppError(QStringLiteral("Тайм-аут и задержка не могут быть отрицательными"));
    }
    // The reply wait is always the line's own read time-out (531 ms); the
    // window stays responsive throughout, so the time-out field is checked but
    // has nothing left to bound.
    Q_UNUSED(replyTimeout);
    sessionRef.setPollingDelay(delay);
    setOptionsEnabled(0);
    applyControlState(ControlState::Idle);
}

void MainWindow::disconnectPort()
{
    form->Button1->setText(QStringLiteral("Соединить"));
    sessionRef.disconnectLine();
    applyControlState(ControlState::Disconnected);
    setOptionsEnabled(1);
}

// The reply log tells when the port went and came back; the message box for
// the loss comes from whatever the loss ended (polling, the search, or idle).
void MainWindow::connectPortWatch()
{
    connect(&sessionRef, &Session::lineOpened, this, [this] {
        form->Button1->setEnabled(true);
        guarded([this] { lineConnected(); });
    });
    connect(&sessionRef, &Session::connectFailed, this, [this](const QString &message) {
        form->Button1->setEnabled(true);
        errorReport->report(message);
    });
    connect(&sessionRef, &Session::portAway, this, [this](const QString &message) {
        form->Memo2->appendPlainText(QStringLiteral("Порт потерян %1: %2")
                                         .arg(timeOfDayText(QTime::currentTime()), message));
        applyControlState(idleState(sessionRef.deviceCount()));
    });
    connect(&sessionRef, &Session::portBack, this, [this] {
        form->Memo2->appendPlainText(
            QStringLiteral("Порт снова открыт %1").arg(timeOfDayText(QTime::currentTime())));
        const int devices = sessionRef.deviceCount();
        if (sessionRef.pollingRunning()) {
            form->Button2->setText(QStringLiteral("Стоп"));
            applyControlState(pollingState(devices));
        } else {
            applyControlState(idleState(devices));
        }
    });
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The pass or probe under way meets the closed port; the program is
    // ending, so that is no news for the user.
    errorReport->setQuiet(true);
    sessionRef.shutDown();
    errorReport->setQuiet(false);
    // Every log is closed, also one left open by a connect whose port failed.
    try {
        sessionRef.closeAllLogs();
    } catch (const AppError &e) {
        errorReport->report(e.message());
        event->ignore();
        return;
    }
    chart->hide();
    uvFaultTime->hide();
    commStats->hide();
    monitor->hide();
    event->accept();
}

void MainWindow::applyControlState(int16_t state)
{
    const auto column = controlColumn(state);
    if (!column)
        return;
    for (int i = 0; i < GovernedControlCount; ++i) {
        const Enable e = (*column)[i];
        if (e == Enable::Keep)
            continue;
        if (auto *w = findChild<QWidget *>(QLatin1String(ControlStateTable[i].name)))
            w->setEnabled(e == Enable::On);
    }
    lockWhileWindingDown();
    lockWhilePortAway();
}

// A stopped poll or search still finishes the exchange under way; until it
// has, nothing may start another exchange or change the port or the list.
void MainWindow::lockWhileWindingDown()
{
    const bool windingDown = (sessionRef.pollingRunning() && !sessionRef.pollingActive())
                             || (sessionRef.searchRunning() && !sessionRef.searchActive());
    if (!windingDown)
        return;
    for (QWidget *w : {static_cast<QWidget *>(form->Button1), static_cast<QWidget *>(form->Button2),
                       static_cast<QWidget *>(form->Button3), static_cast<QWidget *>(form->Button5),
                       static_cast<QWidget *>(form->Button9)})
        w->setEnabled(false);
}

// No exchange can start on a port that is gone: polling and the search wait
// for it to come back. The list may still be edited.
void MainWindow::lockWhilePortAway()
{
    if (!sessionRef.awaitingPort())
        return;
    form->Button2->setEnabled(false);
    form->Button3->setEnabled(false);
}

void MainWindow::setOptionsEnabled(uint8_t sw)
{
    for (const char *name : OptionControls)
        if (auto *w = findChild<QWidget *>(QLatin1String(name)))
            w->setEnabled(optionsEnabled(sw));
}
