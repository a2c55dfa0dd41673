#include "voip/h245/capabilities.h"

#include <algorithm>
#include <array>

#include "voip/h245/generic.h"
#include "voip/h245/message.h"
#include "voip/h245/schema.h"
#include "voip/h245/field.h"

namespace voip::h245 {
namespace {

constexpr std::array<std::uint64_t, 7> h264Identifier{0, 0, 8, 241, 0, 0, 1};
constexpr std::array<std::uint64_t, 6> h239ControlIdentifier{0, 0, 8, 239, 1, 1};
constexpr std::array<std::uint64_t, 6> h239ExtendedVideoIdentifier{0, 0, 8, 239, 1, 2};

// H.241 parameter identifiers of the H.264 capability.
constexpr int h241Profile = 41;
constexpr int h241Level = 42;
// H.239 roleLabel of the extended video capability.
constexpr int h239RoleLabel = 1;

constexpr std::string_view directionPrefix(CapabilityDirection direction)
{
    switch (direction) {
    case CapabilityDirection::Receive:
        return "receive";
    case CapabilityDirection::Transmit:
        return "transmit";
    case CapabilityDirection::ReceiveAndTransmit:
        return "receiveAndTransmit";
    }
    return "receive";
}

std::int64_t clampTo(std::int64_t value, std::int64_t lower, std::int64_t upper)
{
    return std::clamp(value, lower, upper);
}

// ---- H.264 as a generic capability ----

void buildH264(asn::Value& generic, const Capability& capability)
{
    detail::setStandardIdentifier(generic.field(field::capabilityIdentifier), h264Identifier);
    if (capability.maxBitRate > 0)
        generic.field(field::maxBitRate).setInteger(capability.maxBitRate);
    asn::Value& collapsing = generic.field(field::collapsing);
    const H264Parameters& h264 = capability.h264;
    detail::addParameter(collapsing, h241Profile, "booleanArray", h264.profile);
    detail::addParameter(collapsing, h241Level, "unsignedMin", h264.level);
    const std::array<std::pair<int, const std::optional<std::uint32_t>*>, 7> extras{{
        {3, &h264.customMaxMbps},
        {4, &h264.customMaxFs},
        {5, &h264.customMaxDpb},
        {6, &h264.customMaxBrAndCpb},
        {7, &h264.maxStaticMbps},
        {8, &h264.maxRcmdNalUnitSize},
        {9, &h264.maxNalUnitSize},
    }};
    for (const auto& [id, value] : extras)
        if (*value)
            detail::addParameter(collapsing, id, "unsignedMin", clampTo(**value, 0, 65535));
}

void readH264(const asn::Value& generic, Capability& capability)
{
    if (generic.has(field::maxBitRate))
        capability.maxBitRate = static_cast<std::uint32_t>(generic[field::maxBitRate].integer());
    const asn::Value& collapsing = generic[field::collapsing];
    H264Parameters& h264 = capability.h264;
    // Values beyond 8 bits (a peer's mistake) saturate instead of wrapping to a small level.
    h264.profile = static_cast<std::uint8_t>(std::min<std::uint32_t>(
        detail::parameterNumber(collapsing, h241Profile).value_or(64), 255));
    h264.level = static_cast<std::uint8_t>(
        std::min<std::uint32_t>(detail::parameterNumber(collapsing, h241Level).value_or(0), 255));
    h264.customMaxMbps = detail::parameterNumber(collapsing, 3);
    h264.customMaxFs = detail::parameterNumber(collapsing, 4);
    h264.customMaxDpb = detail::parameterNumber(collapsing, 5);
    h264.customMaxBrAndCpb = detail::parameterNumber(collapsing, 6);
    h264.maxStaticMbps = detail::parameterNumber(collapsing, 7);
    h264.maxRcmdNalUnitSize = detail::parameterNumber(collapsing, 8);
    h264.maxNalUnitSize = detail::parameterNumber(collapsing, 9);
}

// ---- H.261 and H.263 root fields ----

void setOptional(asn::Value& sequence, std::string_view name, const auto& value)
{
    if (value)
        sequence.field(name).setInteger(*value);
}

template <class T>
void readOptional(const asn::Value& sequence, std::string_view name, std::optional<T>& out)
{
    if (sequence.has(name))
        out = static_cast<T>(sequence[name].integer());
    else
        out.reset();
}

void buildH261(asn::Value& video, const H261Parameters& p)
{
    setOptional(video, "qcifMPI", p.qcifMpi);
    setOptional(video, "cifMPI", p.cifMpi);
    video.field(field::temporalSpatialTradeOffCapability).setBoolean(p.temporalSpatialTradeOff);
    video.field(field::maxBitRate).setInteger(clampTo(p.maxBitRate, 1, 19200));
    video.field(field::stillImageTransmission).setBoolean(p.stillImageTransmission);
}

void readH261(const asn::Value& video, H261Parameters& p)
{
    readOptional(video, "qcifMPI", p.qcifMpi);
    readOptional(video, "cifMPI", p.cifMpi);
    p.temporalSpatialTradeOff = video[field::temporalSpatialTradeOffCapability].boolean();
    p.maxBitRate = static_cast<std::uint16_t>(video[field::maxBitRate].integer());
    p.stillImageTransmission = video[field::stillImageTransmission].boolean();
}

void buildH263(asn::Value& video, const H263Parameters& p)
{
    setOptional(video, "sqcifMPI", p.sqcifMpi);
    setOptional(video, "qcifMPI", p.qcifMpi);
    setOptional(video, "cifMPI", p.cifMpi);
    setOptional(video, "cif4MPI", p.cif4Mpi);
    setOptional(video, "cif16MPI", p.cif16Mpi);
    video.field(field::maxBitRate).setInteger(clampTo(p.maxBitRate, 1, 192400));
    video.field(field::unrestrictedVector).setBoolean(p.unrestrictedVector);
    video.field(field::arithmeticCoding).setBoolean(p.arithmeticCoding);
    video.field(field::advancedPrediction).setBoolean(p.advancedPrediction);
    video.field(field::pbFrames).setBoolean(p.pbFrames);
    video.field(field::temporalSpatialTradeOffCapability).setBoolean(p.temporalSpatialTradeOff);
    setOptional(video, "hrd-B", p.hrdB);
    setOptional(video, "bppMaxKb", p.bppMaxKb);
}

void readH263(const asn::Value& video, H263Parameters& p)
{
    readOptional(video, "sqcifMPI", p.sqcifMpi);
    readOptional(video, "qcifMPI", p.qcifMpi);
    readOptional(video, "cifMPI", p.cifMpi);
    readOptional(video, "cif4MPI", p.cif4Mpi);
    readOptional(video, "cif16MPI", p.cif16Mpi);
    p.maxBitRate = static_cast<std::uint32_t>(video[field::maxBitRate].integer());
    p.unrestrictedVector = video[field::unrestrictedVector].boolean();
    p.arithmeticCoding = video[field::arithmeticCoding].boolean();
    p.advancedPrediction = video[field::advancedPrediction].boolean();
    p.pbFrames = video[field::pbFrames].boolean();
    p.temporalSpatialTradeOff = video[field::temporalSpatialTradeOffCapability].boolean();
    readOptional(video, "hrd-B", p.hrdB);
    readOptional(video, "bppMaxKb", p.bppMaxKb);
}

// ---- media capabilities by kind ----

void buildVideo(asn::Value& video, const Capability& capability)
{
    switch (capability.type) {
    case CapabilityType::H261:
        buildH261(video.choose(field::h261VideoCapability), capability.h261);
        break;
    case CapabilityType::H263:
        buildH263(video.choose(field::h263VideoCapability), capability.h263);
        break;
    case CapabilityType::H264:
        buildH264(video.choose(field::genericVideoCapability), capability);
        break;
    case CapabilityType::H239Content: {
        asn::Value& extended = video.choose(field::extendedVideoCapability);
        buildH264(
            extended.field(field::videoCapability).append().choose(field::genericVideoCapability),
            capability);
        asn::Value& role = extended.field(field::videoCapabilityExtension).append();
        detail::setStandardIdentifier(role.field(field::capabilityIdentifier),
                                      h239ExtendedVideoIdentifier);
        detail::addParameter(role.field(field::collapsing), h239RoleLabel, "booleanArray",
                             capability.h239Role);
        break;
    }
    default:
        break;
    }
}

void buildData(asn::Value& data, const Capability& capability)
{
    asn::Value& protocol = data.field(field::application).choose(field::h224);
    // Only the alternatives without contents can be named here.
    const asn::Type* type = protocol.type();
    const int index = type ? type->indexOf(capability.dataProtocol) : -1;
    protocol.choose(index >= 0 && capability.dataProtocol != "nonStandard" ? capability.dataProtocol
                                                                           : "hdlcFrameTunnelling");
    data.field(field::maxBitRate).setInteger(capability.maxBitRate);
}

Capability readAudio(const asn::Value& audio)
{
    Capability capability;
    const std::string_view name = audio.choiceName();
    if (name == "g711Alaw64k" || name == "g711Ulaw64k" || name == "g722-64k") {
        capability.type = name == "g711Alaw64k"   ? CapabilityType::G711Alaw
                          : name == "g711Ulaw64k" ? CapabilityType::G711Ulaw
                                                  : CapabilityType::G722;
        capability.framesPerPacket = static_cast<std::uint16_t>(audio.chosen().integer());
    } else if (name == "genericAudioCapability") {
        capability.type = CapabilityType::GenericAudio;
        const asn::Value& generic = audio.chosen();
        const asn::Value& identifier = generic[field::capabilityIdentifier];
        if (identifier.is(field::standard))
            capability.genericIdentifier = identifier.chosen().oidText();
        if (generic.has(field::maxBitRate))
            capability.maxBitRate =
                static_cast<std::uint32_t>(generic[field::maxBitRate].integer());
    } else {
        capability.otherName = name.empty() ? "unknown" : std::string(name);
    }
    return capability;
}

Capability readVideo(const asn::Value& video)
{
    Capability capability;
    const std::string_view name = video.choiceName();
    if (name == "h261VideoCapability") {
        capability.type = CapabilityType::H261;
        readH261(video.chosen(), capability.h261);
    } else if (name == "h263VideoCapability") {
        capability.type = CapabilityType::H263;
        readH263(video.chosen(), capability.h263);
    } else if (name == "genericVideoCapability" &&
               detail::isStandardIdentifier(video.chosen()[field::capabilityIdentifier],
                                            h264Identifier)) {
        capability.type = CapabilityType::H264;
        readH264(video.chosen(), capability);
    } else if (name == "extendedVideoCapability") {
        const asn::Value& extended = video.chosen();
        const asn::Value* role = nullptr;
        for (const asn::Value& generic : extended[field::videoCapabilityExtension].elements())
            if (detail::isStandardIdentifier(generic[field::capabilityIdentifier],
                                             h239ExtendedVideoIdentifier))
                role = &generic;
        const asn::Value* h264 = nullptr;
        for (const asn::Value& inner : extended[field::videoCapability].elements())
            if (inner.is(field::genericVideoCapability) &&
                detail::isStandardIdentifier(inner.chosen()[field::capabilityIdentifier],
                                             h264Identifier) &&
                !h264)
                h264 = &inner.chosen();
        if (role && h264) {
            capability.type = CapabilityType::H239Content;
            readH264(*h264, capability);
            capability.h239Role =
                detail::narrow<std::uint8_t>(
                    detail::parameterNumber((*role)[field::collapsing], h239RoleLabel))
                    .value_or(0);
        } else {
            capability.otherName = "extendedVideoCapability";
        }
    } else {
        capability.otherName = name.empty() ? "unknown" : std::string(name);
    }
    return capability;
}

Capability readData(const asn::Value& data)
{
    Capability capability;
    const asn::Value& application = data[field::application];
    if (application.is(field::h224)) {
        capability.type = CapabilityType::H224;
        capability.maxBitRate = static_cast<std::uint32_t>(data[field::maxBitRate].integer());
        capability.dataProtocol = std::string(application.chosen().choiceName());
    } else {
        const std::string_view name = application.choiceName();
        capability.otherName = name.empty() ? "unknown" : std::string(name);
    }
    return capability;
}

enum class MediaClass
{
    Audio,
    Video,
    Content,
    Control,
    Data,
    Single,
};

MediaClass mediaClass(CapabilityType type)
{
    switch (type) {
    case CapabilityType::G711Alaw:
    case CapabilityType::G711Ulaw:
    case CapabilityType::G722:
    case CapabilityType::GenericAudio:
        return MediaClass::Audio;
    case CapabilityType::H261:
    case CapabilityType::H263:
    case CapabilityType::H264:
        return MediaClass::Video;
    case CapabilityType::H239Content:
        return MediaClass::Content;
    case CapabilityType::H239Control:
        return MediaClass::Control;
    case CapabilityType::H224:
        return MediaClass::Data;
    default:
        return MediaClass::Single;
    }
}

} // namespace

asn::Value buildMediaCapability(const Capability& capability, std::string& alternative)
{
    switch (mediaClass(capability.type)) {
    case MediaClass::Audio: {
        const asn::Type* type = findType("AudioCapability");
        if (!type)
            return {};
        asn::Value audio(*type);
        const auto frames = clampTo(capability.framesPerPacket, 1, 256);
        switch (capability.type) {
        case CapabilityType::G711Alaw:
            audio.choose(field::g711Alaw64k).setInteger(frames);
            break;
        case CapabilityType::G711Ulaw:
            audio.choose(field::g711Ulaw64k).setInteger(frames);
            break;
        case CapabilityType::G722:
            audio.choose(field::g722_64k).setInteger(frames);
            break;
        default: {
            asn::Value& generic = audio.choose(field::genericAudioCapability);
            std::vector<std::uint64_t> arcs;
            // "0.0.8.245.1.1.1" back to arcs; an unparsable identifier gives no value.
            std::uint64_t arc = 0;
            bool digit = false;
            for (const char c : capability.genericIdentifier) {
                if (c >= '0' && c <= '9') {
                    arc = arc * 10 + static_cast<std::uint64_t>(c - '0');
                    digit = true;
                } else if (c == '.' && digit) {
                    arcs.push_back(arc);
                    arc = 0;
                    digit = false;
                } else {
                    return {};
                }
            }
            if (digit)
                arcs.push_back(arc);
            if (!generic.field(field::capabilityIdentifier).choose(field::standard).setOid(arcs))
                return {};
            if (capability.maxBitRate > 0)
                generic.field(field::maxBitRate).setInteger(capability.maxBitRate);
            break;
        }
        }
        alternative = "audioData";
        return audio;
    }
    case MediaClass::Video:
    case MediaClass::Content: {
        const asn::Type* type = findType("VideoCapability");
        if (!type)
            return {};
        asn::Value video(*type);
        buildVideo(video, capability);
        alternative = "videoData";
        return video;
    }
    case MediaClass::Data: {
        const asn::Type* type = findType("DataApplicationCapability");
        if (!type)
            return {};
        asn::Value data(*type);
        buildData(data, capability);
        alternative = "data";
        return data;
    }
    default:
        return {};
    }
}

Capability readMediaCapability(const asn::Value& media)
{
    const asn::Type* type = media.type();
    if (type && type->name == "AudioCapability")
        return readAudio(media);
    if (type && type->name == "VideoCapability")
        return readVideo(media);
    if (type && type->name == "DataApplicationCapability")
        return readData(media);
    Capability other;
    other.otherName = "unknown";
    return other;
}

asn::Value buildCapability(const Capability& capability)
{
    const asn::Type* type = findType("Capability");
    if (!type)
        return {};
    asn::Value value(*type);
    const std::string direction(directionPrefix(capability.direction));
    switch (capability.type) {
    case CapabilityType::H239Control:
        detail::setStandardIdentifier(
            value.choose(field::genericControlCapability).field(field::capabilityIdentifier),
            h239ControlIdentifier);
        return value;
    case CapabilityType::H235Security: {
        asn::Value& security = value.choose(field::h235SecurityCapability);
        setAes128Cbc(security.field(field::encryptionAuthenticationAndIntegrity));
        security.field(field::mediaCapability).setInteger(capability.securedEntry);
        return value;
    }
    case CapabilityType::UserInput: {
        asn::Value& input = value.choose(direction + "UserInputCapability");
        const int index = input.type()->indexOf(capability.userInputName);
        if (index < 0 || input.type()->components[index].type->kind != asn::Kind::Null)
            return {};
        input.choose(index);
        return value;
    }
    case CapabilityType::Other:
        return {};
    default:
        break;
    }
    std::string alternative;
    asn::Value media = buildMediaCapability(capability, alternative);
    if (!media.present())
        return {};
    const std::string_view suffix = alternative == "audioData"   ? "AudioCapability"
                                    : alternative == "videoData" ? "VideoCapability"
                                                                 : "DataApplicationCapability";
    value.choose(direction + std::string(suffix)) = std::move(media);
    return value;
}

Capability readCapability(const asn::Value& capabilityChoice)
{
    const std::string name(capabilityChoice.choiceName());
    const asn::Value& chosen = capabilityChoice.chosen();
    Capability capability;
    struct Prefix
    {
        std::string_view text;
        CapabilityDirection direction;
    };
    // Longest prefix first: "receiveAndTransmit" also starts with "receive".
    static constexpr std::array<Prefix, 3> prefixes{{
        {"receiveAndTransmit", CapabilityDirection::ReceiveAndTransmit},
        {"receive", CapabilityDirection::Receive},
        {"transmit", CapabilityDirection::Transmit},
    }};
    for (const Prefix& prefix : prefixes) {
        if (!name.starts_with(prefix.text))
            continue;
        const std::string_view rest = std::string_view(name).substr(prefix.text.size());
        if (rest == "AudioCapability" || rest == "VideoCapability" ||
            rest == "DataApplicationCapability") {
            capability = readMediaCapability(chosen);
        } else if (rest == "UserInputCapability") {
            capability.type = CapabilityType::UserInput;
            capability.userInputName = std::string(chosen.choiceName());
            if (capability.userInputName.empty())
                capability.userInputName = "unknown";
        } else {
            break;
        }
        capability.direction = prefix.direction;
        if (capability.type == CapabilityType::Other)
            capability.otherName = name + "." + capability.otherName;
        return capability;
    }
    // Taken only for the cipher we have; any other is an entry we cannot use.
    if (name == "h235SecurityCapability" &&
        namesAes128Cbc(chosen[field::encryptionAuthenticationAndIntegrity])) {
        capability.type = CapabilityType::H235Security;
        capability.direction = CapabilityDirection::ReceiveAndTransmit;
        capability.securedEntry =
            static_cast<std::uint16_t>(chosen[field::mediaCapability].integer());
        return capability;
    }
    if (name == "genericControlCapability" &&
        detail::isStandardIdentifier(chosen[field::capabilityIdentifier], h239ControlIdentifier)) {
        capability.type = CapabilityType::H239Control;
        capability.direction = CapabilityDirection::ReceiveAndTransmit;
        return capability;
    }
    capability.otherName = name.empty() ? "unknown" : name;
    return capability;
}

void setAes128Cbc(asn::Value& security)
{
    security.field(field::encryptionCapability)
        .append()
        .choose(field::algorithm)
        .setOid(aes128CbcIdentifier);
}

bool namesAes128Cbc(const asn::Value& security)
{
    if (!security.has(field::encryptionCapability))
        return false;
    const std::vector<std::uint64_t> aes(aes128CbcIdentifier.begin(), aes128CbcIdentifier.end());
    for (const auto& algorithm : security[field::encryptionCapability].elements())
        if (algorithm.is(field::algorithm) && algorithm.chosen().oid() == aes)
            return true;
    return false;
}

std::vector<std::uint64_t> h264PacketizationIdentifier(std::uint8_t mode)
{
    return {0, 0, 8, 241, 0, 0, 0, mode};
}

std::optional<std::uint8_t> h264PacketizationModeOf(const std::vector<std::uint64_t>& identifier)
{
    static constexpr std::array<std::uint64_t, 7> prefix{0, 0, 8, 241, 0, 0, 0};
    if (identifier.size() != prefix.size() + 1 ||
        !std::equal(prefix.begin(), prefix.end(), identifier.begin()) || identifier.back() > 2)
        return std::nullopt;
    return static_cast<std::uint8_t>(identifier.back());
}

asn::Value buildTerminalCapabilitySet(const CapabilitySet& set)
{
    asn::Value message = newMessage(MessageCategory::Request, field::terminalCapabilitySet);
    if (!message.present())
        return message;
    asn::Value& tcs = messageBody(message);
    tcs.field(field::sequenceNumber).setInteger(set.sequenceNumber);
    tcs.field(field::protocolIdentifier).setOid({0, 0, 8, 245, 0, set.protocolVersion});
    if (set.capabilities.empty())
        return message;

    asn::Value& h2250 = tcs.field(field::multiplexCapability).choose(field::h2250Capability);
    h2250.field(field::maximumAudioDelayJitter)
        .setInteger(clampTo(set.maximumAudioDelayJitter, 0, 1023));
    for (const std::string_view multipoint :
         {"receiveMultipointCapability", "transmitMultipointCapability",
          "receiveAndTransmitMultipointCapability"}) {
        asn::Value& capability = h2250.field(multipoint);
        capability.field(field::multicastCapability).setBoolean(false);
        capability.field(field::multiUniCastConference).setBoolean(false);
        capability.field(field::mediaDistributionCapability).append();
    }
    h2250.field(field::mcCapability);
    h2250.field(field::rtcpVideoControlCapability).setBoolean(false);
    asn::Value& packetization = h2250.field(field::mediaPacketizationCapability);
    packetization.field(field::h261aVideoPacketization).setBoolean(false);
    for (const std::uint8_t mode : set.h264PacketizationModes)
        packetization.field(field::rtpPayloadType)
            .append()
            .field(field::payloadDescriptor)
            .choose(field::oid)
            .setOid(h264PacketizationIdentifier(mode));

    // Numbers left at 0 follow the highest given one.
    std::uint16_t next = 1;
    for (const Capability& capability : set.capabilities)
        next = std::max<std::uint16_t>(next, capability.entryNumber + 1);
    // With encryption offered, each media entry is followed by its security entry.
    std::vector<Capability> capabilities;
    for (const Capability& capability : set.capabilities) {
        capabilities.push_back(capability);
        if (!capabilities.back().entryNumber)
            capabilities.back().entryNumber = next++;
        const MediaClass kind = mediaClass(capability.type);
        if (!set.offerEncryption || (kind != MediaClass::Audio && kind != MediaClass::Video &&
                                     kind != MediaClass::Content && kind != MediaClass::Data))
            continue;
        Capability security;
        security.type = CapabilityType::H235Security;
        security.direction = CapabilityDirection::ReceiveAndTransmit;
        security.securedEntry = capabilities.back().entryNumber;
        security.entryNumber = std::uint16_t(security.securedEntry + 100);
        if (security.securedEntry > 65535 - 100)
            return {};
        capabilities.push_back(security);
    }
    std::vector<std::uint16_t> numbers;
    asn::Value& table = tcs.field(field::capabilityTable);
    for (const Capability& capability : capabilities) {
        asn::Value built = buildCapability(capability);
        if (!built.present())
            return {};
        const std::uint16_t number = capability.entryNumber;
        if (std::find(numbers.begin(), numbers.end(), number) != numbers.end())
            return {}; // two entries of one number
        numbers.push_back(number);
        asn::Value& entry = table.append();
        entry.field(field::capabilityTableEntryNumber).setInteger(number);
        entry.field(field::capability) = std::move(built);
    }

    std::vector<CapabilityDescriptor> descriptors = set.descriptors;
    if (descriptors.empty()) {
        CapabilityDescriptor descriptor;
        std::array<std::vector<std::uint16_t>, 5> classes;
        // A security entry goes with the media it secures, which it follows.
        MediaClass lastMedia = MediaClass::Single;
        for (std::size_t i = 0; i < capabilities.size(); ++i) {
            MediaClass kind = mediaClass(capabilities[i].type);
            if (capabilities[i].type == CapabilityType::H235Security)
                kind = lastMedia;
            else
                lastMedia = kind;
            if (kind == MediaClass::Single)
                continue;
            classes[static_cast<std::size_t>(kind)].push_back(numbers[i]);
        }
        for (auto& alternatives : classes)
            if (!alternatives.empty())
                descriptor.simultaneous.push_back(std::move(alternatives));
        for (std::size_t i = 0; i < capabilities.size(); ++i)
            if (mediaClass(capabilities[i].type) == MediaClass::Single &&
                capabilities[i].type != CapabilityType::H235Security)
                descriptor.simultaneous.push_back({numbers[i]});
        descriptors.push_back(std::move(descriptor));
    }
    asn::Value& list = tcs.field(field::capabilityDescriptors);
    for (const CapabilityDescriptor& descriptor : descriptors) {
        asn::Value& out = list.append();
        out.field(field::capabilityDescriptorNumber).setInteger(descriptor.number);
        if (descriptor.simultaneous.empty())
            continue;
        asn::Value& simultaneous = out.field(field::simultaneousCapabilities);
        for (const auto& alternatives : descriptor.simultaneous) {
            asn::Value& set = simultaneous.append();
            for (const std::uint16_t number : alternatives)
                set.append().setInteger(number);
        }
    }
    return message;
}

asn::Result<CapabilitySet> readTerminalCapabilitySet(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, field::terminalCapabilitySet);
    if (!body)
        return body.error();
    const asn::Value& tcs = **body;
    CapabilitySet set;
    set.sequenceNumber = static_cast<std::uint8_t>(tcs[field::sequenceNumber].integer());
    const auto arcs = tcs[field::protocolIdentifier].oid();
    set.protocolVersion = arcs.size() == 6 ? static_cast<std::uint32_t>(arcs[5]) : 0;
    const asn::Value& multiplex = tcs[field::multiplexCapability];
    if (multiplex.is(field::h2250Capability)) {
        const asn::Value& h2250 = multiplex.chosen();
        set.maximumAudioDelayJitter =
            static_cast<std::uint16_t>(h2250[field::maximumAudioDelayJitter].integer());
        for (const asn::Value& payload :
             h2250[field::mediaPacketizationCapability][field::rtpPayloadType].elements()) {
            const asn::Value& descriptor = payload[field::payloadDescriptor];
            if (!descriptor.is(field::oid))
                continue;
            const auto mode = h264PacketizationModeOf(descriptor.chosen().oid());
            if (mode &&
                std::find(set.h264PacketizationModes.begin(), set.h264PacketizationModes.end(),
                          *mode) == set.h264PacketizationModes.end())
                set.h264PacketizationModes.push_back(*mode);
        }
    }
    for (const asn::Value& entry : tcs[field::capabilityTable].elements()) {
        if (!entry.has(field::capability))
            continue;
        Capability capability = readCapability(entry[field::capability]);
        capability.entryNumber =
            static_cast<std::uint16_t>(entry[field::capabilityTableEntryNumber].integer());
        set.capabilities.push_back(std::move(capability));
    }
    for (const asn::Value& in : tcs[field::capabilityDescriptors].elements()) {
        CapabilityDescriptor descriptor;
        descriptor.number =
            static_cast<std::uint8_t>(in[field::capabilityDescriptorNumber].integer());
        for (const asn::Value& alternatives : in[field::simultaneousCapabilities].elements()) {
            std::vector<std::uint16_t> numbers;
            for (const asn::Value& number : alternatives.elements())
                numbers.push_back(static_cast<std::uint16_t>(number.integer()));
            descriptor.simultaneous.push_back(std::move(numbers));
        }
        set.descriptors.push_back(std::move(descriptor));
    }
    return set;
}

} // namespace voip::h245
