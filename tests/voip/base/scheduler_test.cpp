// Jobs run later on one thread: in time order, not before their time, and none after
// the scheduler stops.

#include <atomic>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "voip/base/scheduler.h"

#include "tests/support/eventually.h"

namespace voip {
namespace {

using namespace std::chrono_literals;
using Clock = Scheduler::Clock;

TEST(Scheduler, ManyJobsRunInTimeOrderOnOneThreadAndNoneEarly)
{
    auto scheduler = std::make_shared<Scheduler>();
    std::mutex mutex;
    std::vector<int> order;
    std::set<std::thread::id> threads;
    std::atomic<bool> early{false};
    const auto start = Clock::now();
    for (int i : {5, 1, 4, 2, 3, 0}) {
        const auto delay = 20ms * i;
        scheduler->after(delay, [&, i, delay] {
            early = early || Clock::now() - start < delay;
            std::lock_guard lock(mutex);
            order.push_back(i);
            threads.insert(std::this_thread::get_id());
        });
    }
    ASSERT_TRUE(kxtest::eventually([&] {
        std::lock_guard lock(mutex);
        return order.size() == 6;
    }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    EXPECT_FALSE(early);
    scheduler->stop();
}

TEST(Scheduler, StoppingDropsWhatIsNotDueAndWaitsForTheJobRunning)
{
    auto scheduler = std::make_shared<Scheduler>();
    std::atomic<bool> running{false}, finished{false}, late{false};
    scheduler->after(0ms, [&] {
        running = true;
        std::this_thread::sleep_for(100ms);
        finished = true;
    });
    scheduler->after(10s, [&] { late = true; });
    ASSERT_TRUE(kxtest::eventually([&] { return running.load(); }));
    scheduler->stop();
    EXPECT_TRUE(finished) << "stop returns once the job running is over";
    scheduler->after(0ms, [&] { late = true; });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(late);

    // A job may drop the last reference to the scheduler and stop it from its own thread.
    auto owned = std::make_shared<Scheduler>();
    std::atomic<bool> done{false};
    owned->after(0ms, [&, keep = owned]() mutable {
        keep->stop();
        keep.reset();
        done = true;
    });
    owned.reset();
    EXPECT_TRUE(kxtest::eventually([&] { return done.load(); }));
}

} // namespace
} // namespace voip
