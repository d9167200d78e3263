#pragma once
#include "detector/commandtable.h"
#include <cstdint>

// The one slot for the next write command. A later store replaces a command
// not yet sent; the polling cycle takes it at the start of a pass and clears
// it when the pass ends, unless it was stored again meanwhile.
class CommandQueue {
public:
    // A user action or the configuration-mark rule queues a command.
    void store(Command command)
    {
        pendingCommand = command;
        ++stamp;
    }
    Command pending() const { return pendingCommand; }
    uint8_t pendingCode() const { return uint8_t(pendingCommand); }
    bool empty() const { return pendingCommand == Command::None; }

    // What a pass took: the command and which store of it.
    struct Taken {
        Command command = Command::None;
        uint32_t stamp = 0;
    };
    Taken take() const { return {pendingCommand, stamp}; }

    // The clearing rule: a pass clears the command only if it is still the
    // very store it sent, so a command stored meanwhile, even the same one
    // again, is never consumed by another reply.
    void clear(const Taken &sent)
    {
        if (pendingCommand == sent.command && stamp == sent.stamp)
            pendingCommand = Command::None;
    }

private:
    Command pendingCommand = Command::None;
    uint32_t stamp = 0; // bumped by every store
};
