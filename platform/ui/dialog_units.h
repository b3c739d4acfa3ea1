// Dialog units: template coordinates scaled by the dialog font, so that a
// dialog keeps its proportions whatever font it ends up with.
#pragma once

#include <cstdint>

namespace plk::platform {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

// a * b / c rounded to the nearest integer, halves away from zero; 64-bit inside.
constexpr int MulDiv(int a, int b, int c) {
    const int64_t product = static_cast<int64_t>(a) * b;
    const int64_t half = (c < 0 ? -c : c) / 2;
    const bool negative = (product < 0) != (c < 0);
    const int64_t magnitude = ((product < 0 ? -product : product) + half) / (c < 0 ? -c : c);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

// The base units of a dialog font: a horizontal dialog unit is a quarter of
// baseX, a vertical one an eighth of baseY.
struct DialogBaseUnits {
    int baseX = 0;  // average character width
    int baseY = 0;  // character height

    // The average width of a font from the advance of the 52 Latin letters,
    // rounded as the dialog manager does.
    static constexpr DialogBaseUnits FromFont(int advanceOfAToZaToz, int height) {
        return {(advanceOfAToZaToz / 26 + 1) / 2, height};
    }
    constexpr int ToPixelsX(int units) const { return MulDiv(units, baseX, 4); }
    constexpr int ToPixelsY(int units) const { return MulDiv(units, baseY, 8); }
    constexpr Rect ToPixels(int x, int y, int width, int height) const {
        return {ToPixelsX(x), ToPixelsY(y), ToPixelsX(width), ToPixelsY(height)};
    }
};

// Where the minimized window draws its icon: centred in the client area, in
// signed arithmetic with the quotient truncated toward zero, so an icon larger
// than the client area starts left of and above it.
struct Point {
    int x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
constexpr Point CentredIconPosition(int clientWidth, int clientHeight, int iconWidth,
                                    int iconHeight) {
    return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

}  // namespace plk::platform
