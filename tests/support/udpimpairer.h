#pragma once

// A user-space impaired path for UDP on 127.0.0.1: what arrives on its port goes on to a
// destination, as a real path would pass it.  Datagrams may be lost at random (alone or in
// bursts) or whole during outages, swapped with the next one, duplicated, delayed with
// jitter (which reorders them as a real path does), and squeezed through a bottleneck of a
// set rate whose queue drops what does not fit, as a router's does.  Each setting may
// change while datagrams flow.  A fixed seed gives the same run every time.  Shared by the
// loss tests and bench/.

#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace kxtest {

class UdpImpairer
{
public:
    using Clock = std::chrono::steady_clock;
    using Milliseconds = std::chrono::milliseconds;

    std::atomic<int> lossPercent{0};
    /// A loss takes this many datagrams in a row.
    std::atomic<int> lossBurst{1};
    std::atomic<int> swapPercent{0};
    std::atomic<int> duplicatePercent{0};
    /// Everything is lost for `outage` at the end of every `outageEvery` (none when 0).
    std::atomic<Milliseconds> outage{Milliseconds(0)};
    std::atomic<Milliseconds> outageEvery{Milliseconds(0)};
    /// Every datagram is delayed by `delay` plus up to `jitter` more, at random.
    std::atomic<Milliseconds> delay{Milliseconds(0)};
    std::atomic<Milliseconds> jitter{Milliseconds(0)};
    /// The bottleneck: bit/s (0: none), and the octets its queue holds before it drops.
    std::atomic<std::uint64_t> rateCap{0};
    std::atomic<std::uint64_t> queueLimit{12000};

    explicit UdpImpairer(asio::ip::udp::endpoint destination, unsigned seed = 1234)
        : UdpImpairer(destination, std::nullopt, seed)
    {}
    /// With a second flow (RTCP beside RTP) on its own port, through the same path and the
    /// same bottleneck queue.
    UdpImpairer(asio::ip::udp::endpoint destination,
                std::optional<asio::ip::udp::endpoint> secondDestination, unsigned seed = 1234)
        : socket_(io_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0))
        , second_(io_, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0))
        , destination_(destination)
        , secondDestination_(secondDestination.value_or(destination))
        , seed_(seed)
    {
        socket_.non_blocking(true);
        second_.non_blocking(true);
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
    std::uint16_t secondPort() const { return second_.local_endpoint().port(); }
    std::uint64_t lost() const { return lost_; }
    /// Dropped by the bottleneck's full queue.
    std::uint64_t overflowed() const { return overflowed_; }
    std::uint64_t swapped() const { return swapped_; }
    std::uint64_t passed() const { return passed_; }
    /// Octets passed on, duplicates included.  (The counts are of the first flow.)
    std::uint64_t passedBytes() const { return passedBytes_; }

private:
    bool inOutage(Clock::time_point now) const
    {
        const auto every = outageEvery.load();
        if (every.count() <= 0)
            return false;
        const auto into = std::chrono::duration_cast<Milliseconds>(now - start_);
        return into % every >= every - outage.load();
    }

    /// When the datagram leaves the bottleneck, or nothing when its queue is full.
    std::optional<Clock::time_point> throughBottleneck(std::size_t size, Clock::time_point now)
    {
        const std::uint64_t rate = rateCap;
        if (rate == 0)
            return now;
        bottleneckFree_ = std::max(bottleneckFree_, now);
        const double queued =
            std::chrono::duration<double>(bottleneckFree_ - now).count() * double(rate) / 8;
        if (queued + double(size) > double(queueLimit.load()))
            return std::nullopt;
        bottleneckFree_ +=
            std::chrono::nanoseconds(std::int64_t(double(size) * 8e9 / double(rate)));
        return bottleneckFree_;
    }

    void run()
    {
        // Each flow has its own chances, its own burst and its own datagram held for a
        // swap: the first's come the same for a seed whenever the second's datagrams fall.
        std::mt19937 firstRandom(seed_), secondRandom(seed_ + 1);
        std::vector<std::uint8_t> buffer(65536), heldOf[2];
        Clock::time_point heldSince[2];
        // Datagrams on their way; the second flow's are marked by a last octet of 1.
        std::multimap<Clock::time_point, std::vector<std::uint8_t>> line;
        int burstLeftOf[2] = {0, 0};
        while (!stop_) {
            const auto now = Clock::now();
            for (auto due = line.begin(); due != line.end() && due->first <= now;) {
                const bool second = due->second.back() == 1;
                const auto datagram = asio::buffer(due->second.data(), due->second.size() - 1);
                asio::error_code ignored;
                (second ? second_ : socket_)
                    .send_to(datagram, second ? secondDestination_ : destination_, 0, ignored);
                if (!second) {
                    ++passed_;
                    passedBytes_ += datagram.size();
                }
                due = line.erase(due);
            }
            // A datagram held back for a swap with none after it goes late, not never (the
            // last of a stream).
            for (int flow : {0, 1})
                if (!heldOf[flow].empty() && now - heldSince[flow] > Milliseconds(30)) {
                    line.emplace(now + delay.load(), std::move(heldOf[flow]));
                    heldOf[flow].clear();
                }
            asio::ip::udp::endpoint from;
            asio::error_code error;
            bool second = false;
            auto size = socket_.receive_from(asio::buffer(buffer), from, 0, error);
            if (error) {
                size = second_.receive_from(asio::buffer(buffer), from, 0, error);
                second = true;
            }
            if (error) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            std::vector<std::uint8_t> packet(buffer.begin(), buffer.begin() + std::ptrdiff_t(size));
            packet.push_back(second);
            std::mt19937& random = second ? secondRandom : firstRandom;
            auto& held = heldOf[second];
            int& burstLeft = burstLeftOf[second];
            if (burstLeft == 0 && int(random() % 100) < lossPercent)
                burstLeft = std::max(1, lossBurst.load());
            if (burstLeft > 0 || inOutage(now)) {
                burstLeft = std::max(0, burstLeft - 1);
                lost_ += !second;
                continue;
            }
            // (Drawn for every datagram, so that the draws stay in step however late a held
            // one went.)
            const bool swap = int(random() % 100) < swapPercent;
            if (held.empty() && swap) {
                held = std::move(packet); // goes out after the next one of its flow
                heldSince[second] = now;
                swapped_ += !second;
                continue;
            }
            const int copies = 1 + (int(random() % 100) < duplicatePercent);
            for (auto* out : {&packet, &held}) {
                if (out->empty())
                    continue;
                for (int copy = 0; copy < copies; ++copy) {
                    const auto leaves = throughBottleneck(out->size() - 1, now);
                    if (!leaves) {
                        overflowed_ += out->back() == 0;
                        continue;
                    }
                    const auto spread = jitter.load().count();
                    const auto late =
                        delay.load() + Milliseconds(spread > 0 ? random() % spread : 0);
                    line.emplace(*leaves + late, *out);
                }
            }
            held.clear();
        }
    }

    asio::io_context io_;
    asio::ip::udp::socket socket_;
    asio::ip::udp::socket second_;
    asio::ip::udp::endpoint destination_;
    asio::ip::udp::endpoint secondDestination_;
    const unsigned seed_;
    const Clock::time_point start_ = Clock::now();
    Clock::time_point bottleneckFree_ = start_; ///< the relay thread's own
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> lost_{0}, overflowed_{0}, swapped_{0}, passed_{0}, passedBytes_{0};
};

} // namespace kxtest
