#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace voip::q931 {

/// Q.850 cause values the call engine produces or meets most.
enum class CauseValue : std::uint8_t
{
    UnallocatedNumber = 1,
    NoRouteToNetwork = 2,
    NoRouteToDestination = 3,
    ChannelUnacceptable = 6,
    NormalCallClearing = 16,
    UserBusy = 17,
    NoUserResponding = 18,
    NoAnswer = 19,
    SubscriberAbsent = 20,
    CallRejected = 21,
    NumberChanged = 22,
    Redirection = 23,
    DestinationOutOfOrder = 27,
    InvalidNumberFormat = 28,
    FacilityRejected = 29,
    StatusEnquiryResponse = 30,
    NormalUnspecified = 31,
    NoCircuitAvailable = 34,
    NetworkOutOfOrder = 38,
    TemporaryFailure = 41,
    SwitchingEquipmentCongestion = 42,
    RequestedCircuitNotAvailable = 44,
    ResourceUnavailable = 47,
    QualityOfServiceNotAvailable = 49,
    BearerCapabilityNotAuthorized = 57,
    BearerCapabilityNotAvailable = 58,
    ServiceNotAvailable = 63,
    BearerCapabilityNotImplemented = 65,
    ServiceNotImplemented = 79,
    InvalidCallReference = 81,
    IncompatibleDestination = 88,
    InvalidMessage = 95,
    MandatoryElementMissing = 96,
    MessageTypeNotImplemented = 97,
    MessageNotCompatible = 98,
    ElementNotImplemented = 99,
    InvalidElementContents = 100,
    MessageNotCompatibleWithState = 101,
    RecoveryOnTimerExpiry = 102,
    ProtocolErrorUnspecified = 111,
    InterworkingUnspecified = 127,
};

/// The Q.850 text of a cause value ("normal call clearing"); values without a name of
/// their own get the text of their class ("unspecified network failure (class 2)") so
/// that every value from 0 to 127 reads as something.
std::string causeText(std::uint8_t value);

/// The cause value a text names; accepts the texts causeText gives (any letter case).
std::optional<std::uint8_t> causeFromText(std::string_view text);

} // namespace voip::q931
