#pragma once
// kxcall's test pattern (FakeVideo) found in a picture of the screen or of a widget: its
// colour bars in their order, wherever and however large it is drawn.

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include <QImage>

namespace kxtest {

/// The colour bars of kxcall's test pattern, left to right, as red/green/blue bits.
inline constexpr std::array<int, 8> BarOrder = {0b111, 0b110, 0b011, 0b010,
                                                0b101, 0b100, 0b001, 0b000};

/// A pixel as one of the bars' colours (each channel near none or full); nullopt otherwise.
inline std::optional<int> barColour(QRgb pixel)
{
    int code = 0;
    for (const int channel : {qRed(pixel), qGreen(pixel), qBlue(pixel)}) {
        if (channel > 60 && channel < 190)
            return std::nullopt;
        code = code << 1 | (channel >= 190 ? 1 : 0);
    }
    return code;
}

/// Where the pattern's bars run along a row: the widest span of at least five bars in
/// their order (the pattern moves, so any bar may come first).
struct Bars
{
    int left = 0;
    int right = 0; ///< one past the last pixel; left == right when none
    int width() const { return right - left; }
};

inline Bars barsInRow(const QImage& image, int y, int from, int to)
{
    // Scaled up, two neighbouring bars blend over a few pixels: the colour is at half the
    // luma's resolution, so its edge and the luma's may fall apart, and at a scale near 2
    // the blend is 4 pixels wide in some positions of the moving pattern.
    constexpr int MaxBlend = 8;
    struct Run
    {
        int colour;
        int left;
        int right;
    };
    std::vector<Run> runs;
    for (int x = from; x < to;) {
        const auto colour = barColour(image.pixel(x, y));
        int end = x + 1;
        while (end < to && barColour(image.pixel(end, y)) == colour)
            ++end;
        if (colour && end - x >= 4)
            runs.push_back({*colour, x, end});
        x = end;
    }
    Bars best;
    for (std::size_t first = 0; first < runs.size(); ++first) {
        const auto at = std::find(BarOrder.begin(), BarOrder.end(), runs[first].colour);
        std::size_t index = std::size_t(at - BarOrder.begin());
        std::size_t last = first;
        while (last + 1 < runs.size() &&
               runs[last + 1].colour == BarOrder[(index + 1) % BarOrder.size()] &&
               runs[last + 1].left - runs[last].right <= MaxBlend) {
            ++last;
            ++index;
        }
        if (last - first + 1 >= 5 && runs[last].right - runs[first].left > best.width())
            best = {runs[first].left, runs[last].right};
    }
    return best;
}

/// The widest run of bars in the region, over its rows.
inline Bars barsIn(const QImage& image, int left, int top, int right, int bottom)
{
    Bars best;
    for (int y = top; y < bottom; y += 2) {
        const Bars row = barsInRow(image, y, left, right);
        if (row.width() > best.width())
            best = row;
    }
    return best;
}

} // namespace kxtest
