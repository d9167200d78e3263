// The main window's side of polling: the poll button, the logs and lamps,
// and what the window hands the cycle (field texts, the status display).
#include "app/lamp.h"
#include "app/mainform.h"
#include "app/controlstates.h"
#include "chart/unit2.h"
#include "status/gridcell.h"
#include "status/statusdisplay.h"
#include "ui_mainform.h"

using namespace LampColor;

void MainForm::Button2Click()
{
    if (!cycle.isActive()) {
        if (cycle.running())
            return; // the stopped run still finishes its pass
        form->Button2->setText(QStringLiteral("Стоп"));
        // The polling state comes first: the first pass may already end the
        // run (a bad field text) and put the idle state back.
        activ_but(pollingState(s.deviceList.count()));
        cycle.start();
        return;
    }
    cycle.stop();
    form->Button2->setText(QStringLiteral("Запрос"));
    form->Shape1->setColor(White);
    form->Shape2->setColor(White);
    activ_but(ControlState::Idle);
}

CommandInputs MainForm::commandInputs(uint8_t target) const
{
    CommandInputs in;
    in.fieldText = [this](const char *name) -> QString {
        if (qstrcmp(name, "edtNEW_DAT") == 0)
            return Form2->valueText();
        const auto *edit = findChild<QLineEdit *>(QLatin1String(name));
        return edit ? edit->text() : QString();
    };
    in.cb7Index = selectedEntry(form->cb7);
    in.cb7Text = form->cb7->currentText();
    in.targetAddress = target;
    in.BaudCode = s.BaudCode;
    in.G_42 = s.status.G_42;
    return in;
}

void MainForm::connectPolling()
{
    // Two log lines a pass: keep the newest lines so a poll of days cannot eat the memory.
    form->Memo1->setMaximumBlockCount(MemoLineLimit);
    form->Memo2->setMaximumBlockCount(MemoLineLimit);

    cycle.commandInputs = [this](uint8_t target) { return commandInputs(target); };
    cycle.display = [this](uint8_t row) { statusDisplay->display(row); };
    connect(&cycle, &PollingCycle::passStarted, this, [this] { form->Shape1->setColor(Red); });
    connect(&cycle, &PollingCycle::requestLine, form->Memo1, &LogView::appendPlainText);
    connect(&cycle, &PollingCycle::replyLine, form->Memo2, &LogView::appendPlainText);
    connect(&cycle, &PollingCycle::replyLamp, this, [this](bool got) { form->Shape2->setColor(got ? Lime : White); });
    connect(&cycle, &PollingCycle::channelMaskShown, this, [this](uint8_t mask) { form->b->setText(QString::number(mask)); });
    connect(&cycle, &PollingCycle::addressChanged, this, [this](uint8_t a) { setGridCell(*form->sg1, 1, 0, QString::number(a)); });
    connect(&cycle, &PollingCycle::baudChanged, this, [this](uint8_t code) {
        if (const auto choice = baudChoiceForCode(code))
            form->cb2->setCurrentIndex(choice->cb2Index);
    });
    connect(&cycle, &PollingCycle::commandRefused, errorReport, &ErrorReport::report);
    // The stopped run has ended: what was held back while it finished is free again.
    connect(&cycle, &PollingCycle::ended, this, [this] { activ_but(ControlState::Idle); });
    connect(&cycle, &PollingCycle::failed, this, [this](const QString &message) {
        errorReport->report(message);
        form->Button2->setText(QStringLiteral("Запрос"));
        form->Shape1->setColor(White);
        form->Shape2->setColor(White);
        activ_but(ControlState::Idle);
    });
}
