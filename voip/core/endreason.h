#pragma once

#include <optional>
#include <string_view>

namespace voip {

/// Why a call ended.  The numbers are fixed: the application stores and compares them
/// (ended by local user 0, answer denied 2, ended by remote user 3, temporary failure 22).
enum class EndReason
{
    LocalUser = 0,             ///< cleared by this side's user
    NoAccept = 1,              ///< this side did not accept the incoming connection
    AnswerDenied = 2,          ///< this side's user denied the incoming call
    RemoteUser = 3,            ///< the far end's user cleared (normal clearing)
    Refusal = 4,               ///< the far end refused the call
    NoAnswer = 5,              ///< the far end did not answer
    CallerAbort = 6,           ///< the caller gave up before we answered
    TransportFail = 7,         ///< the signalling transport failed mid-call
    ConnectFail = 8,           ///< the signalling connection could not be made
    Gatekeeper = 9,            ///< cleared by a gatekeeper
    NoUser = 10,               ///< no such user at the far end
    NoBandwidth = 11,          ///< not enough bandwidth
    CapabilityExchange = 12,   ///< no common capabilities
    CallForwarded = 13,        ///< the call was forwarded elsewhere
    SecurityDenial = 14,       ///< security checks failed
    LocalBusy = 15,            ///< this side is busy
    LocalCongestion = 16,      ///< this side has no resources
    RemoteBusy = 17,           ///< the far end is busy
    RemoteCongestion = 18,     ///< the far end or the network has no resources
    Unreachable = 19,          ///< no route to the far end
    NoEndPoint = 20,           ///< nothing handles the dialled address
    HostOffline = 21,          ///< the far end is out of order
    TemporaryFailure = 22,     ///< a failure worth one more try
    Q931Cause = 23,            ///< a Q.931 cause with no better match (kept beside the reason)
    DurationLimit = 24,        ///< the call reached its time limit
    InvalidConferenceID = 25,  ///< unknown conference identifier
    NoDialTone = 26,           ///< no dial tone (line side)
    NoRingBackTone = 27,       ///< no ringback tone (line side)
    OutOfService = 28,         ///< the line is out of service
    AcceptingCallWaiting = 29, ///< cleared to accept a waiting call
    GatekeeperAdmissionFailed = 30,
    MediaFailed = 31,            ///< media could not be started
    CallCompletedElsewhere = 32, ///< another terminal took the call
    CertificateAuthority = 33,   ///< the far end's certificate was not accepted
    IllegalAddress = 34,         ///< the address cannot be dialled
    MediaTransportFail = 35,     ///< the media transport failed mid-call
    NameNotFound = 36,           ///< the host name dialled does not resolve
};

inline constexpr int EndReasonCount = 37;

/// The reason's number (its enumerator value).
constexpr int toNumber(EndReason reason)
{
    return static_cast<int>(reason);
}

/// The reason with that number, or nothing for a number outside the list.
std::optional<EndReason> endReasonFromNumber(int number);

/// Readable text, e.g. "Ended by local user"; "Unknown" never happens for a listed reason.
std::string_view endReasonText(EndReason reason);

/// Q.931 cause value (Q.850 Table 1) to end reason, as seen by the side that receives the
/// cause: 16 normal clearing is the remote user, 17 user busy is remote busy.  A cause
/// with no closer meaning gives Q931Cause.
EndReason endReasonFromQ931Cause(unsigned cause);

/// End reason to the Q.931 cause this side sends when it clears.  For Q931Cause the
/// cause kept with the reason is returned (16 when there is none); causes outside 1..127
/// are corrected to 16.
unsigned q931CauseFromEndReason(EndReason reason, unsigned keptCause = 0);

/// H.225.0 ReleaseCompleteReason choice name (e.g. "destinationRejection") to end
/// reason; nothing for a name the engine does not know.
std::optional<EndReason> endReasonFromReleaseCompleteReason(std::string_view choiceName);

/// End reason to the H.225.0 ReleaseCompleteReason choice this side sends.
std::string_view releaseCompleteReasonFromEndReason(EndReason reason);

} // namespace voip
