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

    uint8_t IrWindow = StartWindow;
    uint8_t UvWindow = StartWindow;
    std::array<int32_t, 256> IrHistory{};
    std::array<int32_t, 256> UvHistory{};
    uint8_t IrPos = 0;
    uint8_t UvPos = 0;
    int32_t IrAverage = 0;
    int32_t UvAverage = 0;

    // Enters one IR and one UV sample with window lengths irN and uvN (1..255;
    // 0 is taken as 1).
    void calc_av(uint8_t irN, uint8_t uvN, int32_t Uik, int32_t Uuf);
    // The same with IrWindow and UvWindow.
    void calc_av(int32_t Uik, int32_t Uuf) { calc_av(IrWindow, UvWindow, Uik, Uuf); }
};

// Nearest integer, a half going to the even neighbour (2.5 -> 2, -1.5 -> -2).
int32_t roundHalfEven(double value);
