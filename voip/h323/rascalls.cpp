// The calls a RAS client speaks of: admission, bandwidth and disengage asked by us, and
// the gatekeeper's own requests about calls in progress (bandwidth, disengage,
// information).

#include "voip/h323/rasclient.h"

#include <future>

#include "voip/base/trace.h"
#include "voip/h225/message.h"
#include "voip/h225/schema.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

void RasClient::handleRequest(const asn::Value& message, const asio::ip::udp::endpoint& from)
{
    const auto sequence = message.chosen()[f225::requestSeqNum].integer();
    asn::Value* body = nullptr;
    auto confirm = newMessage(f225::unregistrationConfirm, body);
    body->field(f225::requestSeqNum).setInteger(sequence);
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
    const h225::Guid conferenceId = h225::guidOf(request[f225::conferenceID]);
    std::optional<h225::Guid> callId;
    if (request.has(f225::callIdentifier))
        callId = h225::guidOf(request[f225::callIdentifier][f225::guid]);
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

bool RasClient::endedLately(const asn::Value& request) const
{
    // Called with mutex_ held.
    const h225::Guid conferenceId = h225::guidOf(request[f225::conferenceID]);
    if (request.has(f225::callIdentifier)) {
        const auto found = ended_.find(h225::guidOf(request[f225::callIdentifier][f225::guid]));
        return found != ended_.end() && found->second.first == conferenceId;
    }
    return std::any_of(ended_.begin(), ended_.end(),
                       [&](const auto& entry) { return entry.second.first == conferenceId; });
}

void RasClient::handleBandwidthRequest(const asn::Value& message,
                                       const asio::ip::udp::endpoint& from)
{
    const auto& request = message.chosen();
    const auto sequence = request[f225::requestSeqNum].integer();
    const auto wanted =
        std::uint32_t(std::clamp<std::int64_t>(request[f225::bandWidth].integer(), 0, 0xFFFFFFFF));
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
        reply = newMessage(f225::bandwidthConfirm, body);
        body->field(f225::bandWidth).setInteger(wanted);
    } else {
        reply = newMessage(f225::bandwidthReject, body);
        body->field(f225::rejectReason)
            .choose(rate ? f225::insufficientResources : f225::invalidConferenceID);
        body->field(f225::allowedBandWidth).setInteger(rate.value_or(0));
    }
    body->field(f225::requestSeqNum).setInteger(sequence);
    authenticate(*body);
    send(reply, from);
}

void RasClient::handleDisengageRequest(const asn::Value& message,
                                       const asio::ip::udp::endpoint& from)
{
    const auto& request = message.chosen();
    const auto sequence = request[f225::requestSeqNum].integer();
    const std::string reason(request[f225::disengageReason].choiceName());
    std::function<void(const std::string&)> disengaged;
    std::string rejection;
    {
        std::lock_guard lock(mutex_);
        RasCall call;
        if (std::string(request[f225::endpointIdentifier].text()) != endpointId_) {
            rejection = f225::notRegistered; // not addressed to us as registered now
        } else if (const auto* follower = findFollowed(request, &call)) {
            disengaged = follower->disengaged;
            followed_.erase(call.callId); // over: nothing more of ours about it
        } else if (endedLately(request)) {
            // Ours ended a moment ago and our disengage crossed the gatekeeper's: it is
            // over on both sides.
        } else {
            rejection = f225::requestToDropOther; // a call that is not ours
        }
    }
    asn::Value* body = nullptr;
    asn::Value reply = rejection.empty() ? newMessage(f225::disengageConfirm, body)
                                         : newMessage(f225::disengageReject, body);
    body->field(f225::requestSeqNum).setInteger(sequence);
    if (!rejection.empty())
        body->field(f225::rejectReason).choose(rejection);
    authenticate(*body);
    send(reply, from);
    if (disengaged)
        disengaged(reason.empty() ? std::string(f225::undefinedReason) : reason);
}

void RasClient::handleInfoRequest(const asn::Value& message, const asio::ip::udp::endpoint& from)
{
    const auto& request = message.chosen();
    const auto sequence = request[f225::requestSeqNum].integer();
    // Call reference 0 asks about every call; another names one (with its identifier).
    const auto reference = request[f225::callReferenceValue].integer();
    const h225::Guid callId = h225::guidOf(request[f225::callIdentifier][f225::guid]);
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
        response.chosen().field(f225::irrStatus).choose(f225::invalidCall);
    send(response, from);
}

namespace {

void setChannel(asn::Value& channel, const ChannelAddresses& addresses)
{
    if (addresses.send)
        h225::setTransportAddress(channel.field(f225::sendAddress), *addresses.send);
    if (addresses.receive)
        h225::setTransportAddress(channel.field(f225::recvAddress), *addresses.receive);
}

} // namespace

void RasClient::fillCallInfo(asn::Value& info, const RasCall& call, const CallReport& report) const
{
    info.field(f225::callReferenceValue).setInteger(call.callReference);
    h225::setGuid(info.field(f225::conferenceID), call.conferenceId);
    info.field(f225::originator).setBoolean(report.originator);
    for (const auto& session : report.sessions) {
        if (session.data) {
            setChannel(info.field(f225::data).append(), session.rtp);
            continue;
        }
        asn::Value& rtp = info.field(session.video ? f225::video : f225::audio).append();
        setChannel(rtp.field(f225::rtpAddress), session.rtp);
        setChannel(rtp.field(f225::rtcpAddress), session.rtcp);
        rtp.field(f225::cname).setText("kestrovia");
        rtp.field(f225::ssrc).setInteger(std::max<std::uint32_t>(1, session.ssrc));
        rtp.field(f225::sessionId).setInteger(std::clamp(session.sessionId, 1u, 255u));
        rtp.field(f225::associatedSessionIds);
    }
    setChannel(info.field(f225::h245), report.h245);
    setChannel(info.field(f225::callSignalling), report.signalling);
    info.field(f225::callType).choose(f225::pointToPoint);
    info.field(f225::bandWidth).setInteger(report.bandwidth);
    info.field(f225::callModel)
        .choose(report.gatekeeperRouted ? f225::gatekeeperRouted : f225::direct);
    h225::setGuid(info.field(f225::callIdentifier).field(f225::guid), call.callId);
    info.field(f225::substituteConfIDs);
}

asn::Value RasClient::infoResponse(std::int64_t sequence,
                                   const std::vector<std::pair<RasCall, CallReport>>& calls,
                                   bool unsolicited)
{
    asn::Value* body = nullptr;
    auto response = newMessage(f225::infoRequestResponse, body);
    body->field(f225::requestSeqNum).setInteger(sequence);
    h225::setEndpointType(body->field(f225::endpointType), config_.identity);
    body->field(f225::endpointIdentifier)
        .setText(endpointIdentifier().empty() ? "-" : endpointIdentifier());
    h225::setTransportAddress(body->field(f225::rasAddress), rasAddress());
    h225::setTransportAddress(body->field(f225::callSignalAddress).append(), signalAddress());
    fillAliases(body->field(f225::endpointAlias));
    if (!calls.empty()) {
        asn::Value& list = body->field(f225::perCallInfo);
        for (const auto& [call, report] : calls)
            fillCallInfo(list.append(), call, report);
    }
    body->field(f225::needResponse).setBoolean(false);
    body->field(f225::unsolicited).setBoolean(unsolicited);
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
    auto arq = newMessage(f225::admissionRequest, body);
    body->field(f225::callType).choose(f225::pointToPoint);
    body->field(f225::callModel).choose(f225::direct);
    fillCallIdentity(*body, call);
    if (call.answer) {
        fillAliases(body->field(f225::destinationInfo));
        h225::setTransportAddress(body->field(f225::destCallSignalAddress), signalAddress());
        if (!call.sourceAlias.empty())
            h225::setAlias(body->field(f225::srcInfo).append(), call.sourceAlias);
        else
            body->field(f225::srcInfo);
    } else {
        if (!call.destinationAlias.empty())
            h225::setAlias(body->field(f225::destinationInfo).append(), call.destinationAlias);
        if (call.destinationAddress)
            h225::setTransportAddress(body->field(f225::destCallSignalAddress),
                                      *call.destinationAddress);
        fillAliases(body->field(f225::srcInfo));
        h225::setTransportAddress(body->field(f225::srcCallSignalAddress), signalAddress());
    }
    body->field(f225::bandWidth).setInteger(call.bandwidth);
    body->field(f225::activeMC).setBoolean(false);
    body->field(f225::answerCall).setBoolean(call.answer);
    body->field(f225::canMapAlias).setBoolean(false);
    body->field(f225::willSupplyUUIEs).setBoolean(false);
    body->field(f225::canMapSrcAlias).setBoolean(false);
    authenticate(*body);
    transactLater(
        std::move(arq), gatekeeperEndpoint(), {f225::admissionConfirm, f225::admissionReject},
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
            if (answer->is(f225::admissionReject)) {
                admission.rejectReason = std::string(reply[f225::rejectReason].choiceName());
                done(admission);
                return;
            }
            admission.admitted = true;
            admission.destination = h225::transportAddressOf(reply[f225::destCallSignalAddress]);
            admission.gatekeeperRouted = reply[f225::callModel].is(f225::gatekeeperRouted);
            admission.bandwidth = std::uint32_t(reply[f225::bandWidth].integer());
            if (reply.has(f225::irrFrequency))
                admission.irrFrequency = unsigned(reply[f225::irrFrequency].integer());
            done(admission);
        });
}

asn::Value RasClient::disengageRequest(const RasCall& call, const std::string& reason)
{
    {
        // Over: the gatekeeper's bandwidth requests for it are refused from now on, its
        // own disengage of it confirmed for a while.
        std::lock_guard lock(mutex_);
        followed_.erase(call.callId);
        const auto now = Clock::now();
        std::erase_if(ended_, [&](const auto& entry) {
            return now - entry.second.second > EndedCallMemory;
        });
        if (ended_.size() < MaxEndedCalls)
            ended_[call.callId] = {call.conferenceId, now};
    }
    asn::Value* body = nullptr;
    auto drq = newMessage(f225::disengageRequest, body);
    fillCallIdentity(*body, call);
    body->field(f225::disengageReason)
        .choose(reason == f225::forcedDrop || reason == f225::undefinedReason ? reason
                                                                              : f225::normalDrop);
    body->field(f225::answeredCall).setBoolean(call.answer);
    authenticate(*body);
    return drq;
}

bool RasClient::disengage(const RasCall& call, const std::string& reason)
{
    auto answer = transact(disengageRequest(call, reason), gatekeeperEndpoint(),
                           {f225::disengageConfirm, f225::disengageReject});
    return answer && answer->is(f225::disengageConfirm);
}

void RasClient::disengageLater(const RasCall& call, const std::string& reason)
{
    {
        std::lock_guard lock(mutex_);
        disengages_.emplace_back(call, reason);
    }
    wakeKeeper();
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
    auto brq = newMessage(f225::bandwidthRequest, body);
    fillCallIdentity(*body, call);
    body->field(f225::callType).choose(f225::pointToPoint);
    body->field(f225::bandWidth).setInteger(bandwidth);
    body->field(f225::answeredCall).setBoolean(call.answer);
    authenticate(*body);
    transactLater(std::move(brq), gatekeeperEndpoint(),
                  {f225::bandwidthConfirm, f225::bandwidthReject},
                  [done = std::move(done)](std::optional<asn::Value> answer) {
                      BandwidthAnswer result;
                      if (answer) {
                          result.answered = true;
                          result.granted = answer->is(f225::bandwidthConfirm);
                          const auto& reply = answer->chosen();
                          const std::string_view field =
                              result.granted ? f225::bandWidth : f225::allowedBandWidth;
                          if (reply.has(field))
                              result.bandwidth = std::uint32_t(
                                  std::clamp<std::int64_t>(reply[field].integer(), 0, 0xFFFFFFFF));
                      }
                      done(result);
                  });
}

} // namespace voip::h323
