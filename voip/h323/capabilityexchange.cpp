#include "voip/h323/capabilityexchange.h"

#include "voip/base/trace.h"
#include "voip/h245/message.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

CapabilityExchange::CapabilityExchange(ControlLink& link, std::chrono::milliseconds answerTime,
                                       std::function<void()> acknowledged,
                                       std::function<void(bool changed)> received)
    : link_(link)
    , answerTime_(answerTime)
    , acknowledgedHook_(std::move(acknowledged))
    , receivedHook_(std::move(received))
{
    timer_ = link_.timer([this] {
        VOIP_TRACE(1, "H323\tNo TerminalCapabilitySetAck in time on " << link_.describe());
        link_.fail(EndReason::CapabilityExchange);
    });
}

void CapabilityExchange::offer(h245::CapabilitySet set)
{
    set.sequenceNumber = ++sequence_;
    offered_ = true;
    acknowledged_ = false;
    link_.send(h245::buildTerminalCapabilitySet(set));
    // The answer's time runs from when the set can go out.
    if (link_.transportReady())
        timer_->start(answerTime_);
}

void CapabilityExchange::transportReady()
{
    if (offered_ && !acknowledged_)
        timer_->start(answerTime_);
}

void CapabilityExchange::reset()
{
    offered_ = false;
    acknowledged_ = false;
    received_ = false;
    timer_->cancel();
}

void CapabilityExchange::onSet(const asn::Value& message)
{
    auto set = h245::readTerminalCapabilitySet(message);
    const auto sequence =
        static_cast<std::uint8_t>(h245::messageBody(message)[f245::sequenceNumber].integer());
    if (!set) {
        h245::CapabilitySetReject reject;
        reject.sequenceNumber = sequence;
        link_.send(h245::buildTerminalCapabilitySetReject(reject));
        return;
    }
    const bool changed = received_ && !(remote_ == *set);
    remote_ = std::move(set.value());
    received_ = true;
    link_.send(h245::buildTerminalCapabilitySetAck(sequence));
    if (receivedHook_)
        receivedHook_(changed);
}

void CapabilityExchange::onAck(const asn::Value& message)
{
    auto sequence = h245::readTerminalCapabilitySetAck(message);
    if (!sequence || *sequence != sequence_ || !offered_)
        return;
    acknowledged_ = true;
    timer_->cancel();
    if (acknowledgedHook_)
        acknowledgedHook_();
}

void CapabilityExchange::onReject()
{
    VOIP_TRACE(1, "H323\tCapability set rejected on " << link_.describe());
    link_.fail(EndReason::CapabilityExchange);
}

} // namespace voip::h323
