#pragma once

// A user-space impaired path for UDP on 127.0.0.1: what arrives on its port goes on to a
// destination, some of it lost at random, lost whole during outages, or swapped with the
// next datagram.  A fixed seed gives the same run every time.  Shared by the loss tests and
// bench/.

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace kxtest {

class UdpImpairer
{
public:
    using Clock = std::chrono::steady_clock;

    std::atomic<int> lossPercent{0};
    std::atomic<int> swapPercent{0};
    /// Everything is lost for `outage` at the end of every `outageEvery` (none when 0).
    std::atomic<std::chrono::milliseconds> outage{std::chrono::milliseconds(0)};
    std::atomic<std::chrono::milliseconds> outageEvery{std::chrono::milliseconds(0)};

    explicit UdpImpairer(asio::ip::udp::endpoint destination, unsigned seed = 1234)
        : socket_(io_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0))
        , destination_(destination)
        , seed_(seed)
    {
        socket_.non_blocking(true);
        thread_ = std::thread([this] { run(); });
    }
    ~UdpImpairer()
    {
        stop_ = true;
        thread_.join();
    }
    UdpImpairer(const UdpImpairer&) = delete;
    UdpImpairer& operator=(const UdpImpairer&) = delete;

    std::uint16_t port() const { return socket_.local_endpoint().port(); }
    std::uint64_t lost() const { return lost_; }
    std::uint64_t swapped() const { return swapped_; }
    std::uint64_t passed() const { return passed_; }

private:
    bool inOutage(Clock::time_point now) const
    {
        const auto every = outageEvery.load();
        if (every.count() <= 0)
            return false;
        const auto into = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
        return into % every >= every - outage.load();
    }

    void run()
    {
        std::mt19937 random(seed_);
        std::vector<std::uint8_t> buffer(65536), held;
        while (!stop_) {
            asio::ip::udp::endpoint from;
            asio::error_code error;
            const auto size = socket_.receive_from(asio::buffer(buffer), from, 0, error);
            if (error) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            std::vector<std::uint8_t> packet(buffer.begin(), buffer.begin() + std::ptrdiff_t(size));
            if (int(random() % 100) < lossPercent || inOutage(Clock::now())) {
                ++lost_;
                continue;
            }
            if (held.empty() && int(random() % 100) < swapPercent) {
                held = std::move(packet); // goes out after the next one
                ++swapped_;
                continue;
            }
            socket_.send_to(asio::buffer(packet), destination_, 0, error);
            ++passed_;
            if (!held.empty()) {
                socket_.send_to(asio::buffer(held), destination_, 0, error);
                held.clear();
            }
        }
    }

    asio::io_context io_;
    asio::ip::udp::socket socket_;
    asio::ip::udp::endpoint destination_;
    const unsigned seed_;
    const Clock::time_point start_ = Clock::now();
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> lost_{0}, swapped_{0}, passed_{0};
};

} // namespace kxtest
