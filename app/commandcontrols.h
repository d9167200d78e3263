#pragma once
#include <QObject>
#include <cstdint>

class QWidget;
struct SharedState;

// Connects every main-window control that writes to a device to its command
// code: the control only queues the code (SharedState::storeCommand); the polling cycle
// sends it. One table in commandcontrols.cpp says which control, which event
// and which code.
class CommandControls : public QObject {
    Q_OBJECT
public:
    CommandControls(QWidget &mainWindow, SharedState &state);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget &window;
    SharedState &state;
};
