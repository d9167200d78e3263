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
    if (!sessionRef.pollingActive()) {
        if (sessionRef.pollingRunning())
            return; // the stopped run still finishes its pass
        form->Button2->setText(QStringLiteral("Стоп"));
        // The polling state comes first: the first pass may already end the
        // run (a bad field text) and put the idle state back.
        applyControlState(pollingState(sessionRef.deviceCount()));
        sessionRef.setLogging(form->wf->isChecked());
        if (!sessionRef.startPolling())
            endPollingSteps(); // nothing listed to poll
        return;
    }
    sessionRef.stopPolling();
    endPollingSteps();
}

void MainWindow::endPollingSteps()
{
    form->Button2->setText(QStringLiteral("Запрос"));
    form->Shape1->setColor(White);
    form->Shape2->setColor(White);
    applyControlState(idleState(sessionRef.deviceCount()));
}

void MainWindow::connectPolling()
{
    // Two log lines a pass: keep the newest lines so a poll of days cannot eat the memory.
    form->Memo1->setMaximumBlockCount(MemoLineLimit);
    form->Memo2->setMaximumBlockCount(MemoLineLimit);

    Session *session = &sessionRef;
    session->setFieldSource(commandPanel);
    connect(form->wf, &QCheckBox::toggled, session, &Session::setLogging);
    connect(session, &Session::passStarted, this, [this] { form->Shape1->setColor(Red); });
    // The request logged; lime when a reply came whose CRC is good, white otherwise.
    connect(session, &Session::answered, this, [this](const FrameBuffer &frame, uint8_t, bool crcGood) {
        form->Memo1->appendPlainText(requestLine(frame));
        form->Shape2->setColor(crcGood ? Lime : White);
    });
    connect(session, &Session::passEnded, this,
            [this](const PassOutcome &outcome) { form->Memo2->appendPlainText(replyLogLine(outcome)); });
    connect(session, &Session::channelMaskShown, this, [this](uint8_t mask) { form->b->setText(QString::number(mask)); });
    connect(session, &Session::statusReceived, statusPanel.get(), &StatusPanel::show);
    connect(session, &Session::statusReceived, chart.get(), &ChartWindow::showSample);
    connect(session, &Session::addressChanged, this, [this](uint8_t a) {
        setGridCell(*form->sg1, 1, 0, QString::number(a));
        chart->renameFirstDevice(a);
    });
    connect(session, &Session::baudChanged, this, [this](uint8_t code) {
        if (const auto choice = baudChoiceForCode(code))
            form->cb2->setCurrentIndex(choice->entry);
    });
    connect(session, &Session::commandRefused, errorReport, &ErrorReport::report);
    connect(session, &Session::notice, errorReport, &ErrorReport::report);
    // The stopped run has ended: what was held back while it finished is free again.
    connect(session, &Session::pollingEnded, this, [this] { applyControlState(idleState(sessionRef.deviceCount())); });
    connect(session, &Session::pollingFailed, this, [this](const QString &message) {
        reportFailure(message);
        endPollingSteps();
    });
}
