#include "voip/media/g711.h"

#include <array>
#include <cstddef>

namespace voip::g711 {

namespace {

// G.711 transmits A-law with the even bits inverted and µ-law with all bits inverted.
constexpr uint8_t ALawInversion = 0x55;
constexpr uint8_t ULawInversion = 0xFF;
// µ-law works on magnitudes offset by 33 (in 14-bit units), so that every segment's
// end is a power of two; 8158 is the largest magnitude it represents.
constexpr int ULawBias = 33;
constexpr int ULawMaxMagnitude = 8158;

/// The segment (0..7) of a magnitude whose segment 0 ends below 2^firstEndBits, or 8 when
/// it is beyond the last segment.
int segmentOf(int magnitude, int firstEndBits)
{
    int segment = 0;
    while (segment < 8 && magnitude >= (1 << (firstEndBits + segment)))
        ++segment;
    return segment;
}

constexpr int16_t aLawValue(uint8_t code)
{
    code ^= ALawInversion;
    const int segment = (code >> 4) & 7;
    const int step = code & 0x0F;
    // 13-bit reconstruction values: the middle of each decision interval.
    int magnitude = segment == 0 ? (step << 1) + 1 : ((step << 1) + 33) << (segment - 1);
    magnitude <<= 3;
    return int16_t((code & 0x80) ? magnitude : -magnitude);
}

constexpr int16_t uLawValue(uint8_t code)
{
    code = uint8_t(~code);
    const int segment = (code >> 4) & 7;
    const int step = code & 0x0F;
    // 14-bit reconstruction values, less the bias the encoder added.
    const int magnitude = ((((step << 1) + 33) << segment) - ULawBias) << 2;
    return int16_t((code & 0x80) ? -magnitude : magnitude);
}

template <int16_t (*Value)(uint8_t)> constexpr std::array<int16_t, 256> decodeTable()
{
    std::array<int16_t, 256> table{};
    for (int code = 0; code < 256; ++code)
        table[std::size_t(code)] = Value(uint8_t(code));
    return table;
}

constexpr auto ALawTable = decodeTable<aLawValue>();
constexpr auto ULawTable = decodeTable<uLawValue>();

} // namespace

uint8_t encodeALaw(int16_t sample)
{
    // A-law quantises 13 bits; negative values are coded by their one's complement, so
    // that -1 and 0 fall in the same interval on either side of zero.
    int value = sample >> 3;
    uint8_t sign = 0x80;
    if (value < 0) {
        value = -value - 1;
        sign = 0;
    }
    const int segment = segmentOf(value, 5);
    uint8_t code;
    if (segment >= 8)
        code = 0x7F;
    else
        code = uint8_t((segment << 4) | ((value >> (segment < 2 ? 1 : segment)) & 0x0F));
    return uint8_t((code | sign) ^ ALawInversion);
}

int16_t decodeALaw(uint8_t code)
{
    return ALawTable[code];
}

uint8_t encodeULaw(int16_t sample)
{
    int value = sample >> 2;
    uint8_t sign = 0;
    if (value < 0) {
        value = -value;
        sign = 0x80;
    }
    if (value > ULawMaxMagnitude)
        value = ULawMaxMagnitude;
    value += ULawBias;
    const int segment = segmentOf(value, 6);
    const uint8_t code = uint8_t((segment << 4) | ((value >> (segment + 1)) & 0x0F));
    return uint8_t((code | sign) ^ ULawInversion);
}

int16_t decodeULaw(uint8_t code)
{
    return ULawTable[code];
}

} // namespace voip::g711
