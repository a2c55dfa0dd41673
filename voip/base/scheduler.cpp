#include "voip/base/scheduler.h"

namespace voip {

Scheduler::~Scheduler()
{
    if (thread_.joinable())
        thread_.detach(); // only reached on the thread itself, after stop()
}

void Scheduler::after(Clock::duration delay, std::function<void()> job)
{
    std::lock_guard lock(mutex_);
    if (stopping_)
        return;
    jobs_.emplace(Clock::now() + delay, std::move(job));
    if (!thread_.joinable())
        thread_ = std::thread([self = shared_from_this()] { self->run(); });
    wake_.notify_one();
}

void Scheduler::stop()
{
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
        wake_.notify_one();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
            thread.swap(thread_);
    }
    if (thread.joinable())
        thread.join();
}

void Scheduler::run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (jobs_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto due = jobs_.begin()->first;
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        auto job = std::move(jobs_.begin()->second);
        jobs_.erase(jobs_.begin());
        lock.unlock();
        job();
        job = nullptr; // drop what the job holds before taking the lock again
        lock.lock();
    }
}

} // namespace voip
