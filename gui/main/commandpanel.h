#pragma once
#include "detector/commandtable.h"
#include <QObject>

class QWidget;
class UvFaultTimeDialog;

// The main window's controls that write to a device. Each only asks for its
// command (commandRequested); the polling cycle sends it later and reads the
// value through the command's reader when it builds the request.
// Tables in commandpanel.cpp say which control, which event and which
// command, and which field each command reads.
class CommandPanel : public QObject {
    Q_OBJECT
public:
    CommandPanel(QWidget &mainWindow, UvFaultTimeDialog &uvFaultTimeDialog);

    // The reader of the value a command takes from its field (the value
    // dialog's for the UV fault time); empty for a command that takes none.
    ValueReader valueReader(Command command) const;

signals:
    void commandRequested(Command command);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget &window;
    UvFaultTimeDialog &uvFaultTimeDialog;
};
