#include "voip/h323/masterslave.h"

#include "voip/base/trace.h"
#include "voip/h245/message.h"

namespace voip::h323 {

namespace {

constexpr std::uint8_t TerminalTypeH323 = 50; // a terminal without an MC
constexpr unsigned MaxRetries = 3;
constexpr std::uint32_t Half = 0x800000;
constexpr std::uint32_t Mask = 0xFFFFFF;

} // namespace

MasterSlave::MasterSlave(ControlLink& link, std::chrono::milliseconds answerTime,
                         std::function<std::uint32_t()> draw,
                         std::function<void(bool master)> decided)
    : link_(link)
    , answerTime_(answerTime)
    , draw_(std::move(draw))
    , decided_(std::move(decided))
    , number_(draw_() & Mask)
{
    timer_ = link_.timer([this] {
        VOIP_TRACE(1, "H323\tNo master/slave determination answer in time on "
                          << link_.describe());
        link_.fail(EndReason::TransportFail);
    });
}

void MasterSlave::start()
{
    // A peer that started first has already been answered: its determination is ours.
    if (state_ == State::Idle)
        send();
}

void MasterSlave::transportReady()
{
    if (state_ == State::Outgoing)
        timer_->start(answerTime_);
}

void MasterSlave::reset()
{
    state_ = State::Idle;
    timer_->cancel();
}

void MasterSlave::send()
{
    state_ = State::Outgoing;
    h245::MasterSlaveDetermination request;
    request.terminalType = TerminalTypeH323;
    request.statusDeterminationNumber = number_;
    link_.send(h245::buildMasterSlaveDetermination(request));
    if (link_.transportReady())
        timer_->start(answerTime_);
}

bool MasterSlave::retry()
{
    if (state_ != State::Outgoing || ++retries_ > MaxRetries)
        return false;
    // A fresh number: one derived from the old would keep two such sides 2^23 apart.
    number_ = draw_() & Mask;
    send();
    return true;
}

void MasterSlave::onRequest(const asn::Value& message)
{
    auto request = h245::readMasterSlaveDetermination(message);
    if (!request)
        return;
    bool master = false;
    if (request->terminalType != TerminalTypeH323) {
        master = request->terminalType < TerminalTypeH323;
    } else {
        const std::uint32_t difference = (request->statusDeterminationNumber - number_) & Mask;
        if (difference == 0 || difference == Half) {
            // Indeterminate: both sides draw new numbers.
            link_.send(h245::buildMasterSlaveDeterminationReject());
            retry();
            return;
        }
        master = difference < Half;
    }
    master_ = master;
    link_.send(h245::buildMasterSlaveDeterminationAck(
        master ? h245::MasterSlaveDecision::Slave : h245::MasterSlaveDecision::Master));
    if (state_ != State::Done) {
        state_ = State::Incoming;
        timer_->start(answerTime_);
    }
}

void MasterSlave::onAck(const asn::Value& message)
{
    auto decision = h245::readMasterSlaveDeterminationAck(message);
    if (!decision)
        return;
    const bool master = *decision == h245::MasterSlaveDecision::Master;
    if (state_ == State::Outgoing)
        link_.send(h245::buildMasterSlaveDeterminationAck(
            master ? h245::MasterSlaveDecision::Slave : h245::MasterSlaveDecision::Master));
    decide(master);
}

void MasterSlave::onReject()
{
    if (!retry())
        link_.fail(EndReason::TransportFail);
}

void MasterSlave::decide(bool master)
{
    master_ = master;
    state_ = State::Done;
    timer_->cancel();
    VOIP_TRACE(3, "H323\t" << (master ? "Master" : "Slave") << " on " << link_.describe());
    if (decided_)
        decided_(master);
}

} // namespace voip::h323
