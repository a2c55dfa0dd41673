#include "voip/core/endreason.h"

#include <array>
#include <utility>

namespace voip {

namespace {

constexpr std::array<std::string_view, EndReasonCount> ReasonTexts = {
    "Ended by local user",
    "Incoming connection not accepted",
    "Answer denied",
    "Ended by remote user",
    "Refused by remote",
    "No answer",
    "Caller aborted",
    "Transport failure",
    "Connection failed",
    "Cleared by gatekeeper",
    "No such user",
    "Insufficient bandwidth",
    "No common capabilities",
    "Call forwarded",
    "Security check failed",
    "Local busy",
    "Local congestion",
    "Remote busy",
    "Remote congestion",
    "Destination unreachable",
    "No endpoint for the address",
    "Remote host offline",
    "Temporary failure",
    "Q.931 cause",
    "Call duration limit",
    "Invalid conference ID",
    "No dial tone",
    "No ringback tone",
    "Out of service",
    "Accepting call waiting",
    "Gatekeeper admission failed",
    "Media failed",
    "Call completed elsewhere",
    "Certificate authority refused",
    "Illegal address",
    "Media transport failed",
    "Host name not found",
};

// Q.850 cause values the engine gives a meaning to.
namespace cause {
constexpr unsigned UnallocatedNumber = 1;
constexpr unsigned NoRouteToNetwork = 2;
constexpr unsigned NoRouteToDestination = 3;
constexpr unsigned NormalClearing = 16;
constexpr unsigned UserBusy = 17;
constexpr unsigned NoUserResponding = 18;
constexpr unsigned NoAnswer = 19;
constexpr unsigned SubscriberAbsent = 20;
constexpr unsigned CallRejected = 21;
constexpr unsigned NumberChanged = 22;
constexpr unsigned NonSelectedUserClearing = 26;
constexpr unsigned DestinationOutOfOrder = 27;
constexpr unsigned InvalidNumberFormat = 28;
constexpr unsigned NoCircuitAvailable = 34;
constexpr unsigned NetworkOutOfOrder = 38;
constexpr unsigned TemporaryFailure = 41;
constexpr unsigned SwitchingCongestion = 42;
constexpr unsigned RequestedCircuitUnavailable = 44;
constexpr unsigned ResourceUnavailable = 47;
constexpr unsigned BearerNotAuthorised = 57;
constexpr unsigned IncompatibleDestination = 88;
constexpr unsigned RecoveryOnTimerExpiry = 102;
} // namespace cause

struct ReasonName
{
    std::string_view name;
    EndReason reason;
};

// ReleaseCompleteReason alternatives (H.225.0 7.4.2) and what each means to the
// receiving side.
constexpr std::array<ReasonName, 25> ReleaseCompleteReasons = {{
    {"noBandwidth", EndReason::NoBandwidth},
    {"gatekeeperResources", EndReason::Gatekeeper},
    {"unreachableDestination", EndReason::Unreachable},
    {"destinationRejection", EndReason::Refusal},
    {"invalidRevision", EndReason::CapabilityExchange},
    {"noPermission", EndReason::GatekeeperAdmissionFailed},
    {"unreachableGatekeeper", EndReason::Gatekeeper},
    {"gatewayResources", EndReason::RemoteCongestion},
    {"badFormatAddress", EndReason::IllegalAddress},
    {"adaptiveBusy", EndReason::RemoteCongestion},
    {"inConf", EndReason::RemoteBusy},
    {"undefinedReason", EndReason::RemoteUser},
    {"facilityCallDeflection", EndReason::CallForwarded},
    {"securityDenied", EndReason::SecurityDenial},
    {"calledPartyNotRegistered", EndReason::NoUser},
    {"callerNotRegistered", EndReason::GatekeeperAdmissionFailed},
    {"newConnectionNeeded", EndReason::TemporaryFailure},
    {"nonStandardReason", EndReason::RemoteUser},
    {"replaceWithConferenceInvite", EndReason::CallForwarded},
    {"genericDataReason", EndReason::RemoteUser},
    {"neededFeatureNotSupported", EndReason::CapabilityExchange},
    {"tunnelledSignallingRejected", EndReason::CapabilityExchange},
    {"invalidCID", EndReason::InvalidConferenceID},
    {"securityError", EndReason::SecurityDenial},
    {"hopCountExceeded", EndReason::Unreachable},
}};

} // namespace

std::optional<EndReason> endReasonFromNumber(int number)
{
    if (number < 0 || number >= EndReasonCount) {
        return std::nullopt;
    }
    return static_cast<EndReason>(number);
}

std::string_view endReasonText(EndReason reason)
{
    const int number = toNumber(reason);
    if (number < 0 || number >= EndReasonCount) {
        return "Unknown";
    }
    return ReasonTexts[static_cast<std::size_t>(number)];
}

EndReason endReasonFromQ931Cause(unsigned value)
{
    switch (value) {
    case cause::UnallocatedNumber:
    case cause::NumberChanged:
        return EndReason::NoUser;
    case cause::NoRouteToNetwork:
        return EndReason::NoEndPoint;
    case cause::NoRouteToDestination:
    case cause::NetworkOutOfOrder:
        return EndReason::Unreachable;
    case cause::NormalClearing:
        return EndReason::RemoteUser;
    case cause::UserBusy:
        return EndReason::RemoteBusy;
    case cause::NoUserResponding:
    case cause::NoAnswer:
        return EndReason::NoAnswer;
    case cause::SubscriberAbsent:
    case cause::DestinationOutOfOrder:
        return EndReason::HostOffline;
    case cause::CallRejected:
        return EndReason::Refusal;
    case cause::NonSelectedUserClearing:
        return EndReason::CallCompletedElsewhere;
    case cause::InvalidNumberFormat:
        return EndReason::IllegalAddress;
    case cause::NoCircuitAvailable:
    case cause::SwitchingCongestion:
    case cause::RequestedCircuitUnavailable:
        return EndReason::RemoteCongestion;
    case cause::TemporaryFailure:
    case cause::ResourceUnavailable:
        return EndReason::TemporaryFailure;
    case cause::BearerNotAuthorised:
        return EndReason::SecurityDenial;
    case cause::IncompatibleDestination:
        return EndReason::CapabilityExchange;
    case cause::RecoveryOnTimerExpiry:
        return EndReason::NoAnswer;
    default:
        return EndReason::Q931Cause;
    }
}

unsigned q931CauseFromEndReason(EndReason reason, unsigned keptCause)
{
    switch (reason) {
    case EndReason::LocalUser:
    case EndReason::RemoteUser:
    case EndReason::CallerAbort:
    case EndReason::CallForwarded:
    case EndReason::Gatekeeper:
    case EndReason::DurationLimit:
    case EndReason::AcceptingCallWaiting:
        return cause::NormalClearing;
    case EndReason::NoAccept:
    case EndReason::AnswerDenied:
    case EndReason::Refusal:
    case EndReason::GatekeeperAdmissionFailed:
    case EndReason::CertificateAuthority:
        return cause::CallRejected;
    case EndReason::NoAnswer:
        return cause::NoAnswer;
    case EndReason::TransportFail:
    case EndReason::TemporaryFailure:
    case EndReason::MediaFailed:
    case EndReason::MediaTransportFail:
        return cause::TemporaryFailure;
    case EndReason::ConnectFail:
        return cause::NoRouteToDestination;
    case EndReason::OutOfService:
        return cause::DestinationOutOfOrder;
    case EndReason::NoUser:
        return cause::UnallocatedNumber;

    case EndReason::CapabilityExchange:
        return cause::IncompatibleDestination;
    case EndReason::SecurityDenial:
        return cause::BearerNotAuthorised;
    case EndReason::LocalBusy:
    case EndReason::RemoteBusy:
        return cause::UserBusy;
    case EndReason::NoBandwidth:
    case EndReason::LocalCongestion:
    case EndReason::RemoteCongestion:
        return cause::NoCircuitAvailable;
    case EndReason::Unreachable:
    case EndReason::NameNotFound:
        return cause::NoRouteToDestination;
    case EndReason::NoEndPoint:
        return cause::NoRouteToNetwork;
    case EndReason::HostOffline:
        return cause::DestinationOutOfOrder;
    case EndReason::CallCompletedElsewhere:
        return cause::NonSelectedUserClearing;
    case EndReason::IllegalAddress:
        return cause::InvalidNumberFormat;
    case EndReason::InvalidConferenceID:
    case EndReason::NoDialTone:
    case EndReason::NoRingBackTone:
        return cause::NormalClearing;
    case EndReason::Q931Cause:
        return keptCause >= 1 && keptCause <= 127 ? keptCause : cause::NormalClearing;
    }
    return cause::NormalClearing;
}

std::optional<EndReason> endReasonFromReleaseCompleteReason(std::string_view choiceName)
{
    if (choiceName.empty()) {
        return std::nullopt;
    }
    for (const auto& entry : ReleaseCompleteReasons) {
        if (entry.name == choiceName) {
            return entry.reason;
        }
    }
    return std::nullopt;
}

std::string_view releaseCompleteReasonFromEndReason(EndReason reason)
{
    switch (reason) {
    case EndReason::NoAccept:
    case EndReason::AnswerDenied:
    case EndReason::Refusal:
    case EndReason::CertificateAuthority:
        return "destinationRejection";
    case EndReason::TransportFail:
    case EndReason::ConnectFail:
    case EndReason::Unreachable:
    case EndReason::NameNotFound:
    case EndReason::NoEndPoint:
    case EndReason::HostOffline:
        return "unreachableDestination";
    case EndReason::Gatekeeper:
        return "gatekeeperResources";
    case EndReason::GatekeeperAdmissionFailed:
        return "noPermission";
    case EndReason::NoUser:
        return "calledPartyNotRegistered";
    case EndReason::NoBandwidth:
        return "noBandwidth";
    case EndReason::CapabilityExchange:
        return "neededFeatureNotSupported";
    case EndReason::CallForwarded:
        return "facilityCallDeflection";
    case EndReason::SecurityDenial:
        return "securityDenied";
    case EndReason::LocalBusy:
    case EndReason::RemoteBusy:
        return "inConf";
    case EndReason::LocalCongestion:
    case EndReason::RemoteCongestion:
        return "gatewayResources";
    case EndReason::IllegalAddress:
        return "badFormatAddress";
    case EndReason::InvalidConferenceID:
        return "invalidCID";
    default:
        return "undefinedReason";
    }
}

} // namespace voip
