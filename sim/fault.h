#pragma once
#include <QByteArray>
#include <QString>
#include <optional>

// A way of spoiling replies, for tests of the master's error handling.
enum class FaultKind {
    None,
    Silence,   // no reply at all
    BadCrc,    // the CRC bytes are wrong
    Truncate,  // only the first `arg` bytes go out
    Exception, // an exception reply with code `arg` instead of the reply
    Noise,     // `arg` noise bytes go out before the reply
    Slow,      // the bytes are spread evenly over `arg` ms
    Trailing,  // `arg` extra bytes follow the reply
    Drop,      // the line is closed instead of replying; reopened after `arg` ms if > 0
    Late,      // the reply starts `arg` ms later than it would
    Foreign,   // the reply carries address `arg` (its CRC made anew), as another detector's would
};

struct Fault {
    FaultKind kind = FaultKind::None;
    int arg = 0;
    // Replies still to spoil; -1 spoils every reply until the fault is cleared.
    int count = -1;

    bool active() const { return kind != FaultKind::None && count != 0; }
    // Counts one spoiled reply; the fault ends when its count runs out.
    void consume();
};

// What goes on the line for one reply.
struct Outgoing {
    QByteArray bytes; // empty: nothing is sent
    int spreadMs = 0; // > 0: the bytes are paced over this many ms
    int delayMs = 0;  // the reply starts this much later
    bool dropLine = false;
};

// The reply as the fault leaves it. `arg` 0 takes the kind's default.
Outgoing applyFault(FaultKind kind, int arg, const QByteArray &reply);
int defaultArg(FaultKind kind);

// "[ADDR/]KIND[:ARG][*COUNT]", e.g. "silence", "2/crc*3", "slow:1500",
// "truncate:10", "exception:4*1", "drop:500". KIND is one of
// silence, crc, truncate, exception, noise, slow, trailing, drop, late, foreign.
struct FaultOption {
    int address = 0; // 0: every detector
    Fault fault;
};
std::optional<FaultOption> parseFaultOption(const QString &text);
QString faultKindName(FaultKind kind);
