#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace voip::h224 {

/// What a camera action moves.  The values index CameraMove::directions.
enum class ActionType : uint8_t
{
    Pan = 0,
    Tilt = 1,
    Zoom = 2,
    Focus = 3,
};

/// "pan", "tilt", "zoom", "focus".
const char* actionTypeName(ActionType type);

/// The directions of one camera action, each -1, 0 (not moving) or +1:
/// pan +1 left, -1 right; tilt +1 up, -1 down; zoom +1 in, -1 out; focus +1 in (nearer),
/// -1 out (farther).
struct CameraMove
{
    std::array<int8_t, 4> directions{};

    int8_t& operator[](ActionType type) { return directions[std::size_t(type)]; }
    int8_t operator[](ActionType type) const { return directions[std::size_t(type)]; }
    bool any() const;
    /// "pan=left zoom=in"; "none" when nothing moves.
    std::string describe() const;
    bool operator==(const CameraMove&) const = default;
};

/// H.281 message codes (H.281 table 1).
enum class FeccMessageType : uint8_t
{
    StartAction = 1,
    ContinueAction = 2,
    StopAction = 3,
    SelectVideoSource = 4,
    VideoSourceSwitched = 5,
    StoreAsPreset = 6,
    ActivatePreset = 7,
};

const char* feccMessageName(FeccMessageType type);

/// Units of the START ACTION timeout (H.281 6.1): 50 ms, 1 to 15; 0 stands for 800 ms.
inline constexpr std::chrono::milliseconds FeccTimeoutUnit{50};
inline constexpr std::chrono::milliseconds FeccDefaultTimeout{800};
/// Presets and video sources are numbered in four bits.
inline constexpr unsigned MaxPresetNumber = 15;
inline constexpr unsigned MaxVideoSource = 15;

/// One H.281 message, the client data of a frame to the far-end camera control client.
struct FeccMessage
{
    FeccMessageType type = FeccMessageType::StartAction;
    CameraMove move;             ///< the three action messages
    uint8_t timeoutUnits = 0;    ///< StartAction: 0..15, see FeccTimeoutUnit
    uint8_t preset = 0;          ///< StoreAsPreset, ActivatePreset: 0..15
    uint8_t videoSource = 0;     ///< SelectVideoSource, VideoSourceSwitched: 0..15
    bool motionVideo = true;     ///< SelectVideoSource: M0, motion video
    bool stillImage = false;     ///< SelectVideoSource: M1, a still image

    /// How long a started action goes on without a CONTINUE.
    std::chrono::milliseconds timeout() const;
    bool operator==(const FeccMessage&) const = default;
};

std::vector<uint8_t> encodeFeccMessage(const FeccMessage& message);
/// Reads an H.281 message, or nothing with the reason in `error`: an unknown code, fewer
/// octets than the message has, a START ACTION that moves nothing, or an action message
/// whose direction bits are set without their action bit.  Octets after the message are
/// ignored.
std::optional<FeccMessage> decodeFeccMessage(std::span<const uint8_t> data,
                                             std::string* error = nullptr);

/// What one video source of a terminal can do (part of the far-end camera control
/// client's extra capabilities).
struct VideoSourceCapabilities
{
    uint8_t id = 1; ///< 1 main camera, 2 auxiliary, 3 document camera, 4 auxiliary
                    ///< document camera, 5 video playback; 6..15 named by `name`
    bool motionVideo = true;
    bool normalStillImage = false;
    bool doubleStillImage = false;
    bool pan = false;
    bool tilt = false;
    bool zoom = false;
    bool focus = false;
    std::string name; ///< sources 6..15: up to 16 printable characters

    bool operator==(const VideoSourceCapabilities&) const = default;
};

/// The far-end camera control client's extra capabilities (H.281 table 2).
struct FeccCapabilities
{
    bool broadcastSwitchable = false;
    uint8_t presets = 0; ///< 0..15 presets
    std::vector<VideoSourceCapabilities> sources;

    bool operator==(const FeccCapabilities&) const = default;
};

/// At most this many video sources are described or read.
inline constexpr std::size_t MaxVideoSources = 15;

std::vector<uint8_t> encodeFeccCapabilities(const FeccCapabilities& capabilities);
/// Reads extra capabilities, or nothing with the reason in `error`: no preset octet, a
/// source description cut off, a source name longer than 16 characters, unterminated or
/// not printable ASCII,
/// more than MaxVideoSources sources.
std::optional<FeccCapabilities> decodeFeccCapabilities(std::span<const uint8_t> data,
                                                       std::string* error = nullptr);

} // namespace voip::h224
