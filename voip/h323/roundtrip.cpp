#include "voip/h323/roundtrip.h"

#include "voip/base/trace.h"
#include "voip/h245/message.h"

namespace voip::h323 {

RoundTrip::RoundTrip(ControlLink& link, std::chrono::milliseconds answerTime,
                     std::chrono::milliseconds interval)
    : link_(link)
    , answerTime_(answerTime)
    , interval_(interval)
{
    answerTimer_ = link_.timer([this] {
        VOIP_TRACE(1, "H323\tNo RoundTripDelayResponse in time on " << link_.describe());
        link_.fail(EndReason::TransportFail);
    });
    intervalTimer_ = link_.timer([this] {
        measure();
        startKeepAlive();
    });
}

void RoundTrip::measure()
{
    if (pending_)
        return;
    ++sequence_;
    pending_ = true;
    sent_ = std::chrono::steady_clock::now();
    link_.send(h245::buildRoundTripDelayRequest(sequence_));
    answerTimer_->start(answerTime_);
}

void RoundTrip::startKeepAlive()
{
    intervalTimer_->start(interval_);
}

void RoundTrip::stopKeepAlive()
{
    intervalTimer_->cancel();
}

void RoundTrip::onRequest(const asn::Value& message)
{
    if (auto sequence = h245::readRoundTripDelaySequence(message))
        link_.send(h245::buildRoundTripDelayResponse(*sequence));
}

void RoundTrip::onResponse(const asn::Value& message)
{
    auto sequence = h245::readRoundTripDelaySequence(message);
    if (!sequence || !pending_ || *sequence != sequence_)
        return;
    pending_ = false;
    answerTimer_->cancel();
    std::lock_guard lock(mutex_);
    delay_ = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - sent_);
}

std::optional<std::chrono::microseconds> RoundTrip::delay() const
{
    std::lock_guard lock(mutex_);
    return delay_;
}

} // namespace voip::h323
