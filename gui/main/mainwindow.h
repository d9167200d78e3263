#pragma once
#include "session/session.h"
#include "widgets/errorreport.h"
#include <QWidget>
#include <functional>
#include <memory>

class QComboBox;
class CommandPanel;
class StatusPanel;
class ChartWindow;
class UvFaultTimeDialog;
class CommStatsWindow;
class MonitorWindow;
class QCheckBox;

namespace Ui {
class MainForm;
}

// The style and font the fixed layouts of the windows are measured for. Called
// once after the QApplication exists and before any window is created; the
// look of a desktop theme (wider margins, other glyph widths) would clip them.
void applyApplicationLook();

// The main window: connection, exchange grid, device settings and commands,
// and the request/reply logs. The layout lives in mainform.ui and every
// control keeps its layout name (Button1, cb1, sg1, ...), by which tests find
// it. The window shows what the session emits and asks the session to act.
//
// Exchange grid sg1: the header row is the table's horizontal header, so grid
// row k (k >= 1, the row of DeviceList slot k - 1) is table row k - 1. The
// layout holds one empty data row.
//
// Port list cb1 is editable and starts with no entry selected (index -1) but
// the text "COM1". In an editable QComboBox typing does not move the current
// index, so an entry counts as selected only while currentIndex() >= 0 and
// currentText() still equals itemText(currentIndex()). The same holds for
// cb2 and cb7.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int ClientWidth = 873;
    static constexpr int ClientHeight = 416;
    // The devices its session may list: the exchange grid has rows for two.
    static constexpr int DeviceCapacity = 2;

    explicit MainWindow(Session &session, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The newest lines each request/reply log keeps.
    static constexpr int MemoLineLimit = 100000;

    // The controls by their layout names.
    Ui::MainForm *ui() const { return form.get(); }

    Session &session() { return sessionRef; }
    ErrorReport &errors() { return *errorReport; }
    ChartWindow &chartWindow() { return *chart; }
    UvFaultTimeDialog &uvFaultTimeDialog() { return *uvFaultTime; }
    CommStatsWindow &commStatsWindow() { return *commStats; }
    MonitorWindow &monitorWindow() { return *monitor; }

    void onConnectClicked();    // "Соединить" / "Разъединить"
    void onPollClicked();       // "Запрос" / "Стоп"
    void onSearchClicked();     // "Поиск" / "Остановить"
    void onAddDeviceClicked();  // "Добавить прибор"
    void onClearTableClicked(); // "Очистить таблицу"
    void onChartClicked();      // "График"
    void onUvFaultTimeDoubleClicked();
    void onCommStatsRequested(); // Ctrl+I, or the device grid's context menu
    void onMonitorRequested();   // Ctrl+M, or the device grid's context menu

    // The entry a combo shows, or -1 while its text is typed rather than chosen.
    static int selectedEntry(const QComboBox *box);

    void applyControlState(int16_t state);
    void setOptionsEnabled(uint8_t sw);
    // False when the device's log failed (reported).
    bool addDevice(uint8_t address);
    // False when a log failed to close (reported).
    bool clearTable();

protected:
    void closeEvent(QCloseEvent *event) override; // FormClose
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createWindowsAndConnect();
    void connectPort();
    void lineConnected();
    void disconnectPort();
    void connectPolling();
    void connectDeviceGrid();
    void connectSearch();
    void connectCommStats();
    void connectMonitorAndFastSearch();
    void showFastSearchSummary();
    void endSearchSteps();
    void reportUnlisted(const QList<uint8_t> &addresses);
    void endPollingSteps();
    void lockWhileWindingDown();
    void lockWhilePortAway();
    void connectPortWatch();
    void guarded(const std::function<void()> &step);
    // Shows a failure of the core in the error box; true when there was one.
    bool reported(const std::optional<Failure> &failure);
    void reportFailure(const Failure &failure);
    void requestCommand(Command command);

    Session &sessionRef;
    ErrorReport *errorReport = nullptr;
    // Windows of their own, not children: their controls share names with ours.
    std::unique_ptr<ChartWindow> chart;
    std::unique_ptr<UvFaultTimeDialog> uvFaultTime;
    std::unique_ptr<CommStatsWindow> commStats;
    std::unique_ptr<MonitorWindow> monitor;
    QCheckBox *fastSearch = nullptr; // "быстро", beside "Поиск"
    std::unique_ptr<StatusPanel> statusPanel;
    CommandPanel *commandPanel = nullptr; // owned by the window

    void addFoundPorts();
    void setUpGrid();
    void setInitialStates();

    std::unique_ptr<Ui::MainForm> form;
};
