#pragma once
#include "detector/devicestatus.h"
#include "session/averages.h"
#include <cstdint>
#include <map>

// What the line knows of one detector, fed only by that detector's passes.
struct DeviceState {
    bool answered = false; // a good status reply has come
    DeviceStatus status;   // the last good status reply (zeros until one came)
    MovingAverages averages;
};

// The state of every detector polled on the line, keyed by address, so that
// no value read from one detector is ever shown for or written to another.
// An entry is made when first asked for; entries outlive clearing the table,
// as the averages outlive it.
class DeviceStates {
public:
    DeviceState &at(uint8_t address) { return table[address]; }
    const DeviceState *find(uint8_t address) const
    {
        const auto it = table.find(address);
        return it == table.end() ? nullptr : &it->second;
    }
    // The detector took a new address: its state goes with it.
    void rename(uint8_t from, uint8_t to)
    {
        if (from == to)
            return;
        auto node = table.extract(from);
        table.erase(to);
        if (!node.empty()) {
            node.key() = to;
            table.insert(std::move(node));
        }
    }

private:
    std::map<uint8_t, DeviceState> table;
};
