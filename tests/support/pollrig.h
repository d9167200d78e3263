#pragma once
#include "chart/chartwindow.h"
#include "main/mainwindow.h"
#include "sim/simulator.h"
#include "ui_mainform.h"

#include <QApplication>
#include <QByteArray>
#include <QColor>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <initializer_list>
#include <memory>

// A Modbus RTU request as it must appear on the wire, with its CRC computed
// here (not by the program) so that frames are checked against an outside sum.
QByteArray rtuFrame(uint8_t address, uint8_t function, uint16_t reg, uint16_t value);
// The bytes followed by their CRC-16/MODBUS, low byte first.
QByteArray withModbusCrc(QByteArray bytes);
// Bytes as unsigned decimals joined by `separator` ("1  6  0  1").
QString decimalBytes(const QByteArray &bytes, const QString &separator);
// The values of one series of the chart, in order, as whole numbers.
QList<int> chartValues(ChartWindow &chart, int series);

// The main window, driven through its widgets, connected over a real
// pseudo-terminal to the in-process simulator. Lives in a temporary working
// directory (the device log files are written to the current directory).
class PollRig {
public:
    // The port keeps the line's own timing (531 ms for a read of 53 bytes).
    static constexpr int RealLineTiming = -1;
    // readMs: the port's read time-out, instead of the line's 531 ms.
    explicit PollRig(int readMs = 400);
    ~PollRig();
    PollRig(const PollRig &) = delete;
    PollRig &operator=(const PollRig &) = delete;

    QTemporaryDir dir;
    Simulator sim;
    Session session{nullptr, MainWindow::DeviceCapacity};
    std::unique_ptr<MainWindow> window;

    Ui::MainForm &ui() { return *window->ui(); }
    SessionState &state() { return session.state(); }

    // A frozen detector with fixed readings at `address`.
    Detector &device(uint8_t address) { return sim.addDetector(address); }

    // Types the simulator's port (its link when it has one) into cb1, sets the delay field and clicks
    // "Соединить". Address 247 is listed by the connect itself.
    bool connectPort(int delayMs);
    // Starts the simulator under a link name in the rig's folder, as a USB
    // adapter's device node that goes and comes back, and connects to it.
    bool connectByLink(int delayMs);
    // Replaces the table by these addresses: "Очистить таблицу", then
    // Edit1 + "Добавить прибор" for each.
    void listOnly(std::initializer_list<int> addresses);
    // Clicks "Запрос"; true when a run has begun.
    bool startPolling();
    // Clicks "Стоп" and waits until the run has ended.
    bool stopPolling();
    // Polls until the simulator has received `requests` more requests,
    // clicks "Стоп" while the last of them waits for its reply, and waits
    // until the run has ended: exactly that many passes.
    bool runPasses(int requests);

    // Turns the event loop until done() holds, at most timeoutMs.
    static bool waitFor(const std::function<bool()> &done, int timeoutMs = 10000);
    // Opens the device table's context menu and clicks its item `index`;
    // false when the menu did not show.
    bool clickGridMenuItem(int index);
    // Waits until Memo2 holds `more` status lines beyond `since`, a count
    // taken earlier with statusLineCount().
    bool waitForStatusLines(int since, int more, int timeoutMs = 10000);

    static QStringList lines(const LogView *memo) { return memo->lines(); }
    // Memo2 lines that are status lines: eleven unsigned decimals, two blanks apart.
    int statusLineCount() const;
    QString lastLine(const LogView *memo) const { return lines(memo).last(); }
    // Text of a grid cell; grid row 1 is the first device's row.
    QString cell(int gridRow, int column) const;

    // Requests the simulator received, in order, from `from` on.
    QList<QByteArray> received(int from = 0) const;
    int receivedCount() const { return received().size(); }
    // Writes (function 6) among received(from).
    QList<QByteArray> writesSince(int from) const;
    // Status reads among received(from).
    int statusReadsSince(int from) const;

    // What is wrong with the window as control state 3 (connected, idle)
    // and the caption "Запрос" leave it; empty when nothing is. While the
    // port is away, polling and the search are locked as well.
    QStringList idleStateMismatches(bool portAway = false);
};

// The system locale for numbers and times becomes Russian (decimal comma,
// 24-hour clock), as on the PCs the tool serves, whatever the machine's own
// settings. Call before the QApplication exists.
void useRussianSystemLocale();

// main() of a GUI test that runs in the Russian system locale.
#define POLLRIG_TEST_MAIN(TestClass)                                                                 \
    int main(int argc, char **argv)                                                                  \
    {                                                                                                \
        useRussianSystemLocale();                                                                    \
        QApplication app(argc, argv);                                                                \
        applyApplicationLook();                                                                      \
        TestClass tc;                                                                                \
        QTEST_SET_MAIN_SOURCE_PATH                                                                   \
        return QTest::qExec(&tc, argc, argv);                                                        \
    }

// Colour of one of the window's lamps.
QColor lampColor(QWidget *lamp);
