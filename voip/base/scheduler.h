#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace voip {

/// Runs jobs at given times, in time order, on one thread of its own started with the
/// first job: however many jobs wait, they cost one thread.  The thread holds the
/// scheduler, so a job that drops the last reference to the scheduler's owner does not
/// destroy the scheduler under its own thread.  Jobs must not block for long: the later
/// ones wait for them.
class Scheduler : public std::enable_shared_from_this<Scheduler>
{
public:
    using Clock = std::chrono::steady_clock;

    ~Scheduler();

    /// Runs `job` once `delay` has passed; nothing once stopped.
    void after(Clock::duration delay, std::function<void()> job);
    /// Drops the jobs not run yet and ends the thread; waits for it (and a job it is
    /// running) unless called on it.
    void stop();

private:
    void run();

    std::mutex mutex_; // guards the members below
    std::condition_variable wake_;
    std::multimap<Clock::time_point, std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace voip
