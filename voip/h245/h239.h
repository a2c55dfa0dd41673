#pragma once

#include <cstdint>
#include <optional>

#include "voip/asn/result.h"
#include "voip/asn/value.h"

namespace voip::h245 {

/// H.239 messages, carried as H.245 generic messages with identifier 0.0.8.239.2.
enum class H239MessageType : std::uint8_t
{
    FlowControlReleaseRequest = 1,      ///< genericRequest
    FlowControlReleaseResponse = 2,     ///< genericResponse
    PresentationTokenRequest = 3,       ///< genericRequest
    PresentationTokenResponse = 4,      ///< genericResponse
    PresentationTokenRelease = 5,       ///< genericCommand
    PresentationTokenIndicateOwner = 6, ///< genericIndication
};

/// The parameters of an H.239 message; which ones a message carries depends on its type
/// (H.239 tables 12 to 17). Absent parameters are not sent.
struct H239Message
{
    H239MessageType type = H239MessageType::PresentationTokenRequest;
    std::optional<std::uint32_t> bitRate;         ///< id 41, units of 100 bit/s
    std::optional<std::uint16_t> channelId;       ///< id 42, the content logical channel
    std::optional<std::uint8_t> symmetryBreaking; ///< id 43, 1..127
    std::optional<std::uint16_t> terminalLabel;   ///< id 44
    /// Responses: acknowledge (id 126) when true, reject (id 127) when false.
    std::optional<bool> acknowledged;

    bool operator==(const H239Message&) const = default;
};

/// The H.245 message for an H.239 message, in the category its type travels in.
asn::Value buildH239Message(const H239Message& message);

/// True when the message is a generic request/response/command/indication with the
/// H.239 message identifier.
bool isH239Message(const asn::Value& message);

/// Reads an H.239 message; an error for any other message or an unknown subMessageIdentifier.
asn::Result<H239Message> readH239Message(const asn::Value& message);

} // namespace voip::h245
