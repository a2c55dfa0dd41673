// The RAS client's requests and their retries: waited for, or answered later on the
// client's event loop.

#include "voip/h323/rasclient.h"
#include "voip/h323/fields.h"

#include <algorithm>

#include "voip/base/trace.h"

namespace voip::h323 {

std::pair<std::uint16_t, std::shared_ptr<RasClient::Waiter>>
RasClient::newRequest(asn::Value& message, std::initializer_list<std::string_view> answers)
{
    const std::uint16_t sequence = nextSequence();
    message.chosen().field(f225::requestSeqNum).setInteger(sequence);
    auto waiter = std::make_shared<Waiter>();
    for (auto name : answers)
        waiter->answers.emplace_back(name);
    waiter->answers.emplace_back(f225::requestInProgress);
    return {sequence, waiter};
}

RasClient::Clock::time_point RasClient::inProgressUntil(const asn::Value& inProgress)
{
    // The gatekeeper needs longer: it says how long (milliseconds).
    const auto delay = inProgress.chosen()[f225::delay].integer();
    return Clock::now() + std::chrono::milliseconds(std::clamp<std::int64_t>(delay, 1, 65535));
}

std::optional<asn::Value> RasClient::transact(asn::Value message, const asio::ip::udp::endpoint& to,
                                              std::initializer_list<std::string_view> answers,
                                              bool anySource)
{
    if (onEventLoop()) {
        // Its answer would be read by this very thread: never wait for it here.
        VOIP_TRACE(1, "RAS\t" << message.choiceName() << " not sent: asked on the event loop");
        return std::nullopt;
    }
    const auto [sequence, waiter] = newRequest(message, answers);
    waiter->anySource = anySource;
    {
        std::lock_guard lock(mutex_);
        waiting_[sequence] = waiter;
    }
    std::optional<asn::Value> result;
    auto wait = config_.timeout;
    for (unsigned attempt = 0; attempt <= config_.retries && !stopping_; ++attempt) {
        if (!send(message, to))
            break;
        std::unique_lock lock(mutex_);
        auto deadline = Clock::now() + wait;
        for (;;) {
            changed_.wait_until(lock, deadline,
                                [this, &w = *waiter] { return w.answer || stopping_; });
            if (!waiter->answer)
                break;
            if (!waiter->answer->is(f225::requestInProgress)) {
                result = std::move(waiter->answer);
                break;
            }
            deadline = inProgressUntil(*waiter->answer);
            waiter->answer.reset();
        }
        if (result)
            break;
        if (waiter->rejection) {
            result = std::move(waiter->rejection); // nobody else answered: refused
            break;
        }
        wait *= 2;
    }
    std::lock_guard lock(mutex_);
    waiting_.erase(sequence);
    return result;
}

void RasClient::transactLater(asn::Value message, const asio::ip::udp::endpoint& to,
                              std::initializer_list<std::string_view> answers,
                              std::function<void(std::optional<asn::Value>)> done, bool anySource,
                              std::function<void()> late)
{
    const auto [sequence, waiter] = newRequest(message, answers);
    waiter->anySource = anySource;
    waiter->late = std::move(late);
    waiter->message = std::move(message);
    waiter->to = to;
    waiter->wait = config_.timeout;
    waiter->deadline = Clock::now() + waiter->wait;
    {
        // Only while the socket is read: the event loop alone ends such requests.
        std::lock_guard lock(mutex_);
        if (reading_) {
            waiter->done = std::move(done);
            waiting_[sequence] = waiter;
        }
    }
    if (!waiter->done) {
        done(std::nullopt);
        return;
    }
    if (!send(waiter->message, to)) {
        std::unique_lock lock(mutex_);
        const auto found = waiting_.find(sequence);
        if (found == waiting_.end() || found->second != waiter)
            return; // already ended on the event loop
        waiting_.erase(found);
        lock.unlock();
        waiter->done(std::nullopt);
        return;
    }
    post([this] { armRetry(); });
}

void RasClient::armRetry()
{
    std::optional<Clock::time_point> next;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [sequence, waiter] : waiting_)
            if (waiter->done && (!next || waiter->deadline < *next))
                next = waiter->deadline;
    }
    if (!next || stopping_)
        return;
    retryTimer_->expires_at(*next);
    retryTimer_->async_wait([this](const asio::error_code& error) {
        if (error || stopping_)
            return;
        retryLater(false);
        armRetry();
    });
}

void RasClient::retryLater(bool giveUp)
{
    std::vector<std::shared_ptr<Waiter>> resend;
    std::vector<std::function<void()>> late;
    std::vector<std::pair<std::shared_ptr<Waiter>, std::optional<asn::Value>>> ended;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            Waiter& waiter = *it->second;
            if (!waiter.done || (!giveUp && now < waiter.deadline)) {
                ++it;
                continue;
            }
            if (!giveUp && waiter.rejection) {
                // Refused, and nobody else answered in time.
                ended.emplace_back(it->second, std::move(waiter.rejection));
                it = waiting_.erase(it);
                continue;
            }
            if (!giveUp && waiter.attempt < config_.retries) {
                if (waiter.attempt == 0 && waiter.late)
                    late.push_back(std::exchange(waiter.late, {}));
                ++waiter.attempt;
                waiter.wait *= 2;
                waiter.deadline = now + waiter.wait;
                resend.push_back(it->second);
                ++it;
                continue;
            }
            ended.emplace_back(it->second, std::nullopt);
            it = waiting_.erase(it);
        }
    }
    for (const auto& waiter : resend)
        send(waiter->message, waiter->to);
    for (auto& told : late)
        told();
    for (auto& [waiter, answer] : ended)
        waiter->done(std::move(answer));
}

} // namespace voip::h323
