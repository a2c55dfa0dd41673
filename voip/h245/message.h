#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "voip/asn/result.h"
#include "voip/asn/value.h"

namespace voip::h245 {

/// The four kinds of MultimediaSystemControlMessage.
enum class MessageCategory : std::uint8_t
{
    Request,
    Response,
    Command,
    Indication,
};

/// The messages a call's control acts on.  Every other alternative is `Other`, named by
/// its MessageKind::name.
enum class MessageId : std::uint8_t
{
    Other,
    MasterSlaveDetermination,
    TerminalCapabilitySet,
    OpenLogicalChannel,
    CloseLogicalChannel,
    RequestChannelClose,
    RoundTripDelayRequest,
    GenericRequest,
    MasterSlaveDeterminationAck,
    MasterSlaveDeterminationReject,
    TerminalCapabilitySetAck,
    TerminalCapabilitySetReject,
    OpenLogicalChannelAck,
    OpenLogicalChannelReject,
    CloseLogicalChannelAck,
    RoundTripDelayResponse,
    GenericResponse,
    EndSessionCommand,
    MiscellaneousCommand,
    FlowControlCommand,
    GenericCommand,
    UserInput,
    MiscellaneousIndication,
    GenericIndication,
};

/// What a message is: its category, which of the messages acted on it is, and the name of
/// the chosen alternative ("terminalCapabilitySet", "openLogicalChannelAck", ...).
struct MessageKind
{
    MessageCategory category = MessageCategory::Request;
    MessageId id = MessageId::Other;
    std::string_view name;
};

/// The alternatives of the MessageId values that this schema lacks; empty unless the
/// schema and the enumeration went apart (each value names one alternative of one
/// category).
std::vector<std::string> unknownMessageIds();

std::string_view categoryName(MessageCategory category);

/// A new MultimediaSystemControlMessage with `alternative` chosen in `category`. Its body
/// (messageBody()) holds the alternative's default value, ready to be filled in. Absent
/// when the module failed to load or the alternative does not exist.
asn::Value newMessage(MessageCategory category, std::string_view alternative);

/// The category and alternative of a message, or nullopt when it is not a
/// MultimediaSystemControlMessage or holds an alternative this schema does not know.
std::optional<MessageKind> kindOf(const asn::Value& message);

/// The body of a message (the value of the chosen alternative inside its category).
const asn::Value& messageBody(const asn::Value& message);
asn::Value& messageBody(asn::Value& message);

/// Decodes one PDU of an H.245 channel.
asn::Result<asn::Value> decodeMessage(std::span<const std::uint8_t> bytes);
/// Encodes a message built with the helpers of this library.
asn::Result<std::vector<std::uint8_t>> encodeMessage(const asn::Value& message);

/// The body of `message` when it is the alternative `name` of `category`, else an error
/// naming what was expected; for the read... helpers.
asn::Result<const asn::Value*> expectBody(const asn::Value& message, MessageCategory category,
                                          std::string_view name);

// ---- master-slave determination ----

struct MasterSlaveDetermination
{
    std::uint8_t terminalType = 50;              ///< H.323 terminal: 50 (H.323 Table 1)
    std::uint32_t statusDeterminationNumber = 0; ///< random, 0..2^24-1
};

enum class MasterSlaveDecision : std::uint8_t
{
    Master, ///< the receiver of the ack is master
    Slave,
};

asn::Value buildMasterSlaveDetermination(const MasterSlaveDetermination& msd);
asn::Result<MasterSlaveDetermination> readMasterSlaveDetermination(const asn::Value& message);
asn::Value buildMasterSlaveDeterminationAck(MasterSlaveDecision decision);
asn::Result<MasterSlaveDecision> readMasterSlaveDeterminationAck(const asn::Value& message);
/// The only root cause is identicalNumbers.
asn::Value buildMasterSlaveDeterminationReject();
asn::Value buildMasterSlaveDeterminationRelease();

// ---- capability exchange answers (the set itself: capabilities.h) ----

/// TerminalCapabilitySetReject causes (root alternatives, in order).
enum class CapabilitySetRejectCause : std::uint8_t
{
    Unspecified,
    UndefinedTableEntryUsed,
    DescriptorCapacityExceeded,
    TableEntryCapacityExceeded,
};

struct CapabilitySetReject
{
    std::uint8_t sequenceNumber = 0;
    CapabilitySetRejectCause cause = CapabilitySetRejectCause::Unspecified;
    /// For TableEntryCapacityExceeded: the highest entry processed, nullopt for none.
    std::optional<std::uint16_t> highestEntryNumberProcessed;
};

asn::Value buildTerminalCapabilitySetAck(std::uint8_t sequenceNumber);
asn::Result<std::uint8_t> readTerminalCapabilitySetAck(const asn::Value& message);
asn::Value buildTerminalCapabilitySetReject(const CapabilitySetReject& reject);
asn::Result<CapabilitySetReject> readTerminalCapabilitySetReject(const asn::Value& message);
asn::Value buildTerminalCapabilitySetRelease();

// ---- round-trip delay, end of session ----

asn::Value buildRoundTripDelayRequest(std::uint8_t sequenceNumber);
asn::Value buildRoundTripDelayResponse(std::uint8_t sequenceNumber);
/// The sequence number of a RoundTripDelayRequest or RoundTripDelayResponse.
asn::Result<std::uint8_t> readRoundTripDelaySequence(const asn::Value& message);

/// EndSessionCommand disconnect.
asn::Value buildEndSessionCommand();
/// The alternative of an EndSessionCommand ("disconnect", "gstnOptions", ...).
asn::Result<std::string> readEndSessionCommand(const asn::Value& message);

// ---- miscellaneous command and indication ----

/// MiscellaneousCommand for a channel with a type whose value is NULL
/// ("videoFastUpdatePicture", "videoFreezePicture", "equaliseDelay", ...). Absent if the
/// type is unknown or carries a value.
asn::Value buildMiscellaneousCommand(std::uint16_t logicalChannel, std::string_view type);
inline asn::Value buildVideoFastUpdatePicture(std::uint16_t logicalChannel)
{
    return buildMiscellaneousCommand(logicalChannel, "videoFastUpdatePicture");
}

/// MiscellaneousIndication with a NULL-valued type ("logicalChannelActive",
/// "logicalChannelInactive", "multipointConference", ...). Absent if the type is unknown
/// or carries a value.
asn::Value buildMiscellaneousIndication(std::uint16_t logicalChannel, std::string_view type);

/// A channel number and the name of the chosen type, as read from a MiscellaneousCommand
/// or MiscellaneousIndication. `type` is empty for an alternative added after this schema.
struct ChannelEvent
{
    std::uint16_t logicalChannel = 0;
    std::string type;
};
asn::Result<ChannelEvent> readMiscellaneousCommand(const asn::Value& message);
asn::Result<ChannelEvent> readMiscellaneousIndication(const asn::Value& message);

// ---- flow control ----

/// FlowControlCommand: a channel (or the whole multiplex when logicalChannel is 0) limited
/// to maximumBitRate (units of 100 bit/s), or released when it is nullopt.
struct FlowControl
{
    std::uint16_t logicalChannel = 0;
    std::optional<std::uint32_t> maximumBitRate;
};
asn::Value buildFlowControlCommand(const FlowControl& flow);
/// A resourceID scope reads as logicalChannel 0, like wholeMultiplex.
asn::Result<FlowControl> readFlowControlCommand(const asn::Value& message);

// ---- user input ----

enum class UserInputKind : std::uint8_t
{
    Alphanumeric,         ///< text
    Signal,               ///< one DTMF character, optional duration in ms
    SignalUpdate,         ///< new duration of the signal in progress
    ExtendedAlphanumeric, ///< text, read only
    Other,                ///< any other alternative (reported, not interpreted)
};

struct UserInput
{
    UserInputKind kind = UserInputKind::Alphanumeric;
    std::string text; ///< Alphanumeric/ExtendedAlphanumeric text, or the Signal character
    std::optional<std::uint16_t> duration; ///< Signal (optional) and SignalUpdate, 1..65535 ms
};

/// Builds a UserInputIndication. A Signal needs exactly one of 0-9 # * A-D !; a duration
/// of 0 is left out. Absent on a bad signal character.
asn::Value buildUserInputIndication(const UserInput& input);
asn::Result<UserInput> readUserInputIndication(const asn::Value& message);

// ---- function not understood ----

/// FunctionNotUnderstood echoing a request, response or command we could not act on.
/// Absent if `original` is an indication (which has no such answer).
asn::Value buildFunctionNotUnderstood(const asn::Value& original);
/// The message echoed in a FunctionNotUnderstood, as a whole message again.
asn::Result<asn::Value> readFunctionNotUnderstood(const asn::Value& message);

} // namespace voip::h245
