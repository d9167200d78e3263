#pragma once
#include <array>
#include <cstdint>

// The moving averages of the IR and UV signals drawn as "ИК_ср" and "УФ_ср".
// Each ring holds up to 255 samples; the slots beyond the window are kept at
// the current average, so enlarging the window continues the curve smoothly.
class MovingAverages {
public:
    // The chart window's selectors start at "8"; the windows start there too.
    static constexpr uint8_t StartWindow = 8;

    uint8_t irWindow = StartWindow;
    uint8_t uvWindow = StartWindow;
    std::array<int32_t, 256> irHistory{};
    std::array<int32_t, 256> uvHistory{};
    uint8_t irPos = 0;
    uint8_t uvPos = 0;
    int32_t irAverage = 0;
    int32_t uvAverage = 0;

    // Enters one IR and one UV sample with window lengths irN and uvN (1..255;
    // 0 is taken as 1).
    void update(uint8_t irN, uint8_t uvN, int32_t irSignal, int32_t uvSignal);
    // The same with irWindow and uvWindow.
    void update(int32_t irSignal, int32_t uvSignal) { update(irWindow, uvWindow, irSignal, uvSignal); }
};

// Nearest integer, a half going to the even neighbour (2.5 -> 2, -1.5 -> -2).
int32_t roundHalfEven(double value);
