#pragma once
#include "session/statussample.h"
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>

namespace Ui {
class MainForm;
}

// Shows a status reply in the main window: the device's grid row, the
// lamps, the captions of the mode buttons, the channel boxes and the
// service controls. It only shows; the polling cycle has applied every rule.
class StatusPanel : public QObject {
    Q_OBJECT
public:
    explicit StatusPanel(Ui::MainForm &ui);

    void show(const StatusSample &sample);

private:
    void cell(int row, int column, const QString &text);
    void showChannels(const DeviceStatus &d);
    void showServiceControls(bool visible);
    void showModes(const DeviceStatus &d);

    Ui::MainForm &ui;
    // The mode flags the buttons show: their captions and the heater mark
    // change only with them, not at every reply.
    std::optional<uint8_t> shownModes;
};
