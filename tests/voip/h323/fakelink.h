#pragma once

// A call's H.245 link as one procedure sees it, for driving the procedure without sockets.

#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "voip/h245/message.h"
#include "voip/h323/controllink.h"

namespace kxtest {

namespace asn = voip::asn;
namespace h245 = voip::h245;
using std::chrono::milliseconds;
using voip::EndReason;
using voip::h323::ControlLink;
using voip::h323::ControlTimer;

/// A call as the procedures see it: what they send is kept, timers run when expired.
struct FakeLink : ControlLink
{
    struct Timer : ControlTimer
    {
        Timer(std::function<void()> job, std::vector<Timer*>& all)
            : job(std::move(job))
            , all(all)
        {
            all.push_back(this);
        }
        ~Timer() override { std::erase(all, this); }
        void start(milliseconds after) override
        {
            if (after.count() > 0)
                running = after;
        }
        void cancel() override { running.reset(); }
        std::function<void()> job;
        std::vector<Timer*>& all;
        std::optional<milliseconds> running;
    };

    void send(const asn::Value& message) override { sent.push_back(message); }
    bool transportReady() const override { return ready; }
    void fail(EndReason reason) override { failed = reason; }
    std::unique_ptr<ControlTimer> timer(std::function<void()> job) override
    {
        return std::make_unique<Timer>(std::move(job), timers);
    }
    std::string describe() const override { return "test call"; }

    /// The one timer running; fails the test when none or several run.
    Timer& runningTimer()
    {
        Timer* found = nullptr;
        for (Timer* timer : timers)
            if (timer->running) {
                EXPECT_EQ(found, nullptr) << "two timers run";
                found = timer;
            }
        EXPECT_NE(found, nullptr) << "no timer runs";
        if (!found) {
            // Failed above; a timer of no one's, so that the test goes on to its end.
            static std::vector<Timer*> nobody;
            static Timer idle([] {}, nobody);
            return idle;
        }
        return *found;
    }
    bool anyTimerRunning() const
    {
        return std::any_of(timers.begin(), timers.end(), [](Timer* t) { return bool(t->running); });
    }
    void expire(Timer& timer)
    {
        timer.running.reset();
        timer.job();
    }
    /// Takes the oldest message sent.
    asn::Value take()
    {
        EXPECT_FALSE(sent.empty());
        if (sent.empty())
            return {};
        asn::Value first = sent.front();
        sent.pop_front();
        return first;
    }
    static h245::MessageId idOf(const asn::Value& message)
    {
        auto kind = h245::kindOf(message);
        return kind ? kind->id : h245::MessageId::Other;
    }

    std::deque<asn::Value> sent;
    bool ready = true;
    std::optional<EndReason> failed;
    std::vector<Timer*> timers;
};

} // namespace kxtest
