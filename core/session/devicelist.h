#pragma once
#include "session/devicelog.h"
#include <QObject>
#include <QString>
#include <memory>
#include <cstdint>
#include <vector>

// The polled addresses in the order they were added, up to a capacity (two in
// the window, more in the watch service), each with its open log file
// "dev<address>.txt". The grid rows belong to the window,
// which follows the list through its signals.
class DeviceList : public QObject {
    Q_OBJECT
public:
    // workDir: where the log files go; empty means the current directory.
    // capacity: how many the owner lists (the window's table has room for two).
    DeviceList(QString workDir, int capacity);

    int capacity() const { return int(addresses.size()); }

    void setWorkDir(const QString &dir) { workDir = dir; }
    // Off: devices are listed without a log file (a service told to keep none).
    void setLogFiles(bool on) { logFiles = on; }
    // Path of the log file of an address ("dev5.txt" inside the working directory).
    QString logPath(uint8_t address) const;

    int count() const { return n; }
    uint8_t address(int slot) const { return addresses[size_t(slot)]; }
    // Whether one of the count listed devices has this address.
    bool contains(uint8_t address) const;
    bool full() const { return n >= capacity(); }

    // Lists an address: stores it in slot count (listing() tells), then
    // creates its log file. A listed address, the broadcast address 0 or a
    // full list is ignored silently. When the file fails, the failure is
    // returned and the device is not counted, though its address stays in the slot.
    std::optional<Failure> add(uint8_t address);
    // The new-address command renames a listed device (its log keeps its name).
    void setAddress(int slot, uint8_t address) { addresses[slot] = address; }
    DeviceLog &log(int slot) { return *logs[size_t(slot)]; }

    // Closes the logs in slot order, then empties the list (slot 0 := 0). A
    // failing close is returned and leaves the count as it was.
    std::optional<Failure> clear();
    // Closes every open log in slot order, leaving the list as it is (window
    // close). A failing close is returned; the later logs stay open.
    std::optional<Failure> closeAllLogs();

signals:
    // An address takes a slot; its log file is opened next.
    void listing(int slot, uint8_t address);
    // The list was emptied.
    void cleared();

private:
    QString workDir;
    bool logFiles = true;
    int n = 0;
    std::vector<uint8_t> addresses;
    std::vector<std::unique_ptr<DeviceLog>> logs; // DeviceLog holds an open file: not movable
};
