#include "main/controlstates.h"

namespace {
constexpr Enable I = Enable::On;
constexpr Enable O = Enable::Off;
constexpr Enable K = Enable::Keep;
} // namespace

// clang-format off
const std::array<ControlRow, GovernedControlCount> ControlStateTable{{
    //              start  1  2  3  4  5  6
    {"Button1",   {{I,    I, I, I, O, O, O}}},
    {"Button5",   {{O,    O, I, I, O, O, O}}},
    {"Button3",   {{O,    O, I, I, O, O, I}}},
    {"Button2",   {{O,    O, O, I, I, I, O}}},
    {"Button9",   {{O,    O, O, I, O, O, O}}},
    {"Button7",   {{O,    O, O, O, I, O, O}}},
    {"Button4",   {{O,    O, O, O, I, O, O}}},
    {"Button6",   {{I,    O, O, O, I, O, O}}},
    {"chk1",      {{I,    O, K, O, I, O, O}}},
    {"CheckBox3", {{I,    O, K, O, I, O, O}}},
    {"CheckBox4", {{I,    O, K, O, I, O, O}}},
}};
// clang-format on

namespace {
ControlColumn column(int index)
{
    ControlColumn out{};
    for (int row = 0; row < GovernedControlCount; ++row)
        out[row] = ControlStateTable[row].cells[index];
    return out;
}
} // namespace

std::optional<ControlColumn> controlColumn(int16_t state)
{
    if (state < ControlState::Disconnected || state > ControlState::Searching)
        return std::nullopt;
    return column(state);
}

ControlColumn startColumn()
{
    return column(0);
}
