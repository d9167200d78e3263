// The main window's side of polling: the poll button, the logs and lamps,
// and what the window shows of each status reply.
#include "chart/chartwindow.h"
#include "main/commandpanel.h"
#include "main/controlstates.h"
#include "main/gridcell.h"
#include "main/mainwindow.h"
#include "main/statuspanel.h"
#include "ui_mainform.h"
#include "link/wirelines.h"
#include "widgets/lamp.h"

using namespace LampColor;

void MainWindow::onPollClicked()
{
    PollingCycle &cycle = sessionRef.polling();
    if (!cycle.isActive()) {
        if (cycle.running())
            return; // the stopped run still finishes its pass
        form->Button2->setText(QStringLiteral("Стоп"));
        // The polling state comes first: the first pass may already end the
        // run (a bad field text) and put the idle state back.
        applyControlState(pollingState(sessionRef.devices().count()));
        cycle.setLogging(form->wf->isChecked());
        if (!cycle.start())
            endPollingSteps(); // nothing listed to poll
        return;
    }
    cycle.stop();
    endPollingSteps();
}

void MainWindow::endPollingSteps()
{
    form->Button2->setText(QStringLiteral("Запрос"));
    form->Shape1->setColor(White);
    form->Shape2->setColor(White);
    applyControlState(idleState(sessionRef.devices().count()));
}

void MainWindow::connectPolling()
{
    // Two log lines a pass: keep the newest lines so a poll of days cannot eat the memory.
    form->Memo1->setMaximumBlockCount(MemoLineLimit);
    form->Memo2->setMaximumBlockCount(MemoLineLimit);

    PollingCycle *cycle = &sessionRef.polling();
    cycle->setFieldSource(commandPanel);
    connect(form->wf, &QCheckBox::toggled, cycle, &PollingCycle::setLogging);
    connect(cycle, &PollingCycle::passStarted, this, [this] { form->Shape1->setColor(Red); });
    // The request logged; lime when a reply came whose CRC is good, white otherwise.
    connect(cycle, &PollingCycle::answered, this, [this](const FrameBuffer &frame, uint8_t, bool crcGood) {
        form->Memo1->appendPlainText(requestLine(frame));
        form->Shape2->setColor(crcGood ? Lime : White);
    });
    connect(cycle, &PollingCycle::passEnded, this,
            [this](const PassOutcome &outcome) { form->Memo2->appendPlainText(replyLogLine(outcome)); });
    connect(cycle, &PollingCycle::channelMaskShown, this, [this](uint8_t mask) { form->b->setText(QString::number(mask)); });
    connect(cycle, &PollingCycle::statusReceived, statusPanel.get(), &StatusPanel::show);
    connect(cycle, &PollingCycle::statusReceived, chart.get(), &ChartWindow::showSample);
    connect(cycle, &PollingCycle::addressChanged, this, [this](uint8_t a) {
        setGridCell(*form->sg1, 1, 0, QString::number(a));
        chart->renameFirstDevice(a);
    });
    connect(cycle, &PollingCycle::baudChanged, this, [this](uint8_t code) {
        if (const auto choice = baudChoiceForCode(code))
            form->cb2->setCurrentIndex(choice->entry);
    });
    connect(cycle, &PollingCycle::commandRefused, this, [this](const Failure &f) { errorReport->report(windowText(f)); });
    connect(cycle, &PollingCycle::notice, errorReport, &ErrorReport::report);
    // The stopped run has ended: what was held back while it finished is free again.
    connect(cycle, &PollingCycle::ended, this, [this] { applyControlState(idleState(sessionRef.devices().count())); });
    connect(cycle, &PollingCycle::failed, this, [this](const Failure &failure) {
        reportFailure(failure);
        endPollingSteps();
    });
}
