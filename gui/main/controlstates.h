#pragma once
#include <array>
#include <cstdint>
#include <optional>

// Which main-window controls are enabled in each situation.
enum class Enable : uint8_t { On, Off, Keep };

// ControlState codes.
namespace ControlState {
inline constexpr int16_t Disconnected = 1;
inline constexpr int16_t ConnectedEmpty = 2;  // connected, no device listed
inline constexpr int16_t Idle = 3;            // connected, at least one device
inline constexpr int16_t PollingOne = 4;
inline constexpr int16_t PollingMany = 5;
inline constexpr int16_t Searching = 6;
} // namespace ControlState

inline constexpr int GovernedControlCount = 11;

// One governed control: its object name and its setting in the window's
// start column (cells[0]) and in states 1..6 (cells[state]).
struct ControlRow {
    const char *name;
    std::array<Enable, 7> cells;
};

extern const std::array<ControlRow, GovernedControlCount> ControlStateTable;

// A column of the table: one setting per row of ControlStateTable.
using ControlColumn = std::array<Enable, GovernedControlCount>;

// The column of a ControlState; nullopt for any other value (0, negative, above 6).
std::optional<ControlColumn> controlColumn(int16_t state);
// The column in which the window opens.
ControlColumn startColumn();

// The option controls that are enabled or disabled together (setOptionsEnabled);
// only the switch value 1 enables them.
inline constexpr std::array<const char *, 4> OptionControls{"cb1", "cb2", "Edit7", "Edit8"};
constexpr bool optionsEnabled(uint8_t sw) { return sw == 1; }

// The state of a running poll, and of the table once a bus search ends.
constexpr int16_t pollingState(int deviceCount)
{
    return deviceCount == 1 ? ControlState::PollingOne : ControlState::PollingMany;
}
constexpr int16_t idleState(int deviceCount)
{
    return deviceCount >= 1 ? ControlState::Idle : ControlState::ConnectedEmpty;
}
