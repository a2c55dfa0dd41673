#pragma once

#include <optional>

#include "voip/h245/capabilities.h"
#include "voip/media/mediaformat.h"

namespace voip::h323 {

/// The H.245 capability that stands for a media format in a capability set or a logical
/// channel; nothing for a format H.323 cannot carry.  Bit rates come from the format's
/// "Max Bit Rate" option; H.264 profile and level from "Profile" and "Level".
std::optional<h245::Capability> capabilityOfFormat(const MediaFormat& format);

/// What this engine's H.264 decoder takes, in H.241 terms: the Baseline, Main and High
/// profiles up to level 5.1 (libavcodec decodes them all; H264Decoder takes pictures up
/// to level 5.1's largest).
h245::H264Parameters decoderH264Parameters();

/// The capability set to announce for `formats` (best first, as the manager ordered and
/// masked them): one receive capability per format, the H.239 control capability when a
/// content format is offered, and the basicString and dtmf user-input capabilities.  The
/// H.264 capabilities (video and content) say what we decode, `receive`, not what we send.
h245::CapabilitySet capabilitySetOfFormats(
    const MediaFormatList& formats, std::uint8_t sequenceNumber,
    const h245::H264Parameters& receive = decoderH264Parameters());

/// The first format of `formats` that a capability read from the peer (a table entry or
/// the data type of a channel) stands for; nullptr when none matches.
const MediaFormat* formatOfCapability(const MediaFormatList& formats,
                                      const h245::Capability& capability);

/// True for a video format that carries presentation content (it has a content role).
bool isContentFormat(const MediaFormat& format);

/// The RTP session a format's channels belong to: 1 audio, 2 video, 3 H.224 data, 32 for
/// H.239 content (a session number above the standard ones).
unsigned sessionOfFormat(const MediaFormat& format);

/// H.241 level number of an H.264 level text ("3.1" -> 71); 71 for an unknown text.
std::uint8_t h264LevelNumber(std::string_view level);
/// The level text of an H.241 level number (113 -> "5.1"); the highest level at or below
/// the number ("1" below every level).
std::string h264LevelText(std::uint8_t levelNumber);

/// What an H.264 decoder takes (H.264 Table A-1 for its level, raised by H.241 custom
/// parameters): macroblocks per second, macroblocks per picture, bit/s.
struct H264Limits
{
    std::uint64_t maxMbps = 0;
    std::uint64_t maxFs = 0;
    std::uint64_t maxBitRate = 0;
};
H264Limits h264ReceiverLimits(const h245::H264Parameters& parameters);

/// The format to transmit `ours` in, to a far end whose receive capability (or channel
/// proposal) is `theirs`: for H.264 no more than the far end's bit rate, profile, picture
/// size and picture rate (its level raised by its custom parameters, H.241 8.3.2), a
/// smaller picture keeping its shape; the level is the lowest whose limits hold the stream
/// (never above the far end's or ours: beyond the far end's level its custom parameters
/// carry it); `packetizationMode` (0 single NAL unit, 1 non-interleaved) in the format's
/// "Packetization Mode".  A level outside H.241's numbers counts as the nearest one.  For
/// H.224, the framing the far end's data protocol asks for.  Other formats come back
/// unchanged.
MediaFormat formatToTransmit(const MediaFormat& ours, const h245::Capability& theirs,
                             std::uint8_t packetizationMode);

} // namespace voip::h323
