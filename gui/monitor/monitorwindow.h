#pragma once
#include "monitor/monitormodel.h"
#include "widgets/redrawpacer.h"
#include <QWidget>

class ErrorReport;
class MonitorDelegate;
class Session;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableView;

// "Монитор обмена": every frame on the line with its wire times and verdict,
// newest at the bottom, followed while the view is at the bottom. Frames are
// taken from the line only while the window is open.
class MonitorWindow : public QWidget {
    Q_OBJECT
public:
    MonitorWindow(Session &session, ErrorReport &errors, QWidget *parent = nullptr);
    ~MonitorWindow() override;

    void open();
    MonitorModel &model() { return frames; }
    // Draws what is waiting now (the tests, a picture).
    void redrawNow() { pacer.flush(); }
    bool saveTo(const QString &path); // "Сохранить" once its file is chosen
    void copySelected();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void buildControls();
    void onFrame(const FrameRecord &record);
    void redraw();
    void applyFilter();
    void askSaveFile();
    void fitColumns();
    void fitBytes();

    Session &session;
    ErrorReport &errors;
    MonitorModel frames;
    // Five redraws a second: each scrolls the wide table and draws its bar
    // whatever little came, which at the logs' 25 (or 10) cost more than
    // polling itself; a list of frames to read needs no smoother motion.
    RedrawPacer pacer{[this] { redraw(); }, 200};
    bool watching = false;
    QTableView *table = nullptr;
    MonitorDelegate *cells = nullptr;
    QSpinBox *address = nullptr;
    QComboBox *verdict = nullptr;
    QCheckBox *decimal = nullptr;
    QCheckBox *pause = nullptr;
    QLabel *count = nullptr;
};
