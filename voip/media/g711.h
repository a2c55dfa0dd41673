#pragma once

#include <cstdint>

namespace voip::g711 {

/// G.711 A-law and µ-law, done here rather than in libavcodec: they are a few table
/// look-ups, and a G.711 call then never has to map FFmpeg and its dependencies.
/// The encoders quantise as G.711 tables 1 and 2 do (each input falls in the decision
/// interval of exactly one code); the decoders give each code's reconstruction value,
/// scaled to 16 bits.
uint8_t encodeALaw(int16_t sample);
int16_t decodeALaw(uint8_t code);
uint8_t encodeULaw(int16_t sample);
int16_t decodeULaw(uint8_t code);

} // namespace voip::g711
