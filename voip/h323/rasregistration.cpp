// The RAS client's registration with its gatekeeper: discovery, registration and its
// keep-alive, and the leave it takes (the last disengages, then the unregistration).

#include "voip/h323/rasclient.h"
#include "voip/h323/fields.h"
#include "voip/h323/ipaddress.h"

#include "voip/base/trace.h"
#include "voip/h225/message.h"

namespace voip::h323 {

void RasClient::registerOnce(bool keepAlive, std::function<void(RasState)> done)
{
    if (keepAlive)
        return requestRegistration(true, gatekeeperEndpoint(), std::move(done));
    asn::Value* body = nullptr;
    auto grq = newMessage(f225::gatekeeperRequest, body);
    h225::setProtocolIdentifier(body->field(f225::protocolIdentifier));
    h225::setTransportAddress(body->field(f225::rasAddress), rasAddress());
    h225::setEndpointType(body->field(f225::endpointType), config_.identity);
    fillAliases(body->field(f225::endpointAlias));
    if (!config_.password.empty()) {
        body->field(f225::authenticationCapability).append().choose(f225::pwdHash);
        body->field(f225::algorithmOIDs).append().setOid(h225::Md5Oid);
    }
    {
        std::lock_guard lock(mutex_);
        traversal_.offer(*body);
    }
    const bool multicast = discovering();
    const auto target = multicast ? discovery_ : gatekeeperEndpoint();
    transactLater(
        std::move(grq), target, {f225::gatekeeperConfirm, f225::gatekeeperReject},
        [this, multicast, target, done = std::move(done)](std::optional<asn::Value> answer) {
            if (registrationEnded(answer, done))
                return;
            if (answer->is(f225::gatekeeperReject)) {
                setState(RasState::Rejected,
                         std::string(answer->chosen()[f225::rejectReason].choiceName()));
                return done(RasState::Rejected);
            }
            const auto& confirm = answer->chosen();
            {
                std::lock_guard lock(mutex_);
                gatekeeperId_ = confirm.has(f225::gatekeeperIdentifier)
                                    ? std::string(confirm[f225::gatekeeperIdentifier].text())
                                    : std::string();
            }
            auto gatekeeper = target;
            if (const auto address = h225::transportAddressOf(confirm[f225::rasAddress])) {
                gatekeeper = {toAddress(*address), address->port};
            } else if (multicast) {
                setState(RasState::Unreachable, "the gatekeeper found gave no RAS address");
                return done(RasState::Unreachable);
            }
            useGatekeeper(gatekeeper, io_);
            requestRegistration(false, gatekeeper, done);
        },
        multicast, [this] { registrationLate(); });
}

bool RasClient::registrationEnded(const std::optional<asn::Value>& answer,
                                  const std::function<void(RasState)>& done)
{
    if (keeperStopping_) {
        done(state());
        return true;
    }
    if (!answer) {
        setState(RasState::Unreachable, "the gatekeeper does not answer");
        done(RasState::Unreachable);
        return true;
    }
    return false;
}

void RasClient::requestRegistration(bool keepAlive, const asio::ip::udp::endpoint& gatekeeper,
                                    std::function<void(RasState)> done)
{
    asn::Value* body = nullptr;
    auto rrq = newMessage(f225::registrationRequest, body);
    h225::setProtocolIdentifier(body->field(f225::protocolIdentifier));
    body->field(f225::discoveryComplete).setBoolean(true);
    h225::setTransportAddress(body->field(f225::callSignalAddress).append(), signalAddress());
    h225::setTransportAddress(body->field(f225::rasAddress).append(), rasAddress());
    h225::setEndpointType(body->field(f225::terminalType), config_.identity);
    fillAliases(body->field(f225::terminalAlias));
    const std::string gatekeeperId = gatekeeperIdentifier();
    if (!gatekeeperId.empty())
        body->field(f225::gatekeeperIdentifier).setText(gatekeeperId);
    h225::setVendorIdentifier(body->field(f225::endpointVendor), config_.identity);
    // A keep-alive asks for what the gatekeeper granted: asking again for more reads as
    // a request the gatekeeper has already turned down.
    std::chrono::seconds timeToLive = config_.timeToLive;
    {
        std::lock_guard lock(mutex_);
        if (keepAlive && timeToLive_.count() > 0)
            timeToLive = timeToLive_;
    }
    body->field(f225::timeToLive).setInteger(std::max<std::int64_t>(1, timeToLive.count()));
    body->field(f225::keepAlive).setBoolean(keepAlive);
    if (keepAlive)
        body->field(f225::endpointIdentifier).setText(endpointIdentifier());
    body->field(f225::willSupplyUUIEs).setBoolean(false);
    body->field(f225::maintainConnection).setBoolean(false);
    {
        std::lock_guard lock(mutex_);
        traversal_.offer(*body);
    }
    authenticate(*body);
    transactLater(
        std::move(rrq), gatekeeper, {f225::registrationConfirm, f225::registrationReject},
        [this, keepAlive, done = std::move(done)](std::optional<asn::Value> answer) {
            if (registrationEnded(answer, done))
                return;
            if (answer->is(f225::registrationReject)) {
                const std::string reason(answer->chosen()[f225::rejectReason].choiceName());
                if (keepAlive && (reason == f225::fullRegistrationRequired ||
                                  reason == f225::discoveryRequired)) {
                    // The gatekeeper forgot us (it restarted): register afresh at once.
                    {
                        std::lock_guard lock(mutex_);
                        reregister_ = true;
                    }
                    return done(RasState::Registering);
                }
                setState(RasState::Rejected, reason);
                return done(RasState::Rejected);
            }
            const auto& confirm = answer->chosen();
            {
                std::lock_guard lock(mutex_);
                if (!keepAlive || confirm.has(f225::endpointIdentifier))
                    endpointId_ = std::string(confirm[f225::endpointIdentifier].text());
                if (confirm.has(f225::gatekeeperIdentifier))
                    gatekeeperId_ = std::string(confirm[f225::gatekeeperIdentifier].text());
                timeToLive_ = confirm.has(f225::timeToLive)
                                  ? std::chrono::seconds(std::clamp<std::int64_t>(
                                        confirm[f225::timeToLive].integer(), 1, 24 * 3600))
                                  : std::chrono::seconds(0);
                const auto ttl = timeToLive_.count() > 0 ? timeToLive_ : config_.timeToLive;
                keepAliveAt_ = Clock::now() + renewalDelay(ttl);
                traversal_.confirmed(confirm, keepAlive);
            }
            setState(RasState::Registered);
            done(RasState::Registered);
        },
        false, keepAlive ? std::function<void()>() : [this] { registrationLate(); });
}

void RasClient::registrationLate()
{
    if (state() == RasState::Registering && !keeperStopping_)
        setState(RasState::Unreachable, "the gatekeeper does not answer");
}

std::chrono::milliseconds RasClient::renewalDelay(std::chrono::seconds timeToLive)
{
    // Renewed well before it runs out, allowing for a lost datagram and its retry: at
    // least 5 s early (what a NAT-crossing registration of 19 s needs), and a quarter of
    // a long one.
    const std::chrono::milliseconds lifetime = timeToLive;
    const auto early = std::max<std::chrono::milliseconds>(std::chrono::seconds(5), lifetime / 4);
    return std::max<std::chrono::milliseconds>(std::chrono::seconds(1), lifetime - early);
}

void RasClient::wakeKeeper()
{
    if (!keeperStopping_)
        post([this] { keep(); });
}

void RasClient::keep()
{
    if (stopping_ || keeperStopping_ || registering_)
        return;
    bool full = false, keepAlive = false;
    std::vector<std::pair<RasCall, std::string>> disengages;
    Clock::time_point next{};
    {
        std::lock_guard lock(mutex_);
        disengages.swap(disengages_);
        if (disengages.empty()) {
            const auto now = Clock::now();
            const bool due = reregister_ ||
                             (state_ == RasState::Registered && now >= keepAliveAt_) ||
                             (state_ == RasState::Unreachable && now >= retryAt_);
            if (!due) {
                next = state_ == RasState::Registered    ? keepAliveAt_
                       : state_ == RasState::Unreachable ? retryAt_
                                                         : Clock::time_point{};
            } else {
                full = reregister_ || state_ == RasState::Unreachable;
                keepAlive = !full;
                reregister_ = false;
            }
        }
    }
    if (!keepTimer_)
        return; // not started
    if (!disengages.empty()) {
        // Calls that ended go first, in order; the registration has its turn next.
        for (const auto& [call, reason] : disengages)
            sendDisengage(call, reason);
        return keep();
    }
    if (!full && !keepAlive) {
        if (next != Clock::time_point{}) {
            keepTimer_->expires_at(next);
            keepTimer_->async_wait([this](const asio::error_code& error) {
                if (!error)
                    keep();
            });
        }
        return;
    }
    // A gatekeeper that does not answer stays said so while it is tried again: the state
    // does not flip to registering and back at each try.
    if (full && state() != RasState::Registering && state() != RasState::Unreachable)
        setState(RasState::Registering);
    {
        std::lock_guard lock(mutex_);
        nextAttempt_.reset();
    }
    registering_ = true;
    registerOnce(keepAlive, [this](RasState result) {
        registering_ = false;
        if (result == RasState::Registered) {
            pause_ = config_.retryPause;
        } else if (result == RasState::Unreachable) {
            retryAt_ = Clock::now() + pause_;
            pause_ = std::min(pause_ * 2, config_.maxRetryPause);
            std::lock_guard lock(mutex_);
            nextAttempt_ = retryAt_;
        }
        keep();
    });
}

bool RasClient::unregister()
{
    auto urq = unregistrationRequest();
    if (!urq)
        return false;
    auto answer = transact(std::move(*urq), gatekeeperEndpoint(),
                           {f225::unregistrationConfirm, f225::unregistrationReject});
    forgetRegistration();
    return answer && answer->is(f225::unregistrationConfirm);
}

std::optional<asn::Value> RasClient::unregistrationRequest()
{
    if (endpointIdentifier().empty())
        return std::nullopt;
    asn::Value* body = nullptr;
    auto urq = newMessage(f225::unregistrationRequest, body);
    h225::setTransportAddress(body->field(f225::callSignalAddress).append(), signalAddress());
    fillAliases(body->field(f225::endpointAlias));
    body->field(f225::endpointIdentifier).setText(endpointIdentifier());
    const std::string gatekeeperId = gatekeeperIdentifier();
    if (!gatekeeperId.empty())
        body->field(f225::gatekeeperIdentifier).setText(gatekeeperId);
    authenticate(*body);
    return urq;
}

void RasClient::forgetRegistration()
{
    {
        std::lock_guard lock(mutex_);
        endpointId_.clear();
        reregister_ = false;
    }
    setState(RasState::Unregistered, "unregistered");
}

void RasClient::sayGoodbye()
{
    if (goodbyeStarted_ || stopping_)
        return;
    goodbyeStarted_ = true;
    // The registration is left alone first (one under way ends with the close); the calls
    // that ended just before are disengaged before the client unregisters.
    keeperStopping_ = true;
    if (keepTimer_)
        keepTimer_->cancel();
    for (const auto& [call, reason] : takeDisengages())
        sendDisengage(call, reason);
    // The URQ waits for every disengage's answer, those sent before the leave too: a
    // gatekeeper that took the URQ first would end the call itself and refuse our DRQ.
    afterDisengages([this] { unregisterThenClose(); });
}

void RasClient::sendDisengage(const RasCall& call, const std::string& reason)
{
    ++disengagesWaiting_;
    transactLater(disengageRequest(call, reason), gatekeeperEndpoint(),
                  {f225::disengageConfirm, f225::disengageReject},
                  [this](std::optional<asn::Value>) {
                      if (--disengagesWaiting_ > 0)
                          return;
                      for (auto& then : std::exchange(afterDisengages_, {}))
                          then();
                  });
}

void RasClient::afterDisengages(std::function<void()> then)
{
    if (disengagesWaiting_ == 0)
        return then();
    afterDisengages_.push_back(std::move(then));
}

void RasClient::unregisterThenClose()
{
    auto urq = state() == RasState::Registered ? unregistrationRequest() : std::nullopt;
    if (!urq)
        return closeNow();
    transactLater(std::move(*urq), gatekeeperEndpoint(),
                  {f225::unregistrationConfirm, f225::unregistrationReject},
                  [this](std::optional<asn::Value>) {
                      forgetRegistration();
                      closeNow();
                  });
}

} // namespace voip::h323
