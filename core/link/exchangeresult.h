#pragma once
#include "link/failure.h"
#include "link/frames.h"
#include <QString>

// How one exchange ended, handed to whoever started it: the request and the
// bytes that came back, and when it went out and ended. Each exchange has its
// own, so no later exchange can change a reply that is still being read.
struct ExchangeResult {
    enum class Outcome {
        Reply,      // the read ended: `count` bytes came (0: the window ran out empty)
        PortFailed, // the port failed or was closed under the exchange
    };
    Outcome outcome = Outcome::Reply;
    FrameBuffer frame; // the request in bytes 0-7, the reply from byte 8
    uint8_t count = 0;
    bool intact = false; // the reply's own check (its CRC) holds; false for none
    Failure error;            // with PortFailed: what failed
    bool requestSent = false; // with PortFailed: some of the request had reached the line
    double startedMs = 0;     // query() called (the channel's clock)
    double onLineMs = 0;      // the request's last byte on the line; 0 if it never was
    double endedMs = 0;
    // The reply's first character in and its last, on the line (0: none came).
    double firstByteMs = 0;
    double lastByteMs = 0;
};
