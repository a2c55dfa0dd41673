#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "voip/asn/result.h"
#include "voip/asn/value.h"

namespace voip::h245 {

/// The media kinds the client offers or recognises in a peer's capability set.
enum class CapabilityType : std::uint8_t
{
    G711Alaw,     ///< g711Alaw64k
    G711Ulaw,     ///< g711Ulaw64k
    G722,         ///< g722-64k
    GenericAudio, ///< genericAudioCapability (identifier in genericIdentifier)
    H261,
    H263,
    H264,         ///< genericVideoCapability 0.0.8.241.0.0.1
    H239Content,  ///< extendedVideoCapability with H.264 and the H.239 extended video identifier
    H239Control,  ///< genericControlCapability 0.0.8.239.1.1
    H224,         ///< DataApplicationCapability h224 (far-end camera control)
    UserInput,    ///< one of the UserInputCapability alternatives (userInputName)
    H235Security, ///< h235SecurityCapability: entry `securedEntry` may go AES-128-CBC encrypted
    Other,        ///< anything else: kept by entry number, described in otherName
};

enum class CapabilityDirection : std::uint8_t
{
    Receive,
    Transmit,
    ReceiveAndTransmit,
};

/// H.241 H.264 parameters of a generic video capability.
struct H264Parameters
{
    /// H.241 profile bits: 64 Baseline, 32 Main, 16 Extended, 8 High.
    std::uint8_t profile = 64;
    /// H.241 level number: 29 = 1.2, 36 = 1.3, 43 = 2, 50 = 2.1, 57 = 2.2, 64 = 3,
    /// 71 = 3.1, 78 = 3.2, 85 = 4, 92 = 4.1, 99 = 4.2, 106 = 5, 113 = 5.1.
    std::uint8_t level = 71;
    std::optional<std::uint32_t> customMaxMbps;      ///< id 3, units of 500 macroblocks/s
    std::optional<std::uint32_t> customMaxFs;        ///< id 4, units of 256 macroblocks
    std::optional<std::uint32_t> customMaxDpb;       ///< id 5, units of 32768 octets
    std::optional<std::uint32_t> customMaxBrAndCpb;  ///< id 6, units of 25000 bit/s
    std::optional<std::uint32_t> maxStaticMbps;      ///< id 7, units of 500 macroblocks/s
    std::optional<std::uint32_t> maxRcmdNalUnitSize; ///< id 8, units of 1024 octets
    std::optional<std::uint32_t> maxNalUnitSize;     ///< id 9, units of 1024 octets

    bool operator==(const H264Parameters&) const = default;
};

/// Root fields of H261VideoCapability; MPI in units of 1/29.97 s, nullopt: not supported.
struct H261Parameters
{
    std::optional<std::uint8_t> qcifMpi;
    std::optional<std::uint8_t> cifMpi;
    bool temporalSpatialTradeOff = false;
    std::uint16_t maxBitRate = 1; ///< units of 100 bit/s
    bool stillImageTransmission = false;

    bool operator==(const H261Parameters&) const = default;
};

/// Root fields of H263VideoCapability.
struct H263Parameters
{
    std::optional<std::uint8_t> sqcifMpi;
    std::optional<std::uint8_t> qcifMpi;
    std::optional<std::uint8_t> cifMpi;
    std::optional<std::uint8_t> cif4Mpi;
    std::optional<std::uint8_t> cif16Mpi;
    std::uint32_t maxBitRate = 1; ///< units of 100 bit/s
    bool unrestrictedVector = false;
    bool arithmeticCoding = false;
    bool advancedPrediction = false;
    bool pbFrames = false;
    bool temporalSpatialTradeOff = false;
    std::optional<std::uint32_t> hrdB;
    std::optional<std::uint16_t> bppMaxKb;

    bool operator==(const H263Parameters&) const = default;
};

/// One capability table entry, flattened to what the client uses.
struct Capability
{
    CapabilityType type = CapabilityType::Other;
    CapabilityDirection direction = CapabilityDirection::Receive;
    /// capabilityTableEntryNumber; 0 lets buildTerminalCapabilitySet number it.
    std::uint16_t entryNumber = 0;
    /// Audio: frames per packet; for G.711 and G.722 the unit is one millisecond.
    std::uint16_t framesPerPacket = 20;
    /// Video and data: maxBitRate in units of 100 bit/s (H.264 and H.239 content: of the
    /// generic capability; H.224: of the data application).
    std::uint32_t maxBitRate = 0;
    H264Parameters h264;
    H261Parameters h261;
    H263Parameters h263;
    /// H239Content: the H.239 role label bits (1 presentation, 2 live).
    std::uint8_t h239Role = 1;
    /// UserInput: the UserInputCapability alternative ("basicString", "dtmf", ...).
    std::string userInputName;
    /// GenericAudio: the capability identifier ("0.0.8.245.1.1.1").
    std::string genericIdentifier;
    /// H224: the DataProtocolCapability alternative ("hdlcFrameTunnelling", "transparent",
    /// ...), which says how the frames travel.
    std::string dataProtocol = "hdlcFrameTunnelling";
    /// Other: where the entry sits ("receiveAudioCapability.g729", "nonStandard", ...).
    std::string otherName;
    /// H235Security: the number of the media entry it secures.
    std::uint16_t securedEntry = 0;

    bool operator==(const Capability&) const = default;
};

/// One capability descriptor: simultaneous capabilities, each an alternative set of
/// entry numbers.
struct CapabilityDescriptor
{
    std::uint8_t number = 0;
    std::vector<std::vector<std::uint16_t>> simultaneous;

    bool operator==(const CapabilityDescriptor&) const = default;
};

/// A TerminalCapabilitySet as the client builds and reads it.
struct CapabilitySet
{
    std::uint8_t sequenceNumber = 1;
    /// The last arc of protocolIdentifier 0.0.8.245.0.N (the version announced or read).
    std::uint32_t protocolVersion = 15;
    std::vector<Capability> capabilities;
    /// Empty when building: one descriptor with one alternative set per media class
    /// (audio, video, content, H.239 control, data, user input) is made.
    std::vector<CapabilityDescriptor> descriptors;
    /// maximumAudioDelayJitter of the H2250Capability, ms.
    std::uint16_t maximumAudioDelayJitter = 60;
    /// The H.264 RTP packetisation modes received (H.241: 0 single NAL unit, 1
    /// non-interleaved, 2 interleaved), as the mediaPacketizationCapability lists them.
    /// Empty: none said, which leaves a sender to the single NAL unit mode.
    std::vector<std::uint8_t> h264PacketizationModes;
    /// Building: each audio, video, content and data entry N is followed by entry N + 100
    /// saying it may go AES-128-CBC encrypted, in the same alternative set (as other stacks
    /// announce it).
    bool offerEncryption = false;

    bool operator==(const CapabilitySet&) const = default;
};

/// A TerminalCapabilitySet message. Entry numbers left at 0 are numbered after the highest
/// one given. An empty capability list gives the empty set (no table, no descriptors),
/// which asks the peer to close its channels. Absent (and so refused by encodeMessage) when
/// an entry cannot be built: type Other, an unknown user input name, a value outside its
/// field that cannot be clamped (e.g. an H.261 MPI of 5).
asn::Value buildTerminalCapabilitySet(const CapabilitySet& set);

/// Reads a peer's TerminalCapabilitySet. Every table entry comes back, unknown kinds as
/// CapabilityType::Other; an entry with no capability (a removal) is left out.
asn::Result<CapabilitySet> readTerminalCapabilitySet(const asn::Value& message);

/// The Capability value of one entry (a Capability choice) and its reading; for callers
/// that place capabilities elsewhere (e.g. the data type of a channel).
asn::Value buildCapability(const Capability& capability);
Capability readCapability(const asn::Value& capabilityChoice);

/// The media part of a capability for an OpenLogicalChannel data type: an AudioCapability,
/// VideoCapability or DataApplicationCapability value, with `alternative` set to
/// "audioData", "videoData" or "data". Absent for H239Control, UserInput and Other.
asn::Value buildMediaCapability(const Capability& capability, std::string& alternative);
/// Reads an AudioCapability, VideoCapability or DataApplicationCapability value.
Capability readMediaCapability(const asn::Value& media);

/// The payload descriptor identifier of an H.264 packetisation mode (H.241 8.1.6):
/// 0.0.8.241.0.0.0.<mode>.
std::vector<std::uint64_t> h264PacketizationIdentifier(std::uint8_t mode);
/// The mode of such an identifier; nothing for any other identifier.
std::optional<std::uint8_t> h264PacketizationModeOf(const std::vector<std::uint64_t>& identifier);

/// AES-128 in CBC mode, the one media cipher (security entries and encrypted channels).
inline constexpr std::array<std::uint64_t, 9> aes128CbcIdentifier{2, 16, 840, 1, 101, 3, 4, 1, 2};

/// Sets an EncryptionAuthenticationAndIntegrity value to AES-128-CBC alone, and tells
/// whether one names it among its ciphers (the one cipher we take).
void setAes128Cbc(asn::Value& security);
bool namesAes128Cbc(const asn::Value& security);

/// H.239 role label value for presentation content.
constexpr std::uint8_t h239RolePresentation = 1;

} // namespace voip::h245
