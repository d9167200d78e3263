#pragma once
#include "detector/commandtable.h"
#include <QObject>

class QWidget;
class UvFaultTimeDialog;

// The main window's controls that write to a device. Each only asks for its
// command (commandRequested); the polling cycle sends it later and reads the
// typed values through this panel when it builds the request. One table in
// commandpanel.cpp says which control, which event and which command.
class CommandPanel : public QObject, public CommandFieldSource {
    Q_OBJECT
public:
    CommandPanel(QWidget &mainWindow, const UvFaultTimeDialog &uvFaultTimeDialog);

    QString fieldText(CommandField field) const override;
    int newSpeedEntry() const override;
    QString newSpeedText() const override;

signals:
    void commandRequested(Command command);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget &window;
    const UvFaultTimeDialog &uvFaultTimeDialog;
};
