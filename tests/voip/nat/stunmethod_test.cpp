#include "voip/nat/stunmethod.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <atomic>
#include <thread>

using namespace voip::nat;
using namespace std::chrono_literals;
using asio::ip::udp;

namespace {

/// How the test server behaves: which of its addresses answer and what mapped
/// address each reports (a fake one plays a NAT).
struct Behaviour
{
    bool answerPrimary = true;
    bool answerChangeIpAndPort = true;
    bool answerChangePort = true;
    bool answerOther = true;
    bool advertiseOther = true;
    std::optional<udp::endpoint> mappedPrimary; ///< empty: the real source
    std::optional<udp::endpoint> mappedOther;
    int ignoreFirstRequests = 0;
    bool garbageFirst = false; ///< send a malformed answer with the right ID first
};

/// A small STUN server on 127.0.0.1 and 127.0.0.2 with the RFC 5780 sockets:
/// primary (A1:P1), other port (A1:P2), other address (A2:P1'), other both (A2:P2').
class TestStunServer
{
public:
    explicit TestStunServer(Behaviour behaviour)
        : behaviour_(std::move(behaviour))
        , primary_(io_, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0))
        , otherPort_(io_, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0))
        , otherAddress_(io_, udp::endpoint(asio::ip::make_address("127.0.0.2"), 0))
        , otherBoth_(io_, udp::endpoint(asio::ip::make_address("127.0.0.2"), 0))
    {
        listen(primary_, buffers_[0], from_[0], false);
        listen(otherAddress_, buffers_[1], from_[1], true);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~TestStunServer()
    {
        io_.stop();
        thread_.join();
    }

    std::string address() const
    {
        return "127.0.0.1:" + std::to_string(primary_.local_endpoint().port());
    }
    std::atomic<int> requests{0};

private:
    void listen(udp::socket& socket, std::array<uint8_t, 1500>& buffer, udp::endpoint& from,
                bool isOther)
    {
        socket.async_receive_from(
            asio::buffer(buffer), from,
            [this, &socket, &buffer, &from, isOther](asio::error_code ec, std::size_t size) {
                if (ec)
                    return;
                answer(std::vector<uint8_t>(buffer.begin(), buffer.begin() + size), from, isOther);
                listen(socket, buffer, from, isOther);
            });
    }

    void answer(const std::vector<uint8_t>& request, const udp::endpoint& from, bool isOther)
    {
        if (request.size() < 20 || request[0] != 0 || request[1] != 1)
            return;
        if (++requests <= behaviour_.ignoreFirstRequests)
            return;
        bool changeIp = false;
        bool changePort = false;
        if (request.size() >= 28 && request[20] == 0 && request[21] == 3) {
            changeIp = request[27] & 4;
            changePort = request[27] & 2;
        }
        udp::socket* out = isOther ? &otherAddress_ : &primary_;
        if (changeIp && changePort) {
            if (!behaviour_.answerChangeIpAndPort)
                return;
            out = &otherBoth_;
        } else if (changePort) {
            if (!behaviour_.answerChangePort)
                return;
            out = &otherPort_;
        } else if (isOther ? !behaviour_.answerOther : !behaviour_.answerPrimary) {
            return;
        }
        const udp::endpoint mapped =
            (isOther ? behaviour_.mappedOther : behaviour_.mappedPrimary).value_or(from);
        std::vector<uint8_t> response{0x01, 0x01, 0, 0};
        response.insert(response.end(), request.begin() + 4, request.begin() + 20);
        if (behaviour_.garbageFirst) {
            auto garbage = response;
            garbage[3] = 40; // a length the datagram does not have
            out->send_to(asio::buffer(garbage), from);
        }
        const auto v4 = mapped.address().to_v4().to_bytes();
        const uint16_t port = mapped.port() ^ 0x2112;
        response.insert(response.end(),
                        {0x00, 0x20, 0x00, 0x08, 0x00, 0x01, static_cast<uint8_t>(port >> 8),
                         static_cast<uint8_t>(port), static_cast<uint8_t>(v4[0] ^ 0x21),
                         static_cast<uint8_t>(v4[1] ^ 0x12), static_cast<uint8_t>(v4[2] ^ 0xa4),
                         static_cast<uint8_t>(v4[3] ^ 0x42)});
        if (behaviour_.advertiseOther) {
            const uint16_t otherPort = otherAddress_.local_endpoint().port();
            response.insert(response.end(), {0x80, 0x2c, 0x00, 0x08, 0x00, 0x01,
                                             static_cast<uint8_t>(otherPort >> 8),
                                             static_cast<uint8_t>(otherPort), 127, 0, 0, 2});
        }
        response[3] = static_cast<uint8_t>(response.size() - 20);
        out->send_to(asio::buffer(response), from);
    }

    Behaviour behaviour_;
    asio::io_context io_;
    udp::socket primary_, otherPort_, otherAddress_, otherBoth_;
    std::array<std::array<uint8_t, 1500>, 2> buffers_;
    std::array<udp::endpoint, 2> from_;
    std::thread thread_;
};

StunTiming quickTiming()
{
    StunTiming timing;
    timing.initialRto = 40ms;
    timing.maxTransmissions = 3;
    timing.lastWaitFactor = 2;
    timing.maxTransactionTime = 300ms;
    return timing;
}

NatType typeWith(const Behaviour& behaviour)
{
    TestStunServer server(behaviour);
    StunMethod stun(quickTiming());
    EXPECT_TRUE(stun.setServer(server.address()));
    return stun.natType(0ms);
}

const udp::endpoint NatMapping(asio::ip::make_address("198.51.100.7"), 40000);

} // namespace

TEST(StunMethod, ClassifiesEveryNatType)
{
    Behaviour open;
    EXPECT_EQ(typeWith(open), NatType::Open);

    Behaviour firewall;
    firewall.answerChangeIpAndPort = false;
    EXPECT_EQ(typeWith(firewall), NatType::SymmetricFirewall);

    Behaviour cone;
    cone.mappedPrimary = cone.mappedOther = NatMapping;
    EXPECT_EQ(typeWith(cone), NatType::ConeNat);

    Behaviour restricted = cone;
    restricted.answerChangeIpAndPort = false;
    EXPECT_EQ(typeWith(restricted), NatType::RestrictedNat);

    Behaviour portRestricted = restricted;
    portRestricted.answerChangePort = false;
    EXPECT_EQ(typeWith(portRestricted), NatType::PortRestrictedNat);

    Behaviour symmetric = restricted;
    symmetric.mappedOther = udp::endpoint(NatMapping.address(), 40001);
    EXPECT_EQ(typeWith(symmetric), NatType::SymmetricNat);

    Behaviour partial = restricted;
    partial.answerOther = false;
    EXPECT_EQ(typeWith(partial), NatType::PartiallyBlocked);

    Behaviour noOther = restricted;
    noOther.advertiseOther = false;
    EXPECT_EQ(typeWith(noOther), NatType::Unknown);

    Behaviour blocked;
    blocked.answerPrimary = false;
    EXPECT_EQ(typeWith(blocked), NatType::Blocked);
}

TEST(StunMethod, ExternalAddressAndRememberedAnswers)
{
    Behaviour behaviour;
    behaviour.mappedPrimary = behaviour.mappedOther = NatMapping;
    StunMethod stun(quickTiming());
    {
        TestStunServer server(behaviour);
        ASSERT_TRUE(stun.setServer(server.address()));
        EXPECT_EQ(stun.externalAddress(0ms), NatMapping.address());
        EXPECT_EQ(stun.externalPort(), 40000);
        EXPECT_EQ(stun.natType(NatMethod::AnyAge), NatType::ConeNat);
    }
    // The server is gone: remembered answers still serve, fresh queries fail.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(stun.natType(NatMethod::AnyAge), NatType::ConeNat);
    EXPECT_EQ(stun.externalAddress(NatMethod::AnyAge), NatMapping.address());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 50ms) << "no query for remembered answers";
    EXPECT_FALSE(stun.externalAddress(0ms));
    EXPECT_EQ(stun.natType(0ms), NatType::Blocked);
}

TEST(StunMethod, RetransmitsAndIgnoresMalformedAnswers)
{
    Behaviour behaviour;
    behaviour.ignoreFirstRequests = 2;
    behaviour.garbageFirst = true;
    behaviour.mappedPrimary = NatMapping;
    TestStunServer server(behaviour);
    StunMethod stun(quickTiming());
    ASSERT_TRUE(stun.setServer(server.address()));
    EXPECT_EQ(stun.externalAddress(0ms), NatMapping.address());
    EXPECT_EQ(server.requests, 3);
}

TEST(StunMethod, SilentServerCostsABoundedTime)
{
    Behaviour silent;
    silent.answerPrimary = false;
    TestStunServer server(silent);
    StunTiming timing;
    timing.maxTransactionTime = 400ms; // the RFC 5389 defaults would wait 39.5 s
    StunMethod stun(timing);
    ASSERT_TRUE(stun.setServer(server.address()));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(stun.externalAddress(0ms));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 390ms);
    EXPECT_LT(elapsed, 1500ms);
    EXPECT_EQ(server.requests, 1) << "first retransmission is due at 500 ms";
}

TEST(StunMethod, UnresolvableServerGivesNoAnswer)
{
    StunMethod stun(quickTiming());
    ASSERT_TRUE(stun.setServer("no-such-host.invalid:3478"));
    EXPECT_FALSE(stun.externalAddress(0ms));
    EXPECT_EQ(stun.natType(0ms), NatType::Unknown);
}
