// Connection and control states of the main window: connect, disconnect,
// window close, and which controls are enabled when.
#include "app/mainform.h"
#include "app/controlstates.h"
#include "chart/graph.h"
#include "chart/unit2.h"
#include "link/inttext.h"
#include "polling/commandtable.h"
#include "ui_mainform.h"

#include <QCloseEvent>

namespace {
// The port behind cb1: the four COM entries, the empty one standing for COM5,
// the ports the system found, or whatever name the user typed.
QString chosenPort(const QComboBox *cb1)
{
    const int entry = MainForm::selectedEntry(cb1);
    if (entry >= 0 && entry <= 4)
        return QStringLiteral("COM%1").arg(entry + 1);
    return cb1->currentText().trimmed();
}

} // namespace

int MainForm::selectedEntry(const QComboBox *box)
{
    const int i = box->currentIndex();
    if (i >= 0 && box->currentText() == box->itemText(i))
        return i;
    return box->findText(box->currentText(), Qt::MatchFixedString | Qt::MatchCaseSensitive);
}

void MainForm::guarded(const std::function<void()> &step)
{
    try {
        step();
    } catch (const AppError &e) {
        errorReport->report(e.message());
    }
}

void MainForm::Button1Click()
{
    guarded([this] { bcp.isOpen() ? disconnectPort() : connectPort(); });
}

void MainForm::connectPort()
{
    const QString name = chosenPort(form->cb1);
    if (!name.isEmpty())
        bcp.setPortName(name);
    if (const auto code = cb2BaudCode(selectedEntry(form->cb2))) {
        bcp.setBaudRate(baudChoiceForCode(*code)->baudRate);
        s.BaudCode = *code;
    }
    addev(247);
    bcp.open();
    form->Button1->setText(QStringLiteral("Разъединить"));
    const int32_t replyTimeout = StrToInt(form->Edit7->text());
    const int32_t delay = StrToInt(form->Edit8->text());
    if (replyTimeout < 0 || delay < 0) {
        // A negative interval would never end its wait: no connection with it.
        bcp.close();
        form->Button1->setText(QStringLiteral("Соединить"));
        throw AppError(QStringLiteral("Тайм-аут и задержка не могут быть отрицательными"));
    }
    // The reply wait is always the line's own read time-out (531 ms); the
    // window stays responsive throughout, so the time-out field is checked but
    // has nothing left to bound.
    Q_UNUSED(replyTimeout);
    cycle.setDelay(delay);
    activ_opt(0);
    activ_but(ControlState::Idle);
}

void MainForm::disconnectPort()
{
    form->Button1->setText(QStringLiteral("Соединить"));
    bcp.close();
    clear_tab();
    activ_but(ControlState::Disconnected);
    activ_opt(1);
}

void MainForm::closeEvent(QCloseEvent *event)
{
    cycle.stop();
    search.stop();
    if (bcp.isOpen()) {
        // The pass or probe under way meets the closed port; the program is
        // ending, so that is no news for the user.
        errorReport->setQuiet(true);
        bcp.abortAll();
        bcp.close();
        errorReport->setQuiet(false);
    }
    // Every log is closed, also one left open by a connect whose port failed.
    try {
        s.deviceList.closeAllLogs();
    } catch (const AppError &e) {
        errorReport->report(e.message());
        event->ignore();
        return;
    }
    Form1->hide();
    Form2->hide();
    event->accept();
}

void MainForm::activ_but(int16_t state)
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
}

// A stopped poll or search still finishes the exchange under way; until it
// has, nothing may start another exchange or change the port or the list.
void MainForm::lockWhileWindingDown()
{
    const bool windingDown = (cycle.running() && !cycle.isActive()) || (search.running() && !search.isActive());
    if (!windingDown)
        return;
    for (QWidget *w : {static_cast<QWidget *>(form->Button1), static_cast<QWidget *>(form->Button2),
                       static_cast<QWidget *>(form->Button3), static_cast<QWidget *>(form->Button5),
                       static_cast<QWidget *>(form->Button9)})
        w->setEnabled(false);
}

void MainForm::activ_opt(uint8_t sw)
{
    for (const char *name : OptionControls)
        if (auto *w = findChild<QWidget *>(QLatin1String(name)))
            w->setEnabled(optionsEnabled(sw));
}
