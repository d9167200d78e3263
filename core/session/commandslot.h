#pragma once
#include "detector/commandtable.h"
#include <cstdint>
#include <optional>

// The one slot for the window's next write command. A later store replaces
// a command not yet sent; the polling cycle takes it at the start of a pass
// and clears it when the pass ends, unless it was stored again meanwhile.
//
// A command may name its detector: it then waits for the pass whose
// rotation position is that detector. One without sets off on the next pass.
// A command that takes a value carries the reader of its field, which the
// pass calls when it builds the request.
class CommandSlot {
public:
    // A user action or the configuration-mark rule stores a command.
    void store(Command command, std::optional<uint8_t> target = std::nullopt, ValueReader readValue = {})
    {
        pendingCommand = command;
        waitsFor = target;
        reader = std::move(readValue);
        ++stamp;
    }
    std::optional<uint8_t> pendingTarget() const { return waitsFor; }
    bool empty() const { return pendingCommand == Command::None; }

    // What a pass took: the command, which store of it, and its field's reader.
    struct Taken {
        Command command = Command::None;
        uint32_t stamp = 0;
        ValueReader readValue;
    };
    Taken take() const { return {pendingCommand, stamp, reader}; }
    // What a pass to this address takes: nothing while the command waits for another detector.
    Taken takeFor(uint8_t address) const
    {
        if (waitsFor && *waitsFor != address)
            return {};
        return take();
    }

    // The clearing rule: a pass clears the command only if it is still the
    // very store it sent, so a command stored meanwhile, even the same one
    // again, is never consumed by another reply.
    void clear(const Taken &sent)
    {
        if (pendingCommand == sent.command && stamp == sent.stamp) {
            pendingCommand = Command::None;
            waitsFor.reset();
            reader = {};
        }
    }

private:
    Command pendingCommand = Command::None;
    std::optional<uint8_t> waitsFor; // the detector the command waits for, if any
    ValueReader reader;              // the field of a command that takes a value
    uint32_t stamp = 0; // bumped by every store
};
