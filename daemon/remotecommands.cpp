#include "daemon/remotecommands.h"
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

using namespace Qt::StringLiterals;

constexpr std::array<RemoteCommandName, LastCommandCode> RemoteCommandNames{{
    {Command::WriteAddress, "write-address"_L1},
    {Command::WriteBaud, "write-baud"_L1},
    {Command::WriteDustThreshold, "write-dust-threshold"_L1},
    {Command::WriteIrThreshold, "write-ir-threshold"_L1},
    {Command::WriteUvThreshold, "write-uv-threshold"_L1},
    {Command::Unused6, "unused-6"_L1},
    {Command::Unused7, "unused-7"_L1},
    {Command::CalibrateIr, "calibrate-ir"_L1},
    {Command::CalibrateUv, "calibrate-uv"_L1},
    {Command::DustChannelOn, "dust-channel-on"_L1},
    {Command::DustChannelOff, "dust-channel-off"_L1},
    {Command::IrChannelOn, "ir-channel-on"_L1},
    {Command::IrChannelOff, "ir-channel-off"_L1},
    {Command::UvChannelOn, "uv-channel-on"_L1},
    {Command::UvChannelOff, "uv-channel-off"_L1},
    {Command::ResetSettings, "reset-settings"_L1},
    {Command::ResetFire, "reset-fire"_L1},
    {Command::IrStepUp, "ir-step-up"_L1},
    {Command::IrStepDown, "ir-step-down"_L1},
    {Command::UvStepUp, "uv-step-up"_L1},
    {Command::UvStepDown, "uv-step-down"_L1},
    {Command::CalibrationModeOn, "calibration-mode-on"_L1},
    {Command::CalibrationModeOff, "calibration-mode-off"_L1},
    {Command::TestOn, "test-on"_L1},
    {Command::CalibrationMode4, "calibration-mode-4"_L1},
    {Command::WriteSerialNumber, "write-serial-number"_L1},
    {Command::ToggleResponseSpeed, "toggle-response-speed"_L1},
    {Command::ToggleRange, "toggle-range"_L1},
    {Command::ToggleFireLatch, "toggle-fire-latch"_L1},
    {Command::ToggleFireRelay, "toggle-fire-relay"_L1},
    {Command::ToggleFaultRelay, "toggle-fault-relay"_L1},
    {Command::DustAutoCalibration, "dust-auto-calibration"_L1},
    {Command::ToggleHeater, "toggle-heater"_L1},
    {Command::WriteHeaterPoint, "write-heater-point"_L1},
    {Command::EnterPassword, "enter-password"_L1},
    {Command::WriteConfigMark, "write-config-mark"_L1},
    {Command::ResetCounters, "reset-counters"_L1},
    {Command::ResetDustSettings, "reset-dust-settings"_L1},
    {Command::ToggleFaultLatch, "toggle-fault-latch"_L1},
    {Command::WriteUvFaultTime, "write-uv-fault-time"_L1},
    {Command::HartOn, "hart-on"_L1},
}};

namespace {
constexpr bool namesInCodeOrder()
{
    for (std::size_t i = 0; i < RemoteCommandNames.size(); ++i)
        if (uint8_t(RemoteCommandNames[i].command) != i + 1)
            return false;
    return true;
}

// Payloads longer than this are no number of ours.
constexpr qsizetype LongestValueText = 16;
// What logs and results show of a name or value at most.
constexpr qsizetype LongestShown = 64;

QString escaped(char32_t c)
{
    switch (c) {
    case '\n': return u"\\n"_s;
    case '\r': return u"\\r"_s;
    case '\t': return u"\\t"_s;
    }
    if (c < 0x20 || (c >= 0x7F && c < 0xA0))
        return u"\\x%1"_s.arg(uint(c), 2, 16, QChar(u'0'));
    if (c == 0x2028 || c == 0x2029) // line and paragraph separators
        return u"\\u%1"_s.arg(uint(c), 4, 16);
    return QString::fromUcs4(&c, 1);
}

// A decimal integer: an optional sign and digits, nothing else. The window's
// rule also reads hexadecimal; a broker message is meant to be plain.
bool decimalText(QByteArrayView payload)
{
    qsizetype i = !payload.isEmpty() && (payload[0] == '-' || payload[0] == '+') ? 1 : 0;
    if (i == payload.size() || payload.size() > LongestValueText)
        return false;
    for (; i < payload.size(); ++i)
        if (payload[i] < '0' || payload[i] > '9')
            return false;
    return true;
}

void refuse(RemoteDecision &d, Refusal why, QString reason)
{
    d.command = Command::None;
    d.value.reset();
    d.refusal = why;
    d.reason = std::move(reason);
}

// The value of a command that takes one: a decimal integer in its register's range.
void readValue(RemoteDecision &d, QByteArrayView payload)
{
    if (payload.isEmpty())
        return refuse(d, Refusal::BadValue, u"%1 takes an integer value"_s.arg(d.name));
    bool ok = false;
    const qlonglong value = decimalText(payload) ? payload.toByteArray().toLongLong(&ok) : 0;
    if (!ok)
        return refuse(d, Refusal::BadValue, u"\"%1\" is not a decimal integer"_s.arg(shownText(payload)));
    const bool fits = value >= INT32_MIN && value <= INT32_MAX; // toLongLong took at most 16 characters
    if (!fits || !valueInRange(d.command, int32_t(value))) {
        const ValueRange range = *commandValueRange(d.command);
        return refuse(d, Refusal::BadValue,
                      u"%1 is out of the range %2..%3 of %4"_s.arg(value).arg(range.min).arg(range.max).arg(d.name));
    }
    d.value = int32_t(value);
}
} // namespace
static_assert(namesInCodeOrder(), "names are indexed by code");

QString shownText(QByteArrayView text)
{
    // Nothing beyond what can be shown is decoded: a character takes at most 4 bytes.
    const QString decoded = QString::fromUtf8(text.first(std::min(text.size(), LongestShown * 4 + 4)));
    QString out;
    for (const char32_t c : decoded.toUcs4()) {
        const QString piece = escaped(c);
        if (out.size() + piece.size() > LongestShown)
            return out + u'…';
        out += piece;
    }
    return out;
}

std::optional<uint8_t> remoteAddress(QStringView level)
{
    if (level.isEmpty() || level.size() > 3 || level[0] == u'0')
        return std::nullopt;
    for (const QChar c : level)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    const int address = level.toInt();
    return address <= 247 ? std::optional(uint8_t(address)) : std::nullopt;
}

bool offeredRemotely(Command command)
{
    const CommandSpec *row = commandSpec(uint8_t(command));
    return row && row->source != ValueSource::None && command != Command::WriteAddress
           && command != Command::WriteBaud && command != Command::WriteConfigMark;
}

QString remoteCommandList()
{
    QStringList lines;
    for (const RemoteCommandName &c : RemoteCommandNames) {
        QString takes;
        if (!offeredRemotely(c.command))
            takes = u"not offered over MQTT"_s;
        else if (const auto range = commandValueRange(c.command))
            takes = u"integer %1..%2"_s.arg(range->min).arg(range->max);
        else
            takes = u"no value"_s;
        lines << u"%1 %2 %3"_s.arg(c.name, -22).arg(int(c.command), 2).arg(takes);
    }
    return lines.join(u'\n') + u'\n';
}

RemoteDecision decideRemoteCommand(bool writes, QByteArrayView name, QByteArrayView payload)
{
    RemoteDecision d;
    d.name = shownText(name);
    if (!writes) {
        refuse(d, Refusal::WritesOff, u"commands are off for this line (writes = false)"_s);
        return d;
    }
    const auto row = std::find_if(RemoteCommandNames.begin(), RemoteCommandNames.end(),
                                  [&](const RemoteCommandName &c) { return QByteArrayView(c.name.data(), c.name.size()) == name; });
    if (row == RemoteCommandNames.end()) {
        refuse(d, Refusal::UnknownName, u"no command \"%1\" (kalmird --list-commands)"_s.arg(d.name));
        return d;
    }
    d.command = row->command;
    if (!offeredRemotely(d.command))
        refuse(d, Refusal::NotOffered, u"%1 is not offered over MQTT"_s.arg(d.name));
    else if (commandValueRange(d.command))
        readValue(d, payload);
    else if (!payload.isEmpty())
        refuse(d, Refusal::BadValue, u"%1 takes no value"_s.arg(d.name));
    return d;
}

void refuseQueueFull(RemoteDecision &decision, int capacity)
{
    refuse(decision, Refusal::QueueFull, u"the line's command queue is full (%1)"_s.arg(capacity));
}

void refuseNoDetector(RemoteDecision &decision, const QString &line, const QString &address)
{
    refuse(decision, Refusal::NoDetector, u"no detector %1 is polled on a line \"%2\""_s.arg(address, line));
}

void refuseRetained(RemoteDecision &decision)
{
    refuse(decision, Refusal::Retained, u"retained commands are not executed"_s);
}

void refuseChannelsUnknown(RemoteDecision &decision, uint8_t address)
{
    refuse(decision, Refusal::ChannelsUnknown,
           u"detector %1 has not answered yet: its channels are unknown"_s.arg(address));
}

void refuseTooLong(RemoteDecision &decision)
{
    refuse(decision, Refusal::TooLong, u"messages longer than %1 bytes are not taken"_s.arg(LongestCommandPayload));
}

QByteArray remoteResultJson(const QString &name, std::optional<int32_t> value, bool ok, const QString &error)
{
    const QJsonObject o{{"command"_L1, name},
                        {"value"_L1, value ? QJsonValue(*value) : QJsonValue()},
                        {"ok"_L1, ok},
                        {"error"_L1, ok ? QJsonValue() : QJsonValue(error)}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray refusalJson(const RemoteDecision &decision)
{
    return remoteResultJson(decision.name, std::nullopt, false, decision.reason);
}
