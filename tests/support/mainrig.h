#pragma once
#include "main/mainwindow.h"
#include "sim/simulator.h"

#include <QTemporaryDir>
#include <initializer_list>
#include <memory>

class QPushButton;

// The main window shown offscreen beside the simulator, in a working
// directory of its own: the device logs are written to the current directory,
// so two tests never share a dev247.txt. Reads time out after readMs (the
// real line waits 531 ms).
struct MainRig {
    QTemporaryDir dir;
    QString previousDir;
    Simulator sim;
    Session session{nullptr, MainWindow::DeviceCapacity};
    std::unique_ptr<MainWindow> form;
    QStringList errors; // every message the window reported, in order

    explicit MainRig(std::initializer_list<int> detectors = {}, int readMs = 30);
    ~MainRig();
    MainRig(const MainRig &) = delete;
    MainRig &operator=(const MainRig &) = delete;

    template <class T = QWidget>
    T *w(const char *name) const
    {
        return form->findChild<T *>(QLatin1String(name));
    }
    QPushButton *button(const char *name) const;
    QString caption(const char *button) const;
    // A left click on a named button, as the user makes it (a disabled button ignores it).
    void click(const char *button);
    void setText(const char *lineEdit, const QString &text);
    // Types the simulator's slave path into cb1 and clicks "Соединить".
    void connectToSim();

    // The governed controls (Button1 .. CheckBox4 in the order of the state
    // table) that are enabled, joined by blanks.
    QString enabledControls() const;
    bool optionsEnabled() const;  // cb1, cb2, Edit7, Edit8 all enabled
    bool optionsDisabled() const; // all four disabled

    // Exchange grid: data rows (the header row not counted) and the text of
    // a cell, grid row 1 being the first data row.
    int gridRows() const;
    QString gridCell(int gridRow, int column) const;
    QList<int> listedAddresses();

    QString path(const QString &fileName) const { return dir.filePath(fileName); }
    QByteArray fileBytes(const QString &fileName) const; // "<missing>" if absent
    // Addresses of the requests the simulator received, in order.
    QList<int> probedAddresses() const;
};

// The log header line in Windows-1251 with its CR LF.
QByteArray logHeaderBytes();
