#pragma once
// Waiting in tests for what another thread, process or peer brings about.

#include <chrono>
#include <functional>
#include <thread>

namespace kxtest {

/// Asks `done` every 5 ms until it holds or `timeout` has passed, and gives its last
/// answer. The timeout only bounds a failing test: a passing one returns at once.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace kxtest
