#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace voip::h264 {

/// RFC 6184 NAL unit types the payload format adds to H.264's own (1..23).
inline constexpr uint8_t StapA = 24;
inline constexpr uint8_t FuA = 28;

/// The NAL units of an Annex B byte stream (start codes 00 00 01 or 00 00 00 01), without
/// their start codes, in order.  Empty units are left out.
std::vector<std::span<const uint8_t>> splitAnnexB(std::span<const uint8_t> stream);

/// Whether an RTP payload carries part of a key frame: an IDR slice or a parameter set,
/// alone, in a STAP-A or as an FU-A fragment.
bool carriesKeyFrame(std::span<const uint8_t> payload);

/// Cuts one access unit (an encoder's output for one picture, in Annex B) into RTP
/// payloads of at most `maxPayload` octets.  Packetisation mode 1 (RFC 6184 5.6-5.8):
/// small units that follow each other (SPS, PPS, SEI) share a STAP-A, a unit that fits
/// goes alone, a larger one is cut into FU-A fragments.  Mode 0 (single NAL unit, for a
/// receiver that takes nothing else): every unit goes alone, so the encoder must keep its
/// slices within `maxPayload`; a larger slice still goes whole, for IP to fragment, rather
/// than being lost, and a larger SEI (never needed to decode) is left out.  The last
/// payload of the access unit is the one that carries the RTP marker.
class Packetiser
{
public:
    /// `maxPayload` at least 64 (smaller values are raised to 64); `mode` 0 or 1 (any
    /// other value is taken as 1).
    explicit Packetiser(std::size_t maxPayload = 1200, int mode = 1);

    /// Replaces `payloads` with the RTP payloads of the access unit, in sending order.
    void packetise(std::span<const uint8_t> accessUnit,
                   std::vector<std::vector<uint8_t>>& payloads) const;

    std::size_t maxPayload() const { return maxPayload_; }
    int mode() const { return mode_; }

private:
    std::size_t maxPayload_;
    int mode_;
};

/// What the depacketiser made of one RTP packet.
enum class DepacketiseResult
{
    Pending, ///< taken; the picture is not complete yet
    Picture, ///< a picture is complete: take it with takePicture()
    Damaged, ///< a picture was lost or broken (loss, a missing fragment, bad data):
             ///< the decoder needs a new picture from the sender
};

/// Reassembles RTP payloads of packetisation modes 0 and 1 into Annex B access units.
/// Packets come in sequence order (the jitter buffer has reordered them); a gap in the
/// sequence numbers, an FU-A whose start or end is missing, or a STAP-A whose lengths do
/// not add up drops what it spoils and reports Damaged once for the picture.  A picture
/// ends with the RTP marker, or when the timestamp changes without one.  Every length
/// read from a packet is checked, and a picture is never let grow beyond maxPictureBytes.
class Depacketiser
{
public:
    /// Larger pictures are refused as Damaged (an H.264 level 5.1 picture at high quality
    /// is well below this).
    static constexpr std::size_t DefaultMaxPictureBytes = 4u << 20;

    explicit Depacketiser(std::size_t maxPictureBytes = DefaultMaxPictureBytes);

    DepacketiseResult add(std::span<const uint8_t> payload, uint16_t sequence, uint32_t timestamp,
                          bool marker);

    /// Takes the oldest complete picture (Annex B, start codes of four octets) and its RTP
    /// timestamp; false when none is waiting.  At most two wait: one packet can end the
    /// previous picture (by its new timestamp) and its own (by its marker).
    bool takePicture(std::vector<uint8_t>& picture, uint32_t& timestamp);

    /// Pictures completed and pictures found damaged so far.
    uint64_t pictures() const { return pictures_; }
    uint64_t damaged() const { return damaged_; }

private:
    void appendUnit(std::span<const uint8_t> unit);
    DepacketiseResult finishPicture();
    void dropPicture();
    bool addStapA(std::span<const uint8_t> payload);
    bool addFuA(std::span<const uint8_t> payload);

    std::size_t maxPictureBytes_;
    std::vector<uint8_t> current_;  ///< the picture being assembled
    std::vector<uint8_t> fragment_; ///< the NAL unit an FU-A is building, with its header
    bool inFragment_ = false;
    bool currentDamaged_ = false; ///< the current picture lost something
    bool haveSequence_ = false;
    uint16_t nextSequence_ = 0;
    bool haveTimestamp_ = false;
    uint32_t currentTimestamp_ = 0;
    struct Ready
    {
        std::vector<uint8_t> picture;
        uint32_t timestamp;
    };
    std::vector<Ready> ready_; ///< complete pictures, oldest first
    uint64_t pictures_ = 0;
    uint64_t damaged_ = 0;
};

} // namespace voip::h264
