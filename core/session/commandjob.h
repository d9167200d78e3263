#pragma once
#include "detector/commandtable.h"
#include "link/failure.h"
#include <QString>
#include <functional>
#include <optional>

// How a client's command ended: what happened, in the core's terms, and
// for a refusal or a line failure what stood in its way.
struct CommandResult {
    enum class Kind {
        Acknowledged, // the detector echoed the write
        Refused,      // never sent: the core would not build it (failure says why)
        Timeout,
        CrcError,
        Exception,    // the detector refused it
        Unexpected,
        LineFailed,   // the line failed under it (failure); it may have reached the detector
    };
    Kind kind = Kind::Acknowledged;
    std::optional<Failure> failure;
    bool ok() const { return kind == Kind::Acknowledged; }
};

// A command from a client that keeps its own queue (the broker's): it
// carries its value, so nothing is read back from a form, and hears how it
// ended, exactly once.
struct CommandJob {
    Command command = Command::None;
    std::optional<int32_t> value; // for the commands that take one
    std::function<void(const CommandResult &)> done;
};
