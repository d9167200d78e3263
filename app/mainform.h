#pragma once
#include "app/bussearch.h"
#include "app/errorreport.h"
#include "link/serialchannel.h"
#include "link/transaction.h"
#include "polling/pollingcycle.h"
#include "polling/sharedstate.h"
#include <QWidget>
#include <functional>
#include <memory>

class QComboBox;
class StatusDisplay;
class TForm1;
class TForm2;

namespace Ui {
class MainForm;
}

// The style and font the fixed layouts of the windows are measured for. Called
// once after the QApplication exists and before any window is created; the
// look of a desktop theme (wider margins, other glyph widths) would clip them.
void applyApplicationLook();

// The main window: connection, exchange grid, device settings and commands,
// and the request/reply logs. The layout lives in mainform.ui and every
// control keeps its layout name (Button1, cb1, sg1, ...), so handlers are
// named after the control and its event.
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
class MainForm : public QWidget {
    Q_OBJECT

public:
    static constexpr int ClientWidth = 873;
    static constexpr int ClientHeight = 416;

    explicit MainForm(QWidget *parent = nullptr);
    ~MainForm() override;

    // The newest lines each request/reply log keeps.
    static constexpr int MemoLineLimit = 100000;

    // The controls by their layout names.
    Ui::MainForm *ui() const { return form.get(); }

    // The program's state and its machinery, created with the window.
    SharedState &state() { return s; }
    SerialChannel &port() { return bcp; }
    PollingCycle &polling() { return cycle; }
    BusSearch &busSearch() { return search; }
    ErrorReport &errors() { return *errorReport; }
    TForm1 &chartWindow() { return *Form1; }
    TForm2 &valueDialog() { return *Form2; }

    // Handlers, named after their control and event.
    void Button1Click(); // connect / disconnect
    void Button2Click(); // poll / stop
    void Button3Click(); // bus search / stop
    void Button5Click(); // add device
    void Button9Click(); // clear table
    void Button6Click(); // chart window
    void lblT_UVFaultDblClick();

    // The entry a combo shows, or -1 while its text is typed rather than chosen.
    static int selectedEntry(const QComboBox *box);

    void activ_but(int16_t state);
    void activ_opt(uint8_t sw);
    void addev(uint8_t address);
    void clear_tab();

protected:
    void closeEvent(QCloseEvent *event) override; // FormClose
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void FormCreate();
    void connectPort();
    void disconnectPort();
    void connectPolling();
    void connectSearch();
    void endSearchSteps();
    void lockWhileWindingDown();
    void guarded(const std::function<void()> &step);
    CommandInputs commandInputs(uint8_t target) const;

    SharedState s;
    SerialChannel bcp;
    Transaction tx{bcp, s.ExchangeBuffer};
    PollingCycle cycle{tx, bcp, s};
    BusSearch search{tx, s};
    ErrorReport *errorReport = nullptr;
    // Windows of their own, not children: their controls share names with ours.
    std::unique_ptr<TForm1> Form1;
    std::unique_ptr<TForm2> Form2;
    std::unique_ptr<StatusDisplay> statusDisplay;

    void addFoundPorts();
    void setUpGrid();
    void setInitialStates();

    std::unique_ptr<Ui::MainForm> form;
};
