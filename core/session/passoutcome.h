#pragma once
#include "detector/replykind.h"
#include "link/frames.h"
#include <QMetaType>
#include <QString>
#include <cstdint>

// How one polling pass's exchange ended, in the line's own terms. The window
// makes its reply log line of it; a service may count it or not look.
struct PassOutcome {
    enum class Verdict {
        Timeout,      // the read window ran out with nothing in
        CrcError,     // bytes came with a wrong CRC (a cut reply among them)
        Refused,      // a good CRC, but not the reply asked for: `kind` says what came
        Acknowledged, // a command's echo
        Status,       // a status reply, decoded and handed on
        Unconfirmed,  // the port failed after the command had reached the line
    };
    Verdict verdict = Verdict::Timeout;
    uint8_t address = 0;
    FrameBuffer frame; // the request in bytes 0-7, the reply from byte 8
    uint8_t count = 0; // reply bytes in
    ReplyKind kind = ReplyKind::Unexpected;
    uint8_t commandCode = 0; // of a command pass
};
Q_DECLARE_METATYPE(PassOutcome)

// The reply log's line for a pass ("TimeOuterror", "CRCerror:  ...", the
// status or echo bytes, a refusal, or the unconfirmed command).
QString replyLogLine(const PassOutcome &outcome);
