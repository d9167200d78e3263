#pragma once
#include <QObject>
#include <cstdint>

class QWidget;

// Connects every main-window control that writes to a device to its command
// code: the control only stores the code in PendingCommand; the polling cycle
// sends it. One table in commandcontrols.cpp says which control, which event
// and which code.
class CommandControls : public QObject {
    Q_OBJECT
public:
    CommandControls(QWidget &mainWindow, uint8_t &PendingCommand);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget &window;
    uint8_t &pending;
};
