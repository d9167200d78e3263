#include "daemon/remotecommands.h"
#include "link/inttext.h"
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <limits>

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

// Payloads longer than this are no number of ours; the log shows no more of them.
constexpr qsizetype LongestValueText = 16;

QString shown(QByteArrayView payload)
{
    QString text = QString::fromUtf8(payload.first(std::min(payload.size(), LongestValueText)));
    return payload.size() > LongestValueText ? text + u'…' : text;
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

// The value of a command that takes one, checked by the window's own builder
// as a typed text would be, so the ranges cannot drift apart.
void readValue(RemoteDecision &d, QByteArrayView payload)
{
    if (payload.isEmpty())
        return refuse(d, Refusal::BadValue, u"%1 takes an integer value"_s.arg(d.name));
    const std::optional<int32_t> value =
        decimalText(payload) ? parseIntText(QString::fromLatin1(payload)) : std::nullopt;
    if (!value)
        return refuse(d, Refusal::BadValue, u"\"%1\" is not a decimal integer"_s.arg(shown(payload)));
    RemoteValueSource source;
    source.setValue(value);
    uint8_t scratchMask = 0; // the line's channel mask is not touched by a check
    try {
        buildCommand(d.command, CommandInputs{&source, 0, 0, 0}, scratchMask);
    } catch (const AppError &) {
        const ValueRange range = *remoteValueRange(d.command);
        return refuse(d, Refusal::BadValue,
                      u"%1 is out of the range %2..%3 of %4"_s.arg(*value).arg(range.min).arg(range.max).arg(d.name));
    }
    d.value = value;
}
} // namespace
static_assert(namesInCodeOrder(), "names are indexed by code");

std::optional<ValueRange> remoteValueRange(Command command)
{
    const CommandSpec *row = commandSpec(uint8_t(command));
    if (!row)
        return std::nullopt;
    switch (row->source) {
    case ValueSource::Field:
    case ValueSource::NewAddress:
        // The window sends the low 16 bits of any 32-bit integer it reads.
        return ValueRange{std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
    case ValueSource::UvFaultHours:
        return ValueRange{0, 0xFFFF};
    default:
        return std::nullopt;
    }
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
        else if (const auto range = remoteValueRange(c.command))
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
    d.name = QString::fromUtf8(name);
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
    else if (remoteValueRange(d.command))
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
