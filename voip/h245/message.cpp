#include "voip/h245/message.h"

#include <array>

#include "voip/asn/codec.h"
#include "voip/h245/schema.h"
#include "voip/h245/field.h"

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
    {MessageCategory::Request, field::masterSlaveDetermination, MessageId::MasterSlaveDetermination},
    {MessageCategory::Request, field::terminalCapabilitySet, MessageId::TerminalCapabilitySet},
    {MessageCategory::Request, field::openLogicalChannel, MessageId::OpenLogicalChannel},
    {MessageCategory::Request, field::closeLogicalChannel, MessageId::CloseLogicalChannel},
    {MessageCategory::Request, field::requestChannelClose, MessageId::RequestChannelClose},
    {MessageCategory::Request, field::roundTripDelayRequest, MessageId::RoundTripDelayRequest},
    {MessageCategory::Request, field::genericRequest, MessageId::GenericRequest},
    {MessageCategory::Response, field::masterSlaveDeterminationAck,
     MessageId::MasterSlaveDeterminationAck},
    {MessageCategory::Response, field::masterSlaveDeterminationReject,
     MessageId::MasterSlaveDeterminationReject},
    {MessageCategory::Response, field::terminalCapabilitySetAck, MessageId::TerminalCapabilitySetAck},
    {MessageCategory::Response, field::terminalCapabilitySetReject,
     MessageId::TerminalCapabilitySetReject},
    {MessageCategory::Response, field::openLogicalChannelAck, MessageId::OpenLogicalChannelAck},
    {MessageCategory::Response, field::openLogicalChannelReject, MessageId::OpenLogicalChannelReject},
    {MessageCategory::Response, field::closeLogicalChannelAck, MessageId::CloseLogicalChannelAck},
    {MessageCategory::Response, field::roundTripDelayResponse, MessageId::RoundTripDelayResponse},
    {MessageCategory::Response, field::genericResponse, MessageId::GenericResponse},
    {MessageCategory::Command, field::endSessionCommand, MessageId::EndSessionCommand},
    {MessageCategory::Command, field::miscellaneousCommand, MessageId::MiscellaneousCommand},
    {MessageCategory::Command, field::flowControlCommand, MessageId::FlowControlCommand},
    {MessageCategory::Command, field::genericCommand, MessageId::GenericCommand},
    {MessageCategory::Indication, field::userInput, MessageId::UserInput},
    {MessageCategory::Indication, field::miscellaneousIndication, MessageId::MiscellaneousIndication},
    {MessageCategory::Indication, field::genericIndication, MessageId::GenericIndication},
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
    asn::Value message = newMessage(MessageCategory::Request, field::masterSlaveDetermination);
    asn::Value& body = messageBody(message);
    body.field(field::terminalType).setInteger(msd.terminalType);
    body.field(field::statusDeterminationNumber)
        .setInteger(msd.statusDeterminationNumber & 0xFFFFFF);
    return message;
}

asn::Result<MasterSlaveDetermination> readMasterSlaveDetermination(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, field::masterSlaveDetermination);
    if (!body)
        return body.error();
    const asn::Value& msd = **body;
    return MasterSlaveDetermination{
        static_cast<std::uint8_t>(msd[field::terminalType].integer()),
        static_cast<std::uint32_t>(msd[field::statusDeterminationNumber].integer())};
}

asn::Value buildMasterSlaveDeterminationAck(MasterSlaveDecision decision)
{
    asn::Value message = newMessage(MessageCategory::Response, field::masterSlaveDeterminationAck);
    messageBody(message)
        .field(field::decision)
        .choose(decision == MasterSlaveDecision::Master ? field::master : field::slave);
    return message;
}

asn::Result<MasterSlaveDecision> readMasterSlaveDeterminationAck(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, field::masterSlaveDeterminationAck);
    if (!body)
        return body.error();
    const asn::Value& decision = (**body)[field::decision];
    if (decision.is(field::master))
        return MasterSlaveDecision::Master;
    if (decision.is(field::slave))
        return MasterSlaveDecision::Slave;
    return error("masterSlaveDeterminationAck without a decision");
}

asn::Value buildMasterSlaveDeterminationReject()
{
    asn::Value message = newMessage(MessageCategory::Response, field::masterSlaveDeterminationReject);
    messageBody(message).field(field::cause).choose(field::identicalNumbers);
    return message;
}

asn::Value buildMasterSlaveDeterminationRelease()
{
    return newMessage(MessageCategory::Indication, field::masterSlaveDeterminationRelease);
}

// ---- capability exchange answers ----

asn::Value buildTerminalCapabilitySetAck(std::uint8_t sequenceNumber)
{
    asn::Value message = newMessage(MessageCategory::Response, field::terminalCapabilitySetAck);
    messageBody(message).field(field::sequenceNumber).setInteger(sequenceNumber);
    return message;
}

asn::Result<std::uint8_t> readTerminalCapabilitySetAck(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, field::terminalCapabilitySetAck);
    if (!body)
        return body.error();
    return static_cast<std::uint8_t>((**body)[field::sequenceNumber].integer());
}

asn::Value buildTerminalCapabilitySetReject(const CapabilitySetReject& reject)
{
    static constexpr std::array<std::string_view, 4> causes{
        "unspecified", "undefinedTableEntryUsed", "descriptorCapacityExceeded",
        "tableEntryCapacityExceeded"};
    asn::Value message = newMessage(MessageCategory::Response, field::terminalCapabilitySetReject);
    asn::Value& body = messageBody(message);
    body.field(field::sequenceNumber).setInteger(reject.sequenceNumber);
    asn::Value& cause =
        body.field(field::cause).choose(causes[static_cast<std::size_t>(reject.cause)]);
    if (reject.cause == CapabilitySetRejectCause::TableEntryCapacityExceeded) {
        if (reject.highestEntryNumberProcessed && *reject.highestEntryNumberProcessed > 0)
            cause.choose(field::highestEntryNumberProcessed)
                .setInteger(*reject.highestEntryNumberProcessed);
        else
            cause.choose(field::noneProcessed);
    }
    return message;
}

asn::Result<CapabilitySetReject> readTerminalCapabilitySetReject(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Response, field::terminalCapabilitySetReject);
    if (!body)
        return body.error();
    CapabilitySetReject reject;
    reject.sequenceNumber = static_cast<std::uint8_t>((**body)[field::sequenceNumber].integer());
    const asn::Value& cause = (**body)[field::cause];
    const int index = cause.choiceIndex();
    // Causes added after this schema read as unspecified.
    if (index >= 0 && index <= 3)
        reject.cause = static_cast<CapabilitySetRejectCause>(index);
    if (cause.is(field::tableEntryCapacityExceeded)) {
        const asn::Value& processed = cause.chosen();
        if (processed.is(field::highestEntryNumberProcessed))
            reject.highestEntryNumberProcessed =
                static_cast<std::uint16_t>(processed.chosen().integer());
    }
    return reject;
}

asn::Value buildTerminalCapabilitySetRelease()
{
    return newMessage(MessageCategory::Indication, field::terminalCapabilitySetRelease);
}

// ---- round-trip delay, end of session ----

asn::Value buildRoundTripDelayRequest(std::uint8_t sequenceNumber)
{
    asn::Value message = newMessage(MessageCategory::Request, field::roundTripDelayRequest);
    messageBody(message).field(field::sequenceNumber).setInteger(sequenceNumber);
    return message;
}

asn::Value buildRoundTripDelayResponse(std::uint8_t sequenceNumber)
{
    asn::Value message = newMessage(MessageCategory::Response, field::roundTripDelayResponse);
    messageBody(message).field(field::sequenceNumber).setInteger(sequenceNumber);
    return message;
}

asn::Result<std::uint8_t> readRoundTripDelaySequence(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Request, field::roundTripDelayRequest);
    if (!body)
        body = expectBody(message, MessageCategory::Response, field::roundTripDelayResponse);
    if (!body)
        return error("expected a roundTripDelayRequest or roundTripDelayResponse");
    return static_cast<std::uint8_t>((**body)[field::sequenceNumber].integer());
}

asn::Value buildEndSessionCommand()
{
    asn::Value message = newMessage(MessageCategory::Command, field::endSessionCommand);
    messageBody(message).choose(field::disconnect);
    return message;
}

asn::Result<std::string> readEndSessionCommand(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Command, field::endSessionCommand);
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
    body.field(field::logicalChannelNumber).setInteger(logicalChannel);
    asn::Value& choice = body.field(field::type);
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
    return ChannelEvent{static_cast<std::uint16_t>((**body)[field::logicalChannelNumber].integer()),
                        std::string((**body)[field::type].choiceName())};
}

} // namespace

asn::Value buildMiscellaneousCommand(std::uint16_t logicalChannel, std::string_view type)
{
    return buildChannelEvent(MessageCategory::Command, field::miscellaneousCommand, logicalChannel,
                             type);
}

asn::Value buildMiscellaneousIndication(std::uint16_t logicalChannel, std::string_view type)
{
    return buildChannelEvent(MessageCategory::Indication, field::miscellaneousIndication, logicalChannel,
                             type);
}

asn::Result<ChannelEvent> readMiscellaneousCommand(const asn::Value& message)
{
    return readChannelEvent(message, MessageCategory::Command, field::miscellaneousCommand);
}

asn::Result<ChannelEvent> readMiscellaneousIndication(const asn::Value& message)
{
    return readChannelEvent(message, MessageCategory::Indication, field::miscellaneousIndication);
}

// ---- flow control ----

asn::Value buildFlowControlCommand(const FlowControl& flow)
{
    asn::Value message = newMessage(MessageCategory::Command, field::flowControlCommand);
    asn::Value& body = messageBody(message);
    if (flow.logicalChannel > 0)
        body.field(field::scope)
            .choose(field::logicalChannelNumber)
            .setInteger(flow.logicalChannel);
    else
        body.field(field::scope).choose(field::wholeMultiplex);
    if (flow.maximumBitRate)
        body.field(field::restriction)
            .choose(field::maximumBitRate)
            .setInteger(std::min<std::uint32_t>(*flow.maximumBitRate, 16777215));
    else
        body.field(field::restriction).choose(field::noRestriction);
    return message;
}

asn::Result<FlowControl> readFlowControlCommand(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Command, field::flowControlCommand);
    if (!body)
        return body.error();
    FlowControl flow;
    const asn::Value& scope = (**body)[field::scope];
    if (scope.is(field::logicalChannelNumber))
        flow.logicalChannel = static_cast<std::uint16_t>(scope.chosen().integer());
    const asn::Value& restriction = (**body)[field::restriction];
    if (restriction.is(field::maximumBitRate))
        flow.maximumBitRate = static_cast<std::uint32_t>(restriction.chosen().integer());
    return flow;
}

// ---- user input ----

asn::Value buildUserInputIndication(const UserInput& input)
{
    asn::Value message = newMessage(MessageCategory::Indication, field::userInput);
    if (!message.present())
        return message;
    asn::Value& body = messageBody(message);
    switch (input.kind) {
    case UserInputKind::Alphanumeric:
        body.choose(field::alphanumeric).setText(input.text);
        break;
    case UserInputKind::ExtendedAlphanumeric:
        body.choose(field::extendedAlphanumeric).field(field::alphanumeric).setText(input.text);
        break;
    case UserInputKind::Signal: {
        static constexpr std::string_view dtmf = "0123456789#*ABCD!";
        if (input.text.size() != 1 || dtmf.find(input.text[0]) == std::string_view::npos)
            return {};
        asn::Value& signal = body.choose(field::signal);
        signal.field(field::signalType).setText(input.text);
        if (input.duration && *input.duration > 0)
            signal.field(field::duration).setInteger(*input.duration);
        break;
    }
    case UserInputKind::SignalUpdate:
        if (!input.duration || *input.duration == 0)
            return {};
        body.choose(field::signalUpdate).field(field::duration).setInteger(*input.duration);
        break;
    case UserInputKind::Other:
        return {};
    }
    return message;
}

asn::Result<UserInput> readUserInputIndication(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Indication, field::userInput);
    if (!body)
        return body.error();
    const asn::Value& indication = **body;
    UserInput input;
    if (indication.is(field::alphanumeric)) {
        input.text = std::string(indication.chosen().text());
    } else if (indication.is(field::extendedAlphanumeric)) {
        input.kind = UserInputKind::ExtendedAlphanumeric;
        input.text = std::string(indication.chosen()[field::alphanumeric].text());
    } else if (indication.is(field::signal)) {
        input.kind = UserInputKind::Signal;
        const asn::Value& signal = indication.chosen();
        input.text = std::string(signal[field::signalType].text());
        if (signal.has(field::duration))
            input.duration = static_cast<std::uint16_t>(signal[field::duration].integer());
    } else if (indication.is(field::signalUpdate)) {
        input.kind = UserInputKind::SignalUpdate;
        input.duration = static_cast<std::uint16_t>(indication.chosen()[field::duration].integer());
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
    asn::Value message = newMessage(MessageCategory::Indication, field::functionNotUnderstood);
    if (!message.present())
        return message;
    // The echoed alternative has the same type as the original's category value.
    messageBody(message).choose(categoryName(kind->category)) = original.chosen();
    return message;
}

asn::Result<asn::Value> readFunctionNotUnderstood(const asn::Value& message)
{
    auto body = expectBody(message, MessageCategory::Indication, field::functionNotUnderstood);
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
