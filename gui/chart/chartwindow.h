#pragma once
#include "chart/cappedseries.h"
#include "detector/commandtable.h"
#include "widgets/apperror.h"
#include "session/statussample.h"
#include "widgets/redrawpacer.h"
#include <QDialog>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class QCPAxis;
class QCPGraph;
class QCustomPlot;
class QFileDialog;

namespace Ui {
class ChartWindow;
}

// Axis limits that refuse an inverted range: a minimum above the current
// maximum, or a maximum below the current minimum, raises AppError and leaves
// the axis as it was.
namespace chartaxis {
void setMinimum(QCPAxis &axis, double value);
void setMaximum(QCPAxis &axis, double value);
} // namespace chartaxis

// The signal chart: IR and UV signals, their moving averages and thresholds
// over the number of status reads, with scaling, clearing and saving, and the
// reset and calibration buttons. Modeless; closing only hides it.
//
// It shows one detector, chosen in cbDevice among the polled ones: only that
// detector's replies reach the curves and fields, and its buttons command it.
class ChartWindow : public QDialog {
    Q_OBJECT

public:
    explicit ChartWindow(QWidget *parent = nullptr);
    ~ChartWindow() override;

    // True while the window is open; points are appended only then.
    bool chartShown = false;
    // How many samples the X axis spans (Edit3).
    int xWindow = 500;
    // The save dialog of "Сохранить"; a member so that it can be driven from outside.
    QFileDialog *saveDialog = nullptr;

    void showChart();

    // One status reply as polling hands it on: the curves, the fields and the
    // fire lamp, if it is the chosen detector's.
    void showSample(const StatusSample &sample);

    // The polled addresses in table order; the first becomes the chosen one.
    void setDevices(const QList<uint8_t> &addresses);
    // The first detector took a new address; it stays chosen and keeps its curves.
    void renameFirstDevice(uint8_t address);
    // The detector shown and commanded; none while no device is listed.
    std::optional<uint8_t> chosenDevice() const;
    // One status read, in this order: IR, UV, then the calibration values and the fire bit.
    void addIr(int irSignal, int irAverage, int irThreshold);
    void addUv(int uvSignal, int uvAverage, int uvThreshold);
    void setG36(int value);
    void setG42(int value);
    void setFire(bool fire);

signals:
    // target: the chosen detector (none while nothing is listed).
    void commandRequested(Command command, std::optional<uint8_t> target);
    void irWindowChanged(uint8_t n);
    void uvWindowChanged(uint8_t n);
    void errorRaised(QString message);

protected:
    void closeEvent(QCloseEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    // The six curves, in the order the legend lists them.
    enum Curve { Ir = 0, Uv = 1, IrAv = 2, UvAv = 3, IrThr = 4, UvThr = 5 };

    void setUpChart();
    void setUpSelectors();
    void connectHandlers();

    void onYMaxEdited();
    void onYMinEdited();
    void onAutoPressed(bool wasChecked);
    void onXSpanEdited();
    void applyXSpan();
    void onSaveClicked();
    void onSaveFileChosen(const QString &file);
    void clearCurves();
    void onIrAveragingChanged(int index);
    void onUvAveragingChanged(int index);
    void seriesBoxToggled(int series, bool checked);
    void onDevicePicked();
    void startCurvesAfresh();
    void updateCaption();

    void append(int curve, double value);
    void scrollXWindow();
    void applyXWindow(const QString &text);
    void manualY();
    void fitYToData();
    void rebuildLegend();
    void saveBitmap(const QString &file);
    void redraw();
    void drawNow();
    // Runs a step of a handler; its error is reported, and the window goes on.
    template <class Step> void guarded(Step &&step)
    {
        try {
            step();
        } catch (const AppError &e) {
            emit errorRaised(e.message());
        }
    }

    std::unique_ptr<Ui::ChartWindow> ui;
    QCustomPlot *plot = nullptr;
    std::array<QCPGraph *, 6> curves{};
    // The points of each curve, its newest ones only.
    std::array<CappedSeries, 6> points;
    // The Y axis follows the data; set by mouse presses on "Авто", not by its check mark.
    bool yAuto = false;
    // The detector whose points the curves hold (none while they are empty),
    // and the one whose values the fields show.
    std::optional<uint8_t> curvesDevice;
    std::optional<uint8_t> fieldsDevice;
    // However fast the points come, the chart is drawn once a frame.
    RedrawPacer pacer{[this] { drawNow(); }};
};
