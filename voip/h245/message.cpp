#include "voip/h245/message.h"

#include <array>

#include "voip/asn/codec.h"
#include "voip/h245/schema.h"

namespace voip::h245 {
namespace {

constexpr std::array<std::string_view, 4> categoryNames{"request", "response", "command",
                                                        "indication"};

asn::Error error(std::string message)
{
    return asn::Error{std::move(message), 0, {}};
}

const asn::Value& absentValue()
{
    static const asn::Value absent;
    return absent;
}

struct IdName
{
    MessageCategory category;
    std::string_view name;
    MessageId id;
};

constexpr IdName idNames[] = {
    {MessageCategory::Request, "masterSlaveDetermination", MessageId::MasterSlaveDetermination},
    {MessageCategory::Request, "terminalCapabilitySet", MessageId::TerminalCapabilitySet},
    {MessageCategory::Request, "openLogicalChannel", MessageId::OpenLogicalChannel},
    {MessageCategory::Request, "closeLogicalChannel", MessageId::CloseLogicalChannel},
    {MessageCategory::Request, "requestChannelClose", MessageId::RequestChannelClose},
    {MessageCategory::Request, "roundTripDelayRequest", MessageId::RoundTripDelayRequest},
    {MessageCategory::Request, "genericRequest", MessageId::GenericRequest},
    {MessageCategory::Response, "masterSlaveDeterminationAck",
     MessageId::MasterSlaveDeterminationAck},
    {MessageCategory::Response, "masterSlaveDeterminationReject",
     MessageId::MasterSlaveDeterminationReject},
    {MessageCategory::Response, "terminalCapabilitySetAck", MessageId::TerminalCapabilitySetAck},
    {MessageCategory::Response, "terminalCapabilitySetReject",
     MessageId::TerminalCapabilitySetReject},
    {MessageCategory::Response, "openLogicalChannelAck", MessageId::OpenLogicalChannelAck},
    {MessageCategory::Response, "openLogicalChannelReject", MessageId::OpenLogicalChannelReject},
    {MessageCategory::Response, "closeLogicalChannelAck", MessageId::CloseLogicalChannelAck},
    {MessageCategory::Response, "roundTripDelayResponse", MessageId::RoundTripDelayResponse},
    {MessageCategory::Response, "genericResponse", MessageId::GenericResponse},
    {MessageCategory::Command, "endSessionCommand", MessageId::EndSessionCommand},
    {MessageCategory::Command, "miscellaneousCommand", MessageId::MiscellaneousCommand},
    {MessageCategory::Command, "flowControlCommand", MessageId::FlowControlCommand},
    {MessageCategory::Command, "genericCommand", MessageId::GenericCommand},
    {MessageCategory::Indication, "userInput", MessageId::UserInput},
    {MessageCategory::Indication, "miscellaneousIndication", MessageId::MiscellaneousIndication},
    {MessageCategory::Indication, "genericIndication", MessageId::GenericIndication},
};

/// The category's CHOICE type in the schema, or null.
const asn::Type* categoryType(MessageCategory category)
{
    const asn::Type* type = messageType();
    if (!type)
        return nullptr;
    const int index = type->indexOf(categoryNames[static_cast<std::size_t>(category)]);
    return index < 0 ? nullptr : type->components[std::size_t(index)].type;
}

/// MessageId by category and alternative index, resolved from the schema once.
struct IdTable
{
    std::array<std::vector<MessageId>, 4> byIndex;
    std::vector<std::string> unknown;

    IdTable()
    {
        for (const auto& entry : idNames) {
            const asn::Type* type = categoryType(entry.category);
            const int index = type ? type->indexOf(entry.name) : -1;
            if (index < 0) {
                unknown.emplace_back(entry.name);
                continue;
            }
            auto& ids = byIndex[static_cast<std::size_t>(entry.category)];
            if (ids.size() <= std::size_t(index))
                ids.resize(std::size_t(index) + 1, MessageId::Other);
            ids[std::size_t(index)] = entry.id;
        }
    }

    MessageId find(MessageCategory category, int index) const
    {
        const auto& ids = byIndex[static_cast<std::size_t>(category)];
        return index >= 0 && std::size_t(index) < ids.size() ? ids[std::size_t(index)]
                                                              : MessageId::Other;
    }
};

const IdTable& idTable()
{
    static const IdTable table;
    return table;
}

} // namespace

std::vector<std::string> unknownMessageIds()
{
    return idTable().unknown;
}

std::string_view categoryName(MessageCategory category)
{
    return categoryNames[static_cast<std::size_t>(category)];
}

asn::Value newMessage(MessageCategory category, std::string_view alternative)
{
    const asn::Type* type = messageType();
    if (!type)
        return {};
    asn::Value message(*type);
    asn::Value& inner = message.choose(categoryName(category));
    if (!inner.type() || inner.type()->indexOf(alternative) < 0)
        return {};
    inner.choose(alternative);
    return message;
}

std::optional<MessageKind> kindOf(const asn::Value& message)
{
    if (!message.present() || message.type() != messageType())
        return std::nullopt;
    const int category = message.choiceIndex();
    if (category < 0 || category >= static_cast<int>(categoryNames.size()))
        return std::nullopt;
    const std::string_view name = message.chosen().choiceName();
    if (name.empty())
        return std::nullopt;
    const auto which = static_cast<MessageCategory>(category);
    return MessageKind{which, idTable().find(which, message.chosen().choiceIndex()), name};
}

const asn::Value& messageBody(const asn::Value& message)
{
    if (message.choiceIndex() < 0)
        return absentValue();
    return message.chosen().chosen();
}

asn::Value& messageBody(asn::Value& message)
{
    return message.chosen().chosen();
}

asn::Result<asn::Value> decodeMessage(std::span<const std::uint8_t> bytes)
{
    const asn::Type* type = messageType();
    if (!type)
        return loadSchema().error();
    return asn::decode(*type, bytes);
}

asn::Result<std::vector<std::uint8_t>> encodeMessage(const asn::Value& message)
{
    if (!message.present() || message.type() != messageType())
        return error("not an H.245 message");
    return asn::encode(message);
}

asn::Result<const asn::Value*> expectBody(const asn::Value& message, MessageCategory category,
                                          std::string_view name)
{
    const auto kind = kindOf(message);
    if (!kind || kind->category != category || kind->name != name)
        return error("expected " + std::string(categoryName(category)) + " " + std::string(name));
    return &messageBody(message);
}

// ---- master-slave determination ----

asn::Value buildMasterSlaveDetermination(const MasterSlaveDetermination& msd)
{
    asn::Value message = newMessage(MessageCategory::Request, "masterSlaveDetermination");
    asn::Value& body = messageBody(message);
    body.field("terminalType").setInteger(msd.terminalType);
    body.field("statusDeterminationNumber").setInteger(msd.statusDeterminationNumber & 0xFFFFFF);
    return message;
}

asn::Result<MasterSlaveDetermination> readMasterSlaveDetermination(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, "masterSlaveDetermination");
    if (!body)
        return body.error();
    const asn::Value& msd = **body;
    return MasterSlaveDetermination{
        static_cast<std::uint8_t>(msd["terminalType"].integer()),
        static_cast<std::uint32_t>(msd["statusDeterminationNumber"].integer())};
}

asn::Value buildMasterSlaveDeterminationAck(MasterSlaveDecision decision)
{
    asn::Value message = newMessage(MessageCategory::Response, "masterSlaveDeterminationAck");
    messageBody(message)
        .field("decision")
        .choose(decision == MasterSlaveDecision::Master ? "master" : "slave");
    return message;
}

asn::Result<MasterSlaveDecision> readMasterSlaveDeterminationAck(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, "masterSlaveDeterminationAck");
    if (!body)
        return body.error();
    const asn::Value& decision = (**body)["decision"];
    if (decision.is("master"))
        return MasterSlaveDecision::Master;
    if (decision.is("slave"))
        return MasterSlaveDecision::Slave;
    return error("masterSlaveDeterminationAck without a decision");
}

asn::Value buildMasterSlaveDeterminationReject()
{
    asn::Value message = newMessage(MessageCategory::Response, "masterSlaveDeterminationReject");
    messageBody(message).field("cause").choose("identicalNumbers");
    return message;
}

asn::Value buildMasterSlaveDeterminationRelease()
{
    return newMessage(MessageCategory::Indication, "masterSlaveDeterminationRelease");
}

// ---- capability exchange answers ----

asn::Value buildTerminalCapabilitySetAck(std::uint8_t sequenceNumber)
{
    asn::Value message = newMessage(MessageCategory::Response, "terminalCapabilitySetAck");
    messageBody(message).field("sequenceNumber").setInteger(sequenceNumber);
    return message;
}

asn::Result<std::uint8_t> readTerminalCapabilitySetAck(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, "terminalCapabilitySetAck");
    if (!body)
        return body.error();
    return static_cast<std::uint8_t>((**body)["sequenceNumber"].integer());
}

asn::Value buildTerminalCapabilitySetReject(const CapabilitySetReject& reject)
{
    static constexpr std::array<std::string_view, 4> causes{
        "unspecified", "undefinedTableEntryUsed", "descriptorCapacityExceeded",
        "tableEntryCapacityExceeded"};
    asn::Value message = newMessage(MessageCategory::Response, "terminalCapabilitySetReject");
    asn::Value& body = messageBody(message);
    body.field("sequenceNumber").setInteger(reject.sequenceNumber);
    asn::Value& cause = body.field("cause").choose(causes[static_cast<std::size_t>(reject.cause)]);
    if (reject.cause == CapabilitySetRejectCause::TableEntryCapacityExceeded) {
        if (reject.highestEntryNumberProcessed && *reject.highestEntryNumberProcessed > 0)
            cause.choose("highestEntryNumberProcessed")
                .setInteger(*reject.highestEntryNumberProcessed);
        else
            cause.choose("noneProcessed");
    }
    return message;
}

asn::Result<CapabilitySetReject> readTerminalCapabilitySetReject(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, "terminalCapabilitySetReject");
    if (!body)
        return body.error();
    CapabilitySetReject reject;
    reject.sequenceNumber = static_cast<std::uint8_t>((**body)["sequenceNumber"].integer());
    const asn::Value& cause = (**body)["cause"];
    const int index = cause.choiceIndex();
    // Causes added after this schema read as unspecified.
    if (index >= 0 && index <= 3)
        reject.cause = static_cast<CapabilitySetRejectCause>(index);
    if (cause.is("tableEntryCapacityExceeded")) {
        const asn::Value& processed = cause.chosen();
        if (processed.is("highestEntryNumberProcessed"))
            reject.highestEntryNumberProcessed =
                static_cast<std::uint16_t>(processed.chosen().integer());
    }
    return reject;
}

asn::Value buildTerminalCapabilitySetRelease()
{
    return newMessage(MessageCategory::Indication, "terminalCapabilitySetRelease");
}

// ---- round-trip delay, end of session ----

asn::Value buildRoundTripDelayRequest(std::uint8_t sequenceNumber)
{
    asn::Value message = newMessage(MessageCategory::Request, "roundTripDelayRequest");
    messageBody(message).field("sequenceNumber").setInteger(sequenceNumber);
    return message;
}

asn::Value buildRoundTripDelayResponse(std::uint8_t sequenceNumber)
{
    asn::Value message = newMessage(MessageCategory::Response, "roundTripDelayResponse");
    messageBody(message).field("sequenceNumber").setInteger(sequenceNumber);
    return message;
}

asn::Result<std::uint8_t> readRoundTripDelaySequence(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, "roundTripDelayRequest");
    if (!body)
        body = expectBody(message, MessageCategory::Response, "roundTripDelayResponse");
    if (!body)
        return error("expected a roundTripDelayRequest or roundTripDelayResponse");
    return static_cast<std::uint8_t>((**body)["sequenceNumber"].integer());
}

asn::Value buildEndSessionCommand()
{
    asn::Value message = newMessage(MessageCategory::Command, "endSessionCommand");
    messageBody(message).choose("disconnect");
    return message;
}

asn::Result<std::string> readEndSessionCommand(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Command, "endSessionCommand");
    if (!body)
        return body.error();
    return std::string((**body).choiceName());
}

// ---- miscellaneous command and indication ----

namespace {

asn::Value buildChannelEvent(MessageCategory category, std::string_view name,
                             std::uint16_t logicalChannel, std::string_view type)
{
    asn::Value message = newMessage(category, name);
    if (!message.present())
        return message;
    asn::Value& body = messageBody(message);
    body.field("logicalChannelNumber").setInteger(logicalChannel);
    asn::Value& choice = body.field("type");
    const int index = choice.type()->indexOf(type);
    if (index < 0 || choice.type()->components[index].type->kind != asn::Kind::Null)
        return {};
    choice.choose(index);
    return message;
}

asn::Result<ChannelEvent> readChannelEvent(const asn::Value& message, MessageCategory category,
                                           std::string_view name)
{
    auto body = expectBody(message, category, name);
    if (!body)
        return body.error();
    return ChannelEvent{static_cast<std::uint16_t>((**body)["logicalChannelNumber"].integer()),
                        std::string((**body)["type"].choiceName())};
}

} // namespace

asn::Value buildMiscellaneousCommand(std::uint16_t logicalChannel, std::string_view type)
{
    return buildChannelEvent(MessageCategory::Command, "miscellaneousCommand", logicalChannel,
                             type);
}

asn::Value buildMiscellaneousIndication(std::uint16_t logicalChannel, std::string_view type)
{
    return buildChannelEvent(MessageCategory::Indication, "miscellaneousIndication", logicalChannel,
                             type);
}

asn::Result<ChannelEvent> readMiscellaneousCommand(const asn::Value& message)
{
    return readChannelEvent(message, MessageCategory::Command, "miscellaneousCommand");
}

asn::Result<ChannelEvent> readMiscellaneousIndication(const asn::Value& message)
{
    return readChannelEvent(message, MessageCategory::Indication, "miscellaneousIndication");
}

// ---- flow control ----

asn::Value buildFlowControlCommand(const FlowControl& flow)
{
    asn::Value message = newMessage(MessageCategory::Command, "flowControlCommand");
    asn::Value& body = messageBody(message);
    if (flow.logicalChannel > 0)
        body.field("scope").choose("logicalChannelNumber").setInteger(flow.logicalChannel);
    else
        body.field("scope").choose("wholeMultiplex");
    if (flow.maximumBitRate)
        body.field("restriction")
            .choose("maximumBitRate")
            .setInteger(std::min<std::uint32_t>(*flow.maximumBitRate, 16777215));
    else
        body.field("restriction").choose("noRestriction");
    return message;
}

asn::Result<FlowControl> readFlowControlCommand(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Command, "flowControlCommand");
    if (!body)
        return body.error();
    FlowControl flow;
    const asn::Value& scope = (**body)["scope"];
    if (scope.is("logicalChannelNumber"))
        flow.logicalChannel = static_cast<std::uint16_t>(scope.chosen().integer());
    const asn::Value& restriction = (**body)["restriction"];
    if (restriction.is("maximumBitRate"))
        flow.maximumBitRate = static_cast<std::uint32_t>(restriction.chosen().integer());
    return flow;
}

// ---- user input ----

asn::Value buildUserInputIndication(const UserInput& input)
{
    asn::Value message = newMessage(MessageCategory::Indication, "userInput");
    if (!message.present())
        return message;
    asn::Value& body = messageBody(message);
    switch (input.kind) {
    case UserInputKind::Alphanumeric:
        body.choose("alphanumeric").setText(input.text);
        break;
    case UserInputKind::ExtendedAlphanumeric:
        body.choose("extendedAlphanumeric").field("alphanumeric").setText(input.text);
        break;
    case UserInputKind::Signal: {
        static constexpr std::string_view dtmf = "0123456789#*ABCD!";
        if (input.text.size() != 1 || dtmf.find(input.text[0]) == std::string_view::npos)
            return {};
        asn::Value& signal = body.choose("signal");
        signal.field("signalType").setText(input.text);
        if (input.duration && *input.duration > 0)
            signal.field("duration").setInteger(*input.duration);
        break;
    }
    case UserInputKind::SignalUpdate:
        if (!input.duration || *input.duration == 0)
            return {};
        body.choose("signalUpdate").field("duration").setInteger(*input.duration);
        break;
    case UserInputKind::Other:
        return {};
    }
    return message;
}

asn::Result<UserInput> readUserInputIndication(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Indication, "userInput");
    if (!body)
        return body.error();
    const asn::Value& indication = **body;
    UserInput input;
    if (indication.is("alphanumeric")) {
        input.text = std::string(indication.chosen().text());
    } else if (indication.is("extendedAlphanumeric")) {
        input.kind = UserInputKind::ExtendedAlphanumeric;
        input.text = std::string(indication.chosen()["alphanumeric"].text());
    } else if (indication.is("signal")) {
        input.kind = UserInputKind::Signal;
        const asn::Value& signal = indication.chosen();
        input.text = std::string(signal["signalType"].text());
        if (signal.has("duration"))
            input.duration = static_cast<std::uint16_t>(signal["duration"].integer());
    } else if (indication.is("signalUpdate")) {
        input.kind = UserInputKind::SignalUpdate;
        input.duration = static_cast<std::uint16_t>(indication.chosen()["duration"].integer());
    } else {
        input.kind = UserInputKind::Other;
        input.text = std::string(indication.choiceName());
    }
    return input;
}

// ---- function not understood ----

asn::Value buildFunctionNotUnderstood(const asn::Value& original)
{
    const auto kind = kindOf(original);
    if (!kind || kind->category == MessageCategory::Indication)
        return {};
    asn::Value message = newMessage(MessageCategory::Indication, "functionNotUnderstood");
    if (!message.present())
        return message;
    // The echoed alternative has the same type as the original's category value.
    messageBody(message).choose(categoryName(kind->category)) = original.chosen();
    return message;
}

asn::Result<asn::Value> readFunctionNotUnderstood(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Indication, "functionNotUnderstood");
    if (!body)
        return body.error();
    const asn::Value& echoed = **body;
    const std::string_view category = echoed.choiceName();
    if (category.empty())
        return error("functionNotUnderstood without a known message");
    asn::Value original(*messageType());
    original.choose(category) = echoed.chosen();
    return original;
}

} // namespace voip::h245
