#include "voip/core/manager.h"

#include <gtest/gtest.h>

#include "voip/media/mediaformatregistry.h"

namespace voip {
namespace {

class NamedEndpoint : public EndPoint
{
public:
    using EndPoint::EndPoint;
    std::shared_ptr<Connection> makeConnection(const std::shared_ptr<Call>&, const std::string&,
                                               const StringOptions&) override
    {
        return nullptr;
    }
};

class FakeNat : public nat::NatMethod
{
public:
    explicit FakeNat(std::string name)
        : name_(std::move(name))
    {}
    std::string name() const override { return name_; }
    bool setServer(const std::string& server) override
    {
        if (server.empty()) {
            return false;
        }
        server_ = server;
        return true;
    }
    std::string server() const override { return server_; }
    std::optional<asio::ip::address> externalAddress(Milliseconds) override
    {
        ++queries;
        return asio::ip::make_address(address_);
    }
    nat::NatType natType(Milliseconds) override { return nat::NatType::Unknown; }
    int queries = 0;

private:
    std::string name_;
    std::string server_;
    std::string address_ = name_ == "STUN" ? "203.0.113.7" : "198.51.100.1";
};

TEST(Manager, EndpointsAreRegisteredOncePerPrefix)
{
    Manager manager;
    auto* h323 = manager.attachEndPoint(std::make_unique<NamedEndpoint>(manager, "h323"));
    ASSERT_NE(h323, nullptr);
    EXPECT_EQ(manager.findEndPoint("h323"), h323);
    EXPECT_EQ(manager.attachEndPoint(std::make_unique<NamedEndpoint>(manager, "h323")), nullptr);
    EXPECT_EQ(manager.attachEndPoint(std::make_unique<NamedEndpoint>(manager, "")), nullptr);
    Manager other;
    EXPECT_EQ(manager.attachEndPoint(std::make_unique<NamedEndpoint>(other, "pc")), nullptr)
        << "an endpoint of another manager";
    ASSERT_NE(manager.attachEndPoint(std::make_unique<NamedEndpoint>(manager, "pc")), nullptr);
    EXPECT_EQ(manager.endpointPrefixes(), (std::vector<std::string>{"h323", "pc"}));
    EXPECT_EQ(manager.findEndPoint("sip"), nullptr);
    // An endpoint whose connection cannot be made: no call, no token.
    EXPECT_FALSE(manager.setUpCall("pc:*", "h323:x"));
    EXPECT_EQ(manager.callCount(), 0u);
}

TEST(Manager, NamesReachEndpointsOnlyWithUpdateAll)
{
    Manager manager;
    manager.setDefaultUserName("first");
    manager.setDefaultDisplayName("First Name");
    auto* endpoint = manager.attachEndPoint(std::make_unique<NamedEndpoint>(manager, "h323"));
    EXPECT_EQ(endpoint->userName(), "first") << "a new endpoint takes the defaults";
    EXPECT_EQ(endpoint->displayName(), "First Name");

    manager.setDefaultDisplayName("Quiet", false);
    EXPECT_EQ(manager.defaultDisplayName(), "Quiet");
    EXPECT_EQ(endpoint->displayName(), "First Name");

    manager.setDefaultUserName("second", true);
    manager.setDefaultDisplayName("Second Name", true);
    EXPECT_EQ(endpoint->userName(), "second");
    EXPECT_EQ(endpoint->displayName(), "Second Name");
}

TEST(Manager, PortRangesAreCheckedAndKept)
{
    Manager manager;
    EXPECT_TRUE(manager.setTcpPortRange(3230, 3240));
    EXPECT_TRUE(manager.setUdpPortRange(3230, 3250));
    EXPECT_TRUE(manager.setRtpPortRange(3230, 3250));
    EXPECT_FALSE(manager.setUdpPortRange(3250, 3240));
    EXPECT_EQ(manager.tcpPorts().range(), (PortRange{3230, 3240}));
    EXPECT_EQ(manager.udpPorts().range(), (PortRange{3230, 3250}));
    EXPECT_EQ(manager.rtpPorts().range(), (PortRange{3230, 3250}));
}

TEST(Manager, NatMethodsAreFoundByNameAndConfigured)
{
    Manager manager;
    EXPECT_EQ(manager.natMethod("STUN"), nullptr);
    EXPECT_FALSE(manager.setNatServer("STUN", "stun.example:3478"));

    auto stunOwned = std::make_unique<FakeNat>("STUN");
    auto fixedOwned = std::make_unique<FakeNat>("Fixed");
    auto* stun = stunOwned.get();
    auto* fixed = fixedOwned.get();
    ASSERT_TRUE(manager.addNatMethod(std::move(stunOwned)));
    ASSERT_TRUE(manager.addNatMethod(std::move(fixedOwned)));
    EXPECT_FALSE(manager.addNatMethod(std::make_unique<FakeNat>("STUN")));
    EXPECT_FALSE(manager.addNatMethod(nullptr));
    EXPECT_EQ(manager.natMethod("STUN"), stun);
    EXPECT_EQ(manager.natMethods().front(), stun) << "first added, first asked";

    const auto local = asio::ip::make_address("192.168.1.20");
    const auto outside = asio::ip::make_address("8.8.8.8");
    const auto inside = asio::ip::make_address("192.168.1.30");
    EXPECT_EQ(manager.translateAddress(local, outside), local) << "no method active";

    // Both active: the one of lower priority number answers.
    ASSERT_TRUE(manager.setNatServer("STUN", "stun.example:3478", true, 5));
    ASSERT_TRUE(manager.setNatServer("Fixed", "198.51.100.1", true, 0));
    EXPECT_EQ(manager.natMethods().front(), fixed);
    EXPECT_EQ(manager.translateAddress(local, outside), asio::ip::make_address("198.51.100.1"));
    EXPECT_EQ(stun->queries, 0);
    EXPECT_EQ(manager.translateAddress(local, inside), local)
        << "local peers get the local address";

    // The client's "off": each method deactivated with the server 127.0.0.1.
    ASSERT_TRUE(manager.setNatServer("Fixed", "127.0.0.1", false));
    EXPECT_FALSE(fixed->isActive());
    EXPECT_TRUE(stun->isActive());
    EXPECT_EQ(fixed->server(), "127.0.0.1");
    EXPECT_EQ(manager.translateAddress(local, outside), asio::ip::make_address("203.0.113.7"));
    EXPECT_FALSE(manager.setNatServer("STUN", "")) << "a server the method refuses";
    EXPECT_EQ(stun->server(), "stun.example:3478");

    manager.setNatBindingRefresh(std::chrono::minutes(2));
    EXPECT_EQ(manager.natBindingRefresh(), std::chrono::minutes(2));
}

TEST(Manager, AudioParametersAsTheClientSetsThem)
{
    Manager manager;
    manager.setEchoCancelParameters({false, 128});
    EXPECT_EQ(manager.echoCancelParameters(), (EchoCancelParameters{false, 128}));

    SilenceDetectParameters silence;
    silence.mode = SilenceDetectMode::Adaptive;
    silence.threshold = 0;
    manager.setSilenceDetectParameters(silence);
    auto stored = manager.silenceDetectParameters();
    EXPECT_EQ(stored.mode, SilenceDetectMode::Adaptive);
    EXPECT_EQ(stored.signalDeadband, 10u);
    EXPECT_EQ(stored.silenceDeadband, 400u);
    EXPECT_EQ(stored.adaptivePeriod, 600u);

    manager.setAudioJitterDelay(50, 250);
    EXPECT_EQ(manager.audioJitterDelay(), (JitterParameters{50, 250}));
    manager.setAudioJitterDelay(50, 20);
    EXPECT_EQ(manager.audioJitterDelay(), (JitterParameters{50, 50})) << "max raised to min";
}

TEST(Manager, OfferedFormatsFollowOrderAndMask)
{
    Manager manager;
    auto* endpoint = manager.attachEndPoint(std::make_unique<NamedEndpoint>(manager, "h323"));
    manager.setMediaFormatOrder({"G.722-64k", "G.711-ALaw-64k", "G.711-uLaw-64k", "H.264-High"});
    manager.setMediaFormatMask({"G.722-64k", "G.722.1-*", "iLBC*", "H.264-0", "H.264-1"});

    auto offered = endpoint->mediaFormatsToOffer();
    ASSERT_FALSE(offered.empty());
    EXPECT_EQ(offered.front().name(), "G.711-ALaw-64k");
    EXPECT_EQ(findFormat(offered, "G.722-64k"), nullptr);
    EXPECT_EQ(findFormat(offered, "H.264-0"), nullptr);
    EXPECT_NE(findFormat(offered, "H.264-High"), nullptr);
    EXPECT_EQ(manager.mediaFormatsToOffer().size(), offered.size());

    // Unmasking brings G.722 back, first.
    manager.setMediaFormatMask({});
    EXPECT_EQ(manager.mediaFormatsToOffer().front().name(), "G.722-64k");
    EXPECT_EQ(manager.mediaFormatMask().size(), 0u);
    EXPECT_EQ(manager.mediaFormatOrder().size(), 4u);
}

} // namespace
} // namespace voip
