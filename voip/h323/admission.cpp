// The gatekeeper's part in an H.323 connection: admission of outgoing and incoming
// calls, the information reports during the call, and disengaging at its end.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include <future>
#include <thread>

#include "voip/base/text.h"
#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h225/address.h"
#include "voip/h225/message.h"
#include "voip/h323/tpktchannel.h"
#include "voip/core/manager.h"
#include "voip/h323/fields.h"
#include "voip/rtp/rtpsession.h"

namespace voip::h323 {

using namespace detail;

RasCall Connection::rasCall(bool answer) const
{
    RasCall ras;
    ras.answer = answer;
    ras.callReference = callReference_;
    ras.conferenceId = conferenceId_;
    ras.callId = callIdentifier_;
    // What the call's channels will need, both directions, in units of 100 bit/s.
    const std::uint64_t need = plannedRate();
    const std::uint64_t total = std::min(need, endpoint_.initialBandwidth(Direction::Transmit)) +
                                std::min(need, endpoint_.initialBandwidth(Direction::Receive));
    ras.bandwidth = std::uint32_t(std::clamp<std::uint64_t>((total + 99) / 100, 1, 0xFFFFFFFFu));
    return ras;
}

void Connection::admitOutgoing(const std::shared_ptr<RasClient>& gatekeeper,
                               const std::string& alias, std::optional<DialAddress> direct)
{
    if (released_)
        return;
    RasCall ras = rasCall(false);
    ras.destinationAlias = alias;
    if (direct) {
        asio::error_code error;
        if (asio::ip::make_address(direct->host, error), !error)
            ras.destinationAddress = h225::IpAddressPort::parse(
                direct->ipv6Literal ? "[" + direct->host + "]" : direct->host, direct->port);
    }
    gatekeeper->admit(
        ras, fromGatekeeper<Admission>(
                 [client = std::weak_ptr(gatekeeper), ras, alias,
                  direct](const std::shared_ptr<Connection>& keep, const Admission& answer) {
                     const auto gatekeeper = client.lock();
                     const Admission admission = gatekeeper ? answer : Admission::unanswered();
                     if (!keep->takeAdmission(gatekeeper, ras, admission))
                         return;
                     // A gatekeeper gone silent does not stop calls to an address.
                     if (!admission.admitted && admission.rejectReason == "timeout" && direct) {
                         keep->startOutgoing(*direct);
                         return;
                     }
                     if (!admission.admitted) {
                         VOIP_TRACE(2, "H323\tGatekeeper refused the call to "
                                           << (alias.empty() ? "?" : alias) << ": "
                                           << admission.rejectReason);
                         keep->failCall(admission.rejectReason == f225::calledPartyNotRegistered
                                            ? EndReason::Unreachable
                                            : EndReason::GatekeeperAdmissionFailed);
                         return;
                     }
                     if (direct) {
                         keep->startOutgoing(*direct);
                         return;
                     }
                     if (!admission.destination) {
                         keep->failCall(EndReason::GatekeeperAdmissionFailed);
                         return;
                     }
                     // Through a traversal gatekeeper: the call crosses the NAT its way.
                     if (gatekeeper && gatekeeper->traversal() == TraversalState::On)
                         keep->crossNatThroughGatekeeper();
                     DialAddress target;
                     target.alias = alias;
                     target.host = admission.destination->addressText();
                     target.ipv6Literal = admission.destination->ipv6;
                     target.port = admission.destination->port;
                     keep->startOutgoing(target);
                 }));
}

void Connection::admitIncoming(const std::shared_ptr<RasClient>& gatekeeper,
                               const std::shared_ptr<Call>& call)
{
    RasCall ras = rasCall(true);
    ras.sourceAlias = remotePartyName();
    gatekeeper->admit(
        ras, fromGatekeeper<Admission>(
                 [client = std::weak_ptr(gatekeeper), ras, weakCall = std::weak_ptr(call)](
                     const std::shared_ptr<Connection>& keep, const Admission& answer) {
                     const auto gatekeeper = client.lock();
                     const auto call = weakCall.lock();
                     const Admission admission = gatekeeper ? answer : Admission::unanswered();
                     if (!keep->takeAdmission(gatekeeper, ras, admission) || !call)
                         return;
                     if (!admission.admitted && admission.rejectReason != "timeout") {
                         VOIP_TRACE(2, "H323\tGatekeeper refused the incoming call: "
                                           << admission.rejectReason);
                         call->clear(EndReason::GatekeeperAdmissionFailed);
                         return;
                     }
                     call->startIncoming(keep);
                 }));
}

namespace {

/// Runs `work` on the call's network thread for the RAS client's event loop: at once when
/// the client runs on that thread; else it waits a second at most, and gets nothing when
/// the call is gone, the thread too busy, or the endpoint stopping.
template <typename Result>
std::optional<Result> askNetwork(const std::weak_ptr<Connection>& weak,
                                 std::function<std::optional<Result>(Connection&)> work,
                                 const std::function<void(std::function<void()>)>& post)
{
    auto result = std::make_shared<std::promise<std::optional<Result>>>();
    auto future = result->get_future();
    {
        auto keep = weak.lock();
        if (!keep)
            return std::nullopt;
        if (keep->onNetworkThread())
            return work(*keep); // a gatekeeper client on the endpoint's own thread
        post([keep, work = std::move(work), result] { result->set_value(work(*keep)); });
    }
    if (future.wait_for(std::chrono::seconds(1)) != std::future_status::ready)
        return std::nullopt;
    try {
        return future.get();
    } catch (const std::future_error&) {
        return std::nullopt; // dropped: the endpoint is stopping
    }
}

h225::IpAddressPort toIpAddressPort(const h245::MediaAddress& media)
{
    h225::IpAddressPort address;
    address.address = media.ip;
    address.ipv6 = media.ipv6;
    address.port = media.port;
    return address;
}

} // namespace

bool Connection::takeAdmission(const std::shared_ptr<RasClient>& gatekeeper, const RasCall& ras,
                               const Admission& admission)
{
    if (admission.admitted) {
        admittedBy_ = gatekeeper;
        admittedAs_ = ras;
        admittedRouted_ = admission.gatekeeperRouted;
        bandwidth_->granted(admission.bandwidth ? admission.bandwidth : ras.bandwidth);
        // The gatekeeper may ask the call for less (or allow it more again), end it, or ask
        // how it stands; each answered once the network thread has followed.
        std::weak_ptr<Connection> weak = self();
        const auto post = [weak](std::function<void()> work) {
            if (auto keep = weak.lock())
                keep->onNetwork(std::move(work));
        };
        CallFollower follower;
        follower.bandwidth = [weak, post](std::uint32_t allowed) {
            return askNetwork<std::uint32_t>(
                weak,
                [allowed](Connection& call) {
                    return call.released_ ? std::nullopt
                                          : std::optional(call.bandwidth_->keepWithin(allowed));
                },
                post);
        };
        follower.disengaged = [post, weak](const std::string& reason) {
            post([weak, reason] {
                if (auto keep = weak.lock())
                    keep->disengagedByGatekeeper(reason);
            });
        };
        follower.report = [weak, post] {
            return askNetwork<CallReport>(
                weak,
                [](Connection& call) {
                    return call.released_ ? std::nullopt : std::optional(call.callReport());
                },
                post);
        };
        gatekeeper->followCall(ras, std::move(follower));
        if (admission.irrFrequency) {
            // At least a second apart, whatever the gatekeeper asks.
            irrInterval_ = std::chrono::seconds(std::max(1u, *admission.irrFrequency));
            scheduleInfoReport();
        }
    }
    if (released_) {
        disengage(); // the call ended while the gatekeeper was asked
        return false;
    }
    return true;
}

void Connection::disengagedByGatekeeper(const std::string& reason)
{
    if (released_ || !admittedBy_)
        return;
    VOIP_TRACE(2, "H323\tThe gatekeeper ended the call (" << reason << ") on " << describe());
    // Confirmed already: no DisengageRequest of ours follows.
    admittedBy_.reset();
    failCall(EndReason::Gatekeeper);
}

CallReport Connection::callReport() const
{
    CallReport report;
    report.originator = !incoming_;
    report.gatekeeperRouted = admittedRouted_;
    report.bandwidth = bandwidth_->callBandwidth();
    for (const auto& [id, session] : channels_->sessions()) {
        CallReport::Session entry;
        entry.sessionId = id;
        entry.video = id == VideoSessionId || id == ContentSessionId;
        entry.data = id == DataSessionId;
        entry.rtp.receive = toIpAddressPort(session->rtpAddress);
        entry.rtcp.receive = toIpAddressPort(session->rtcpAddress);
        if (session->remoteRtp)
            entry.rtp.send = toIpAddressPort(*session->remoteRtp);
        if (session->remoteRtcp)
            entry.rtcp.send = toIpAddressPort(*session->remoteRtcp);
        if (session->media)
            entry.ssrc = session->media->ssrc();
        report.sessions.push_back(std::move(entry));
    }
    if (signal_) {
        report.signalling.send = toIpAddressPort(signal_->remoteEndpoint());
        report.signalling.receive = toIpAddressPort(endpointToAnnounce(signal_->localEndpoint()));
    }
    if (h245Channel_) {
        report.h245.send = toIpAddressPort(h245Channel_->remoteEndpoint());
        report.h245.receive = toIpAddressPort(endpointToAnnounce(h245Channel_->localEndpoint()));
    }
    return report;
}

void Connection::scheduleInfoReport()
{
    if (!irrInterval_ || released_ || !admittedBy_)
        return;
    runAfter(infoReportTimer_, *irrInterval_, [](Connection& connection) {
        if (!connection.admittedBy_)
            return;
        connection.admittedBy_->reportCall(connection.admittedAs_, connection.callReport());
        connection.scheduleInfoReport();
    });
}

void Connection::disengage()
{
    if (!admittedBy_)
        return;
    auto gatekeeper = std::move(admittedBy_);
    admittedBy_.reset();
    gatekeeper->disengageLater(admittedAs_);
}

} // namespace voip::h323
