// The calls a RAS client speaks of: admission, bandwidth and disengage asked by us, and
// the gatekeeper's own requests about calls in progress (bandwidth, disengage,
// information).

#include "voip/h323/rasclient.h"

#include <future>

#include "voip/base/trace.h"
#include "voip/h225/message.h"
#include "voip/h225/schema.h"

namespace voip::h323 {

void RasClient::handleRequest(const asn::Value& message, const asio::ip::udp::endpoint& from)
{
    const auto sequence = message.chosen()["requestSeqNum"].integer();
    asn::Value* body = nullptr;
    auto confirm = newMessage("unregistrationConfirm", body);
    body->field("requestSeqNum").setInteger(sequence);
    send(confirm, from);
    {
        std::lock_guard lock(mutex_);
        reregister_ = true; // the gatekeeper dropped us: register afresh
        endpointId_.clear();
    }
    setState(RasState::Unregistered, "unregistered by the gatekeeper");
}

const CallFollower* RasClient::findFollowed(const asn::Value& request, RasCall* call) const
{
    // Called with mutex_ held.
    const h225::Guid conferenceId = h225::guidOf(request["conferenceID"]);
    std::optional<h225::Guid> callId;
    if (request.has("callIdentifier"))
        callId = h225::guidOf(request["callIdentifier"]["guid"]);
    auto found = callId ? followed_.find(*callId)
                        : std::find_if(followed_.begin(), followed_.end(), [&](const auto& entry) {
                              return entry.second.call.conferenceId == conferenceId;
                          });
    // A request must name the conference of the call it names.
    if (found == followed_.end() || found->second.call.conferenceId != conferenceId)
        return nullptr;
    if (call)
        *call = found->second.call;
    return &found->second.follower;
}

void RasClient::handleBandwidthRequest(const asn::Value& message,
                                       const asio::ip::udp::endpoint& from)
{
    const auto& request = message.chosen();
    const auto sequence = request["requestSeqNum"].integer();
    const auto wanted =
        std::uint32_t(std::clamp<std::int64_t>(request["bandWidth"].integer(), 0, 0xFFFFFFFF));
    std::function<std::optional<std::uint32_t>(std::uint32_t)> follow;
    {
        std::lock_guard lock(mutex_);
        if (const auto* follower = findFollowed(request))
            follow = follower->bandwidth;
    }
    const std::optional<std::uint32_t> rate =
        follow ? follow(wanted) : std::optional<std::uint32_t>{};
    asn::Value* body = nullptr;
    asn::Value reply;
    if (rate && *rate <= wanted) {
        reply = newMessage("bandwidthConfirm", body);
        body->field("bandWidth").setInteger(wanted);
    } else {
        reply = newMessage("bandwidthReject", body);
        body->field("rejectReason").choose(rate ? "insufficientResources" : "invalidConferenceID");
        body->field("allowedBandWidth").setInteger(rate.value_or(0));
    }
    body->field("requestSeqNum").setInteger(sequence);
    authenticate(*body);
    send(reply, from);
}

void RasClient::handleDisengageRequest(const asn::Value& message,
                                       const asio::ip::udp::endpoint& from)
{
    const auto& request = message.chosen();
    const auto sequence = request["requestSeqNum"].integer();
    const std::string reason(request["disengageReason"].choiceName());
    std::function<void(const std::string&)> disengaged;
    std::string rejection;
    {
        std::lock_guard lock(mutex_);
        RasCall call;
        if (std::string(request["endpointIdentifier"].text()) != endpointId_) {
            rejection = "notRegistered"; // not addressed to us as registered now
        } else if (const auto* follower = findFollowed(request, &call)) {
            disengaged = follower->disengaged;
            followed_.erase(call.callId); // over: nothing more of ours about it
        } else {
            rejection = "requestToDropOther"; // a call that is not ours
        }
    }
    asn::Value* body = nullptr;
    asn::Value reply = rejection.empty() ? newMessage("disengageConfirm", body)
                                         : newMessage("disengageReject", body);
    body->field("requestSeqNum").setInteger(sequence);
    if (!rejection.empty())
        body->field("rejectReason").choose(rejection);
    authenticate(*body);
    send(reply, from);
    if (disengaged)
        disengaged(reason.empty() ? "undefinedReason" : reason);
}

void RasClient::handleInfoRequest(const asn::Value& message, const asio::ip::udp::endpoint& from)
{
    const auto& request = message.chosen();
    const auto sequence = request["requestSeqNum"].integer();
    // Call reference 0 asks about every call; another names one (with its identifier).
    const auto reference = request["callReferenceValue"].integer();
    const h225::Guid callId = h225::guidOf(request["callIdentifier"]["guid"]);
    std::vector<std::pair<RasCall, std::function<std::optional<CallReport>()>>> asked;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, followed] : followed_)
            if (reference == 0 || id == callId)
                asked.emplace_back(followed.call, followed.follower.report);
    }
    std::vector<std::pair<RasCall, CallReport>> calls;
    for (const auto& [call, report] : asked)
        if (auto now = report ? report() : std::nullopt)
            calls.emplace_back(call, std::move(*now));
    asn::Value response = infoResponse(sequence, calls, false);
    // A named call we do not have is said to be invalid (H.225.0 7.15.2).
    if (reference != 0 && calls.empty())
        response.chosen().field("irrStatus").choose("invalidCall");
    send(response, from);
}

namespace {

void setChannel(asn::Value& channel, const ChannelAddresses& addresses)
{
    if (addresses.send)
        h225::setTransportAddress(channel.field("sendAddress"), *addresses.send);
    if (addresses.receive)
        h225::setTransportAddress(channel.field("recvAddress"), *addresses.receive);
}

} // namespace

void RasClient::fillCallInfo(asn::Value& info, const RasCall& call, const CallReport& report) const
{
    info.field("callReferenceValue").setInteger(call.callReference);
    h225::setGuid(info.field("conferenceID"), call.conferenceId);
    info.field("originator").setBoolean(report.originator);
    for (const auto& session : report.sessions) {
        if (session.data) {
            setChannel(info.field("data").append(), session.rtp);
            continue;
        }
        asn::Value& rtp = info.field(session.video ? "video" : "audio").append();
        setChannel(rtp.field("rtpAddress"), session.rtp);
        setChannel(rtp.field("rtcpAddress"), session.rtcp);
        rtp.field("cname").setText("kestrovia");
        rtp.field("ssrc").setInteger(std::max<std::uint32_t>(1, session.ssrc));
        rtp.field("sessionId").setInteger(std::clamp(session.sessionId, 1u, 255u));
        rtp.field("associatedSessionIds");
    }
    setChannel(info.field("h245"), report.h245);
    setChannel(info.field("callSignalling"), report.signalling);
    info.field("callType").choose("pointToPoint");
    info.field("bandWidth").setInteger(report.bandwidth);
    info.field("callModel").choose(report.gatekeeperRouted ? "gatekeeperRouted" : "direct");
    h225::setGuid(info.field("callIdentifier").field("guid"), call.callId);
    info.field("substituteConfIDs");
}

asn::Value RasClient::infoResponse(std::int64_t sequence,
                                   const std::vector<std::pair<RasCall, CallReport>>& calls,
                                   bool unsolicited)
{
    asn::Value* body = nullptr;
    auto response = newMessage("infoRequestResponse", body);
    body->field("requestSeqNum").setInteger(sequence);
    h225::setEndpointType(body->field("endpointType"), config_.identity);
    body->field("endpointIdentifier")
        .setText(endpointIdentifier().empty() ? "-" : endpointIdentifier());
    h225::setTransportAddress(body->field("rasAddress"), rasAddress());
    h225::setTransportAddress(body->field("callSignalAddress").append(), signalAddress());
    fillAliases(body->field("endpointAlias"));
    if (!calls.empty()) {
        asn::Value& list = body->field("perCallInfo");
        for (const auto& [call, report] : calls)
            fillCallInfo(list.append(), call, report);
    }
    body->field("needResponse").setBoolean(false);
    body->field("unsolicited").setBoolean(unsolicited);
    authenticate(*body);
    return response;
}

void RasClient::followCall(const RasCall& call, CallFollower follower)
{
    std::lock_guard lock(mutex_);
    followed_[call.callId] = {call, std::move(follower)};
}

bool RasClient::reportCall(const RasCall& call, const CallReport& report)
{
    return send(infoResponse(nextSequence(), {{call, report}}, true), gatekeeperEndpoint());
}

Admission RasClient::admit(const RasCall& call)
{
    std::promise<Admission> outcome;
    admit(call, [&outcome](const Admission& admission) { outcome.set_value(admission); });
    return outcome.get_future().get();
}

void RasClient::admit(const RasCall& call, std::function<void(const Admission&)> done)
{
    asn::Value* body = nullptr;
    auto arq = newMessage("admissionRequest", body);
    body->field("callType").choose("pointToPoint");
    body->field("callModel").choose("direct");
    fillCallIdentity(*body, call);
    if (call.answer) {
        fillAliases(body->field("destinationInfo"));
        h225::setTransportAddress(body->field("destCallSignalAddress"), signalAddress());
        if (!call.sourceAlias.empty())
            h225::setAlias(body->field("srcInfo").append(), call.sourceAlias);
        else
            body->field("srcInfo");
    } else {
        if (!call.destinationAlias.empty())
            h225::setAlias(body->field("destinationInfo").append(), call.destinationAlias);
        if (call.destinationAddress)
            h225::setTransportAddress(body->field("destCallSignalAddress"),
                                      *call.destinationAddress);
        fillAliases(body->field("srcInfo"));
        h225::setTransportAddress(body->field("srcCallSignalAddress"), signalAddress());
    }
    body->field("bandWidth").setInteger(call.bandwidth);
    body->field("activeMC").setBoolean(false);
    body->field("answerCall").setBoolean(call.answer);
    body->field("canMapAlias").setBoolean(false);
    body->field("willSupplyUUIEs").setBoolean(false);
    body->field("canMapSrcAlias").setBoolean(false);
    authenticate(*body);
    transactLater(std::move(arq), gatekeeperEndpoint(), {"admissionConfirm", "admissionReject"},
                  [this, done = std::move(done)](std::optional<asn::Value> answer) {
                      if (!answer) {
                          // Registration is tried again (with back-off); calls meanwhile go
                          // without it.
                          if (!stopping_)
                              setState(RasState::Unreachable, "the gatekeeper does not answer");
                          done(Admission::unanswered());
                          return;
                      }
                      Admission admission;
                      const auto& reply = answer->chosen();
                      if (answer->is("admissionReject")) {
                          admission.rejectReason = std::string(reply["rejectReason"].choiceName());
                          done(admission);
                          return;
                      }
                      admission.admitted = true;
                      admission.destination =
                          h225::transportAddressOf(reply["destCallSignalAddress"]);
                      admission.gatekeeperRouted = reply["callModel"].is("gatekeeperRouted");
                      admission.bandwidth = std::uint32_t(reply["bandWidth"].integer());
                      if (reply.has("irrFrequency"))
                          admission.irrFrequency = unsigned(reply["irrFrequency"].integer());
                      done(admission);
                  });
}

bool RasClient::disengage(const RasCall& call, const std::string& reason)
{
    {
        // Over: the gatekeeper's bandwidth requests for it are refused from now on.
        std::lock_guard lock(mutex_);
        followed_.erase(call.callId);
    }
    asn::Value* body = nullptr;
    auto drq = newMessage("disengageRequest", body);
    fillCallIdentity(*body, call);
    body->field("disengageReason")
        .choose(reason == "forcedDrop" || reason == "undefinedReason" ? reason
                                                                      : std::string("normalDrop"));
    body->field("answeredCall").setBoolean(call.answer);
    authenticate(*body);
    asio::ip::udp::endpoint gatekeeper = gatekeeperEndpoint();
    auto answer = transact(std::move(drq), gatekeeper, {"disengageConfirm", "disengageReject"});
    return answer && answer->is("disengageConfirm");
}

void RasClient::disengageLater(const RasCall& call, const std::string& reason)
{
    {
        std::lock_guard lock(mutex_);
        disengages_.emplace_back(call, reason);
    }
    changed_.notify_all();
}

std::vector<std::pair<RasCall, std::string>> RasClient::takeDisengages()
{
    std::lock_guard lock(mutex_);
    return std::exchange(disengages_, {});
}

RasClient::BandwidthAnswer RasClient::changeBandwidth(const RasCall& call, std::uint32_t bandwidth)
{
    std::promise<BandwidthAnswer> outcome;
    changeBandwidth(call, bandwidth,
                    [&outcome](const BandwidthAnswer& answer) { outcome.set_value(answer); });
    return outcome.get_future().get();
}

void RasClient::changeBandwidth(const RasCall& call, std::uint32_t bandwidth,
                                std::function<void(const BandwidthAnswer&)> done)
{
    asn::Value* body = nullptr;
    auto brq = newMessage("bandwidthRequest", body);
    fillCallIdentity(*body, call);
    body->field("callType").choose("pointToPoint");
    body->field("bandWidth").setInteger(bandwidth);
    body->field("answeredCall").setBoolean(call.answer);
    authenticate(*body);
    transactLater(std::move(brq), gatekeeperEndpoint(), {"bandwidthConfirm", "bandwidthReject"},
                  [done = std::move(done)](std::optional<asn::Value> answer) {
                      BandwidthAnswer result;
                      if (answer) {
                          result.answered = true;
                          result.granted = answer->is("bandwidthConfirm");
                          const auto& reply = answer->chosen();
                          const char* field = result.granted ? "bandWidth" : "allowedBandWidth";
                          if (reply.has(field))
                              result.bandwidth = std::uint32_t(
                                  std::clamp<std::int64_t>(reply[field].integer(), 0, 0xFFFFFFFF));
                      }
                      done(result);
                  });
}

} // namespace voip::h323
