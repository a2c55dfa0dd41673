#include "voip/manager.h"

#include <gtest/gtest.h>

#include "voip/media/mediaformatregistry.h"

namespace voip {
namespace {

class NamedEndpoint : public Endpoint
{
public:
    using Endpoint::Endpoint;
    std::shared_ptr<Connection> makeConnection(const std::shared_ptr<Call>&, const std::string&,
                                               const StringOptions&) override
    {
        return nullptr;
    }
};

class FakeNat : public NatMethod
{
public:
    explicit FakeNat(std::string name)
        : name_(std::move(name))
    {}
    std::string name() const override { return name_; }
    void activate(bool active) override { active_ = active; }
    bool isActive() const override { return active_; }
    bool setServer(std::string_view server) override
    {
        if (server.empty()) {
            return false;
        }
        server_ = server;
        return true;
    }
    std::string server() const override { return server_; }
    std::optional<std::string> externalAddress(std::chrono::milliseconds) override
    {
        return active_ ? std::optional<std::string>("203.0.113.7") : std::nullopt;
    }
    NatType natType(std::chrono::milliseconds) override { return NatType::Unknown; }

private:
    std::string name_;
    bool active_ = false;
    std::string server_;
};

TEST(Manager, EndpointsAreRegisteredOncePerPrefix)
{
    Manager manager;
    auto* h323 = manager.attachEndpoint(std::make_unique<NamedEndpoint>(manager, "h323"));
    ASSERT_NE(h323, nullptr);
    EXPECT_EQ(manager.findEndpoint("h323"), h323);
    EXPECT_EQ(manager.attachEndpoint(std::make_unique<NamedEndpoint>(manager, "h323")), nullptr);
    EXPECT_EQ(manager.attachEndpoint(std::make_unique<NamedEndpoint>(manager, "")), nullptr);
    Manager other;
    EXPECT_EQ(manager.attachEndpoint(std::make_unique<NamedEndpoint>(other, "pc")), nullptr)
        << "an endpoint of another manager";
    ASSERT_NE(manager.attachEndpoint(std::make_unique<NamedEndpoint>(manager, "pc")), nullptr);
    EXPECT_EQ(manager.endpointPrefixes(), (std::vector<std::string>{"h323", "pc"}));
    EXPECT_EQ(manager.findEndpoint("sip"), nullptr);
    // An endpoint whose connection cannot be made: no call, no token.
    EXPECT_FALSE(manager.setUpCall("pc:*", "h323:x"));
    EXPECT_EQ(manager.callCount(), 0u);
}

TEST(Manager, NamesReachEndpointsOnlyWithUpdateAll)
{
    Manager manager;
    manager.setDefaultUserName("first");
    manager.setDefaultDisplayName("First Name");
    auto* endpoint = manager.attachEndpoint(std::make_unique<NamedEndpoint>(manager, "h323"));
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

    auto stun = std::make_shared<FakeNat>("STUN");
    auto fixed = std::make_shared<FakeNat>("Fixed");
    ASSERT_TRUE(manager.addNatMethod(stun));
    ASSERT_TRUE(manager.addNatMethod(fixed));
    EXPECT_FALSE(manager.addNatMethod(std::make_shared<FakeNat>("STUN")));
    EXPECT_FALSE(manager.addNatMethod(nullptr));
    EXPECT_EQ(manager.natMethod("STUN"), stun);
    EXPECT_EQ(manager.natMethods().front(), stun);

    // The fixed method at priority 0 goes first.
    ASSERT_TRUE(manager.setNatServer("Fixed", "198.51.100.1", true, 0));
    ASSERT_TRUE(manager.setNatServer("STUN", "127.0.0.1", false, 5));
    EXPECT_EQ(manager.natMethods().front(), fixed);
    EXPECT_TRUE(fixed->isActive());
    EXPECT_FALSE(stun->isActive());
    EXPECT_EQ(fixed->server(), "198.51.100.1");
    EXPECT_EQ(manager.natMethod("Fixed")->externalAddress(std::chrono::milliseconds(0)),
              "203.0.113.7");
    EXPECT_FALSE(manager.setNatServer("STUN", "")) << "a server the method refuses";
    EXPECT_EQ(stun->server(), "127.0.0.1");

    manager.setNatBindingRefresh(std::chrono::minutes(2));
    EXPECT_EQ(manager.natBindingRefresh(), std::chrono::minutes(2));
    EXPECT_EQ(natTypeName(NatType::Symmetric), "Symmetric");
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
    auto* endpoint = manager.attachEndpoint(std::make_unique<NamedEndpoint>(manager, "h323"));
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
