#include "voip/nat/stunmethod.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <vector>

#include <asio/connect.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>

namespace voip::nat {

namespace {

bool parsePort(std::string_view text, uint16_t& port)
{
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

} // namespace

/// One client socket and the transactions sent from it.
struct StunMethod::Probe
{
    asio::io_context io;
    asio::ip::udp::socket socket{io};
    StunTiming timing;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(2048);

    /// Sends a Binding request to `to` and waits for the answer with the same
    /// transaction ID, from whatever address it comes (a changed-address answer
    /// comes from the server's other address).  Nothing when no answer came.
    std::optional<StunMessage> transact(const asio::ip::udp::endpoint& to, bool changeIp,
                                        bool changePort)
    {
        const StunTransactionId id = newTransactionId();
        const std::vector<uint8_t> request = encodeBindingRequest(id, changeIp, changePort);
        const auto deadline = std::chrono::steady_clock::now() + timing.maxTransactionTime;
        auto rto = timing.initialRto;
        std::optional<StunMessage> answer;
        for (int sent = 0; sent < timing.maxTransmissions && !answer; ++sent) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                break;
            asio::error_code ec;
            socket.send_to(asio::buffer(request), to, 0, ec);
            const bool last = sent + 1 == timing.maxTransmissions;
            const auto wait = last ? rto * timing.lastWaitFactor : rto;
            answer =
                receive(id, std::min<std::chrono::steady_clock::time_point>(now + wait, deadline));
            rto *= 2;
        }
        return answer;
    }

    std::optional<StunMessage> receive(const StunTransactionId& id,
                                       std::chrono::steady_clock::time_point until)
    {
        std::optional<StunMessage> answer;
        bool timedOut = false;
        asio::ip::udp::endpoint from;
        asio::steady_timer timer(io, until);
        std::function<void()> wait;
        wait = [&] {
            socket.async_receive_from(
                asio::buffer(buffer), from, [&](const asio::error_code& ec, std::size_t size) {
                    if (ec == asio::error::operation_aborted || timedOut)
                        return;
                    if (!ec) {
                        auto message = decodeStun(std::span(buffer.data(), size));
                        if (message && message->transactionId == id &&
                            (message->type == StunBindingSuccess ||
                             message->type == StunBindingError)) {
                            answer = std::move(message);
                            timer.cancel();
                            return;
                        }
                    }
                    // Malformed, stray or old answers are ignored.
                    wait();
                });
        };
        wait();
        timer.async_wait([&](const asio::error_code& ec) {
            if (!ec) {
                timedOut = true;
                socket.cancel();
            }
        });
        io.restart();
        io.run();
        if (answer && answer->type == StunBindingError)
            return std::nullopt;
        if (answer && !answer->mapped())
            return std::nullopt;
        return answer;
    }
};

StunMethod::StunMethod(StunTiming timing)
    : timing_(timing)
{}

bool StunMethod::setServer(const std::string& server)
{
    std::string host;
    uint16_t port = DefaultPort;
    std::string_view text = server;
    if (text.empty())
        return false;
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos)
            return false;
        host = std::string(text.substr(1, close - 1));
        const auto rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !parsePort(rest.substr(1), port)))
            return false;
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        host = std::string(text); // a bare IPv6 address
    } else if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        host = std::string(text.substr(0, colon));
        if (!parsePort(text.substr(colon + 1), port))
            return false;
    } else {
        host = std::string(text);
    }
    if (host.empty())
        return false;
    std::lock_guard lock(mutex_);
    if (host != host_ || port != port_) {
        mapped_.reset();
        type_.reset();
        ++generation_; // a query under way for the old server does not store its answer
    }
    serverText_ = server;
    host_ = host;
    port_ = port;
    return true;
}

std::string StunMethod::server() const
{
    std::lock_guard lock(mutex_);
    return serverText_;
}

uint16_t StunMethod::externalPort() const
{
    std::lock_guard lock(mutex_);
    return mapped_ ? mapped_->port() : 0;
}

void StunMethod::setTiming(const StunTiming& timing)
{
    std::lock_guard lock(mutex_);
    timing_ = timing;
}

bool StunMethod::remembered(std::chrono::steady_clock::time_point when, Milliseconds maxAge) const
{
    return maxAge.count() > 0 && std::chrono::steady_clock::now() - when <= maxAge;
}

std::optional<asio::ip::udp::endpoint> StunMethod::resolveServer(const std::string& host,
                                                                 uint16_t port)
{
    if (host.empty())
        return std::nullopt;
    asio::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (!ec)
        return asio::ip::udp::endpoint(address, port);
    asio::io_context io;
    asio::ip::udp::resolver resolver(io);
    const auto results = resolver.resolve(host, std::to_string(port), ec);
    if (ec || results.empty())
        return std::nullopt;
    return results.begin()->endpoint();
}

StunMethod::Query StunMethod::startQuery()
{
    std::lock_guard lock(mutex_);
    return Query{host_, port_, timing_, generation_};
}

void StunMethod::storeMapped(const Query& query, std::optional<asio::ip::udp::endpoint> mapped)
{
    std::lock_guard lock(mutex_);
    if (query.generation != generation_)
        return;
    mapped_ = mapped;
    mappedAt_ = std::chrono::steady_clock::now();
}

std::optional<asio::ip::address> StunMethod::externalAddress(Milliseconds maxAge)
{
    // Queries wait for each other; the settings and the answers are only locked briefly,
    // so that setting another server never waits for the network.
    std::lock_guard serialise(queryMutex_);
    {
        std::lock_guard lock(mutex_);
        if (mapped_ && remembered(mappedAt_, maxAge))
            return mapped_->address();
    }
    const Query query = startQuery();
    const auto server = resolveServer(query.host, query.port);
    if (!server)
        return std::nullopt;
    Probe probe;
    probe.timing = query.timing;
    asio::error_code ec;
    probe.socket.open(server->protocol(), ec);
    if (ec)
        return std::nullopt;
    const auto answer = probe.transact(*server, false, false);
    if (!answer) {
        storeMapped(query, std::nullopt);
        return std::nullopt;
    }
    storeMapped(query, answer->mapped());
    return answer->mapped()->address();
}

NatType StunMethod::natType(Milliseconds maxAge)
{
    std::lock_guard serialise(queryMutex_);
    {
        std::lock_guard lock(mutex_);
        if (type_ && remembered(typeAt_, maxAge))
            return *type_;
    }
    const Query query = startQuery();
    const auto server = resolveServer(query.host, query.port);
    if (!server)
        return NatType::Unknown;
    Probe probe;
    probe.timing = query.timing;
    asio::error_code ec;
    probe.socket.open(server->protocol(), ec);
    if (!ec)
        probe.socket.bind(asio::ip::udp::endpoint(server->protocol(), 0), ec);
    if (ec)
        return NatType::Unknown;
    const NatType type = runTypeTest(probe, *server, query);
    std::lock_guard lock(mutex_);
    if (query.generation == generation_) {
        type_ = type;
        typeAt_ = std::chrono::steady_clock::now();
    }
    return type;
}

NatType StunMethod::runTypeTest(Probe& probe, const asio::ip::udp::endpoint& server,
                                const Query& query)
{
    // RFC 3489 10.1.  Test I: a plain request.
    const auto first = probe.transact(server, false, false);
    if (!first) {
        storeMapped(query, std::nullopt);
        return NatType::Blocked;
    }
    const asio::ip::udp::endpoint mapped = *first->mapped();
    storeMapped(query, mapped);

    // The address we send from: the interface the route to the server uses.
    asio::error_code ec;
    asio::ip::udp::socket route(probe.io);
    route.open(server.protocol(), ec);
    if (!ec)
        route.connect(server, ec);
    const asio::ip::address localAddress =
        ec ? asio::ip::address() : route.local_endpoint(ec).address();
    const uint16_t localPort = probe.socket.local_endpoint(ec).port();
    const bool behindNat = !(mapped.address() == localAddress && mapped.port() == localPort);

    // Test II: answer from the other address and port.
    const bool changedAnswered = probe.transact(server, true, true).has_value();
    if (!behindNat)
        return changedAnswered ? NatType::Open : NatType::SymmetricFirewall;
    if (changedAnswered)
        return NatType::ConeNat;
    if (!first->otherAddress)
        return NatType::Unknown;

    // Test I again, to the other address: a symmetric NAT maps it elsewhere.
    const auto second = probe.transact(*first->otherAddress, false, false);
    if (!second)
        return NatType::PartiallyBlocked;
    if (*second->mapped() != mapped)
        return NatType::SymmetricNat;

    // Test III: answer from the other port only.
    return probe.transact(server, false, true) ? NatType::RestrictedNat
                                               : NatType::PortRestrictedNat;
}

} // namespace voip::nat
