#pragma once
#include <QString>
#include <cstdint>

namespace Ui {
class MainForm;
}
class TForm1;
struct SharedState;

// `display`: decodes a good status reply and shows it in the device's grid
// row, the main window's indicators, the chart window and, while "Запись в
// файл" is ticked, the device's log file.
class StatusDisplay {
public:
    StatusDisplay(Ui::MainForm &ui, TForm1 &chart, SharedState &state);

    // row: grid row of the device, its list slot + 1. A failing log write
    // throws AppError and leaves the rest of the reply unshown.
    void display(uint8_t row);

private:
    void cell(uint8_t row, int column, const QString &text);
    void showChannels();
    void showServiceControls(bool visible);
    void showModes();

    Ui::MainForm &ui;
    TForm1 &chart;
    SharedState &s;
};
