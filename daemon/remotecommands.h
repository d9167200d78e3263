#pragma once
#include "detector/commandtable.h"
#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1StringView>
#include <QString>
#include <QStringView>
#include <array>
#include <optional>

// The command set as the broker offers it: kalmir/<line>/<addr>/set/<name>
// with an empty payload, or a decimal integer for the commands that take a
// value. A value must fit the register it is written to, as the detector
// reads it back (signed or unsigned 16 bits, a threshold never below zero),
// so what is written is the value the result names.

struct RemoteCommandName {
    Command command;
    QLatin1StringView name; // the command's name in kebab case
};

// Every code 1..41, in code order.
extern const std::array<RemoteCommandName, LastCommandCode> RemoteCommandNames;

// False for the commands a broker never sends: the address and speed changes
// (the line would lose the detector), the configuration mark (the core sends
// it itself) and the codes that write nothing.
bool offeredRemotely(Command command);

// One line per command: name, code, and the value it takes or why it is not
// offered. What `kalmird --list-commands` prints.
QString remoteCommandList();

enum class Refusal { None, WritesOff, UnknownName, NotOffered, BadValue, NoDetector, QueueFull, Retained, TooLong, ChannelsUnknown };

// The longest payload a set topic takes; longer ones are refused unread.
inline constexpr qsizetype LongestCommandPayload = 256;

// A name, value or topic level as logs and results show it: control
// characters escaped (\n, \x01), cut to 64 characters with "…", so a
// message can neither forge a log line nor flood it.
QString shownText(QByteArrayView text);

// The detector address of a topic level: canonical decimal 1..247 only
// ("5", never "05", " 5" or "0x5"), so one detector has one topic.
std::optional<uint8_t> remoteAddress(QStringView level);

struct RemoteDecision {
    QString name;                    // the name as the topic gave it
    Command command = Command::None; // accepted: what to queue
    std::optional<int32_t> value;    // accepted: the value, for the commands that take one
    Refusal refusal = Refusal::None;
    QString reason; // refused: why, for the result and the log
    bool accepted() const { return refusal == Refusal::None; }
};

// Decides a message to set/<name> (the topic level after set/, and the
// payload) for a line whose configuration allows writes or not.
RemoteDecision decideRemoteCommand(bool writes, QByteArrayView name, QByteArrayView payload);

// Refuses an accepted command that cannot be queued.
void refuseQueueFull(RemoteDecision &decision, int capacity);
// Refuses a command to a line or detector the service does not poll.
void refuseNoDetector(RemoteDecision &decision, const QString &line, const QString &address);
// Refuses a retained message: it would run again at every connection.
void refuseRetained(RemoteDecision &decision);
// Refuses a message longer than LongestCommandPayload.
void refuseTooLong(RemoteDecision &decision);
// Refuses a channel command for a detector that has not reported its channels yet.
void refuseChannelsUnknown(RemoteDecision &decision, uint8_t address);

// The one answer a command gets on kalmir/<line>/<addr>/result:
// {"command", "value", "ok", "error"}; value and error are null when absent.
QByteArray remoteResultJson(const QString &name, std::optional<int32_t> value, bool ok,
                            const QString &error = {});
// The answer of a refused command.
QByteArray refusalJson(const RemoteDecision &decision);
