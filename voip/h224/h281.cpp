#include "voip/h224/h281.h"

#include <algorithm>
#include <cctype>

namespace voip::h224 {

namespace {

// H.281 action octet: for each action an "act" bit and a direction bit below it.
// Direction bit set: pan right, tilt up, zoom in, focus in.
constexpr std::array<uint8_t, 4> ActBits{0x80, 0x20, 0x08, 0x02};
constexpr std::array<uint8_t, 4> DirectionBits{0x40, 0x10, 0x04, 0x01};
// Which sign of our directions sets the direction bit: pan counts +1 to the left.
constexpr std::array<int8_t, 4> SignOfSetBit{-1, +1, +1, +1};

constexpr std::size_t MaxSourceName = 16;

std::nullopt_t refuse(std::string* error, const char* reason)
{
    if (error)
        *error = reason;
    return std::nullopt;
}

uint8_t encodeMove(const CameraMove& move)
{
    uint8_t octet = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (move.directions[i] == 0)
            continue;
        octet |= ActBits[i];
        if ((move.directions[i] > 0) == (SignOfSetBit[i] > 0))
            octet |= DirectionBits[i];
    }
    return octet;
}

bool decodeMove(uint8_t octet, CameraMove& move)
{
    for (std::size_t i = 0; i < 4; ++i) {
        const bool act = octet & ActBits[i];
        const bool set = octet & DirectionBits[i];
        if (!act) {
            if (set)
                return false;
            move.directions[i] = 0;
            continue;
        }
        move.directions[i] = set ? SignOfSetBit[i] : int8_t(-SignOfSetBit[i]);
    }
    return true;
}

} // namespace

const char* actionTypeName(ActionType type)
{
    switch (type) {
    case ActionType::Pan:
        return "pan";
    case ActionType::Tilt:
        return "tilt";
    case ActionType::Zoom:
        return "zoom";
    case ActionType::Focus:
        return "focus";
    }
    return "?";
}

bool CameraMove::any() const
{
    return std::any_of(directions.begin(), directions.end(), [](int8_t d) { return d != 0; });
}

std::string CameraMove::describe() const
{
    static constexpr std::array<std::array<const char*, 2>, 4> words{{
        {"left", "right"},
        {"up", "down"},
        {"in", "out"},
        {"in", "out"},
    }};
    std::string out;
    for (std::size_t i = 0; i < 4; ++i) {
        if (directions[i] == 0)
            continue;
        if (!out.empty())
            out += ' ';
        out += actionTypeName(ActionType(i));
        out += '=';
        out += words[i][directions[i] > 0 ? 0 : 1];
    }
    return out.empty() ? "none" : out;
}

const char* feccMessageName(FeccMessageType type)
{
    switch (type) {
    case FeccMessageType::StartAction:
        return "start";
    case FeccMessageType::ContinueAction:
        return "continue";
    case FeccMessageType::StopAction:
        return "stop";
    case FeccMessageType::SelectVideoSource:
        return "select-source";
    case FeccMessageType::VideoSourceSwitched:
        return "source-switched";
    case FeccMessageType::StoreAsPreset:
        return "store-preset";
    case FeccMessageType::ActivatePreset:
        return "activate-preset";
    }
    return "?";
}

std::chrono::milliseconds FeccMessage::timeout() const
{
    const unsigned units = timeoutUnits & 0x0F;
    return units == 0 ? FeccDefaultTimeout : FeccTimeoutUnit * units;
}

std::vector<uint8_t> encodeFeccMessage(const FeccMessage& message)
{
    std::vector<uint8_t> out{uint8_t(message.type)};
    switch (message.type) {
    case FeccMessageType::StartAction:
        out.push_back(encodeMove(message.move));
        out.push_back(uint8_t(message.timeoutUnits & 0x0F));
        break;
    case FeccMessageType::ContinueAction:
    case FeccMessageType::StopAction:
        out.push_back(encodeMove(message.move));
        break;
    case FeccMessageType::SelectVideoSource:
    case FeccMessageType::VideoSourceSwitched:
        out.push_back(uint8_t(((message.videoSource & 0x0F) << 4) |
                              (message.stillImage ? 0x02 : 0) | (message.motionVideo ? 0x01 : 0)));
        break;
    case FeccMessageType::StoreAsPreset:
    case FeccMessageType::ActivatePreset:
        out.push_back(uint8_t((message.preset & 0x0F) << 4));
        break;
    }
    return out;
}

std::optional<FeccMessage> decodeFeccMessage(std::span<const uint8_t> data, std::string* error)
{
    if (data.empty())
        return refuse(error, "empty H.281 message");
    const uint8_t code = data[0];
    if (code < uint8_t(FeccMessageType::StartAction) ||
        code > uint8_t(FeccMessageType::ActivatePreset))
        return refuse(error, "unknown H.281 message code");
    FeccMessage message;
    message.type = FeccMessageType(code);
    const std::size_t length = message.type == FeccMessageType::StartAction ? 3 : 2;
    if (data.size() < length)
        return refuse(error, "H.281 message cut off");
    switch (message.type) {
    case FeccMessageType::StartAction:
    case FeccMessageType::ContinueAction:
    case FeccMessageType::StopAction:
        if (!decodeMove(data[1], message.move))
            return refuse(error, "direction without its action");
        if (message.type == FeccMessageType::StartAction) {
            if (!message.move.any())
                return refuse(error, "START ACTION that moves nothing");
            message.timeoutUnits = data[2] & 0x0F;
        }
        break;
    case FeccMessageType::SelectVideoSource:
    case FeccMessageType::VideoSourceSwitched:
        message.videoSource = data[1] >> 4;
        message.stillImage = data[1] & 0x02;
        message.motionVideo = data[1] & 0x01;
        break;
    case FeccMessageType::StoreAsPreset:
    case FeccMessageType::ActivatePreset:
        message.preset = data[1] >> 4;
        break;
    }
    return message;
}

std::vector<uint8_t> encodeFeccCapabilities(const FeccCapabilities& capabilities)
{
    std::vector<uint8_t> out;
    out.push_back(uint8_t((capabilities.broadcastSwitchable ? 0x10 : 0) |
                          std::min<unsigned>(capabilities.presets, MaxPresetNumber)));
    const auto count = std::min(capabilities.sources.size(), MaxVideoSources);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& source = capabilities.sources[i];
        out.push_back(uint8_t(((source.id & 0x0F) << 4) | (source.motionVideo ? 0x04 : 0) |
                              (source.normalStillImage ? 0x02 : 0) |
                              (source.doubleStillImage ? 0x01 : 0)));
        if (source.id > 5) {
            std::string name = source.name.substr(0, MaxSourceName);
            for (char& c : name)
                if (!std::isprint(static_cast<unsigned char>(c)))
                    c = '?';
            out.insert(out.end(), name.begin(), name.end());
            out.push_back(0);
        }
        out.push_back(uint8_t((source.pan ? 0x80 : 0) | (source.tilt ? 0x40 : 0) |
                              (source.zoom ? 0x20 : 0) | (source.focus ? 0x10 : 0)));
    }
    return out;
}

std::optional<FeccCapabilities> decodeFeccCapabilities(std::span<const uint8_t> data,
                                                       std::string* error)
{
    if (data.empty())
        return refuse(error, "extra capabilities without the preset octet");
    FeccCapabilities capabilities;
    capabilities.broadcastSwitchable = data[0] & 0x10;
    capabilities.presets = data[0] & 0x0F;
    std::size_t at = 1;
    while (at < data.size()) {
        if (capabilities.sources.size() == MaxVideoSources)
            return refuse(error, "more video sources than a terminal has");
        VideoSourceCapabilities source;
        const uint8_t kind = data[at++];
        source.id = kind >> 4;
        source.motionVideo = kind & 0x04;
        source.normalStillImage = kind & 0x02;
        source.doubleStillImage = kind & 0x01;
        if (source.id > 5) {
            const auto rest = data.subspan(at);
            const auto end = std::find(rest.begin(), rest.end(), uint8_t(0));
            if (end == rest.end())
                return refuse(error, "video source name not terminated");
            const auto length = std::size_t(end - rest.begin());
            if (length > MaxSourceName)
                return refuse(error, "video source name longer than 16 characters");
            if (!std::all_of(rest.begin(), end,
                             [](uint8_t c) { return std::isprint(c) != 0; }))
                return refuse(error, "video source name not printable");
            source.name.assign(rest.begin(), end);
            at += length + 1;
        }
        if (at >= data.size())
            return refuse(error, "video source description cut off");
        const uint8_t camera = data[at++];
        source.pan = camera & 0x80;
        source.tilt = camera & 0x40;
        source.zoom = camera & 0x20;
        source.focus = camera & 0x10;
        capabilities.sources.push_back(std::move(source));
    }
    return capabilities;
}

} // namespace voip::h224
