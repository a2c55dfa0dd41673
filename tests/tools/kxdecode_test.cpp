// The kxdecode command: what it prints for a capture and for hex, and its exit status.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <unistd.h>

#include "tools/common/pcapwriter.h"
#include "tshark_util.h"
#include "voip/h245/capabilities.h"
#include "voip/h245/message.h"
#include "voip/q931/elements.h"
#include "voip/q931/tpkt.h"

using Bytes = std::vector<std::uint8_t>;
namespace h245 = voip::h245;

namespace {

const std::string kTool = std::string(KX_BINARY_DIR) + "/tools/kxdecode/kxdecode";

struct Run
{
    int status = -1;
    std::string out;
    std::string err;
};

class TempDir
{
public:
    TempDir()
    {
        char name[] = "/tmp/kx-kxdecode-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Run run(const TempDir& dir, const std::string& arguments)
{
    Run result;
    result.out =
        kx::testutil::runCommand(kTool + " " + arguments + " 2>" + dir.file("err"), &result.status);
    std::ifstream err(dir.file("err"));
    result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return result;
}

std::string hex(const Bytes& bytes)
{
    std::string text;
    char part[4];
    for (auto b : bytes) {
        std::snprintf(part, sizeof part, "%02x", b);
        text += part;
    }
    return text;
}

kx::capture::Endpoint endpoint(const char* ip, std::uint16_t port)
{
    kx::capture::Endpoint e;
    kx::capture::Address::parse(ip, e.address);
    e.port = port;
    return e;
}

Bytes h245Bytes(const voip::asn::Value& message)
{
    auto bytes = h245::encodeMessage(message);
    EXPECT_TRUE(bytes.ok());
    return bytes.ok() ? *bytes : Bytes{};
}

} // namespace

TEST(Kxdecode, HexMessagesAndTheirErrors)
{
    TempDir dir;
    const Bytes msd = h245Bytes(h245::buildMasterSlaveDetermination({50, 1234}));
    auto good = run(dir, "--hex h245 " + hex(msd));
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.out.find("request masterSlaveDetermination"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("statusDeterminationNumber = 1234"), std::string::npos) << good.out;

    // Two messages back to back in one buffer.
    Bytes two = msd;
    const Bytes ack = h245Bytes(h245::buildTerminalCapabilitySetAck(3));
    two.insert(two.end(), ack.begin(), ack.end());
    auto both = run(dir, "--hex h245 '" + hex(two) + "'");
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_NE(both.out.find("response terminalCapabilitySetAck"), std::string::npos);

    // Cut short: an error with where it stopped, exit status 1.
    const Bytes cut(msd.begin(), msd.end() - 2);
    auto bad = run(dir, "--hex h245 " + hex(cut));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("frame 0: H.245: "), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find(" at bit "), std::string::npos) << bad.err;

    // Q.931 without a User-user element, and a broken Q.931 header.
    auto bare = run(dir, "--hex q931 '08 02 00 01 5a 08 02 80 90'");
    EXPECT_EQ(bare.status, 1);
    EXPECT_NE(bare.out.find("Q.931 Release complete, call reference 1"), std::string::npos);
    EXPECT_NE(bare.out.find("cause 16 (normal call clearing)"), std::string::npos) << bare.out;
    auto broken = run(dir, "--hex q931 08:05:00");
    EXPECT_EQ(broken.status, 1);
    EXPECT_NE(broken.err.find("Q.931: call reference of 5 octets"), std::string::npos)
        << broken.err;
}

TEST(Kxdecode, UsageAndFileErrorsExitWithTwo)
{
    TempDir dir;
    EXPECT_EQ(run(dir, "").status, 2);
    EXPECT_EQ(run(dir, "--hex h245").status, 2);
    EXPECT_EQ(run(dir, "--hex h999 00").status, 2);
    EXPECT_EQ(run(dir, "--hex h245 0g").status, 2);
    EXPECT_EQ(run(dir, "--hex h245 abc").status, 2);
    EXPECT_EQ(run(dir, dir.file("missing.pcap")).status, 2);
    EXPECT_EQ(run(dir, dir.file("missing.pcap") + " --port 0").status, 2);
    EXPECT_EQ(run(dir, dir.file("missing.pcap") + " --port 70000").status, 2);
    EXPECT_EQ(run(dir, dir.file("missing.pcap") + " --h245-port").status, 2);
    EXPECT_EQ(run(dir, "--bogus").status, 2);
    {
        std::ofstream junk(dir.file("junk.pcap"), std::ios::binary);
        junk << "this is not a capture";
    }
    auto junk = run(dir, dir.file("junk.pcap"));
    EXPECT_EQ(junk.status, 2);
    EXPECT_NE(junk.err.find("not a pcap or pcapng file"), std::string::npos) << junk.err;
}

TEST(Kxdecode, CaptureWithSignallingAndASeparateH245Channel)
{
    TempDir dir;
    kx::capture::PcapWriter writer(64); // small segments: PDUs span several frames
    const auto caller = endpoint("10.9.0.1", 40000), callee = endpoint("10.9.0.2", 1720);
    const auto h245From = endpoint("10.9.0.1", 40002), h245To = endpoint("10.9.0.2", 3456);

    voip::q931::Message release;
    release.type = static_cast<std::uint8_t>(voip::q931::MessageType::ReleaseComplete);
    release.callReference = 9;
    release.set(voip::q931::ie::Cause, voip::q931::encodeCause({}));
    writer.addTcp(caller, callee, *voip::q931::tpktFrame(*voip::q931::encodeMessage(release)));

    h245::CapabilitySet set;
    h245::Capability g711;
    g711.type = h245::CapabilityType::G711Ulaw;
    set.capabilities.push_back(g711);
    const auto tcsFrame = writer.addTcp(
        h245From, h245To, *voip::q931::tpktFrame(h245Bytes(h245::buildTerminalCapabilitySet(set))));
    Bytes broken = h245Bytes(h245::buildMasterSlaveDetermination({50, 1}));
    broken.resize(2);
    const auto brokenFrame = writer.addTcp(h245To, h245From, *voip::q931::tpktFrame(broken));
    const std::string file = dir.file("call.pcap");
    ASSERT_TRUE(writer.save(file));

    // Without being told, port 3456 is not H.245: only the Q.931 message (which has no
    // H.225.0 PDU, an error) shows.
    auto plain = run(dir, file);
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.out.find("terminalCapabilitySet"), std::string::npos);

    auto told = run(dir, file + " --h245-port 3456");
    EXPECT_EQ(told.status, 1);
    EXPECT_NE(told.out.find("frame " + std::to_string(tcsFrame) +
                            "  10.9.0.1:40002 -> 10.9.0.2:3456  H.245 request "
                            "terminalCapabilitySet"),
              std::string::npos)
        << told.out;
    EXPECT_NE(told.out.find("g711Ulaw64k"), std::string::npos) << told.out;
    EXPECT_NE(told.err.find("frame " + std::to_string(brokenFrame) + ": H.245: "),
              std::string::npos)
        << told.err;
}

TEST(Kxdecode, OtherSignallingPortsAndIpv6)
{
    TempDir dir;
    kx::capture::PcapWriter writer;
    voip::q931::Message status;
    status.type = static_cast<std::uint8_t>(voip::q931::MessageType::StatusEnquiry);
    status.callReference = 77;
    const Bytes framed = *voip::q931::tpktFrame(*voip::q931::encodeMessage(status));
    writer.addTcp(endpoint("2001:db8::1", 40000), endpoint("2001:db8::2", 1720), framed);
    writer.addTcp(endpoint("10.9.0.1", 40001), endpoint("10.9.0.2", 1721), framed);
    const std::string file = dir.file("ports.pcap");
    ASSERT_TRUE(writer.save(file));

    auto standard = run(dir, file);
    EXPECT_NE(standard.out.find("[2001:db8::1]:40000 -> [2001:db8::2]:1720  Q.931/H.225.0"),
              std::string::npos)
        << standard.out;
    EXPECT_NE(standard.out.find("Q.931 Status enquiry, call reference 77"), std::string::npos);
    EXPECT_EQ(standard.out.find(":1721"), std::string::npos);

    auto extra = run(dir, file + " --port 1721");
    EXPECT_NE(extra.out.find("10.9.0.1:40001 -> 10.9.0.2:1721  Q.931/H.225.0"), std::string::npos)
        << extra.out;
}

TEST(Kxdecode, ReferenceCaptureDecodesWholly)
{
    const auto dir = kx::testutil::referenceDir();
    if (dir.empty())
        GTEST_SKIP() << "reference captures are absent";
    TempDir temp;
    // The separate H.245 channel is found from the h245Address of the Connect.
    auto result = run(temp, (dir / "pcaps" / "wiki-rtp_example.pcap").string());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Q.931 Setup"), std::string::npos);
    EXPECT_NE(result.out.find("h245Address = ipAddress"), std::string::npos);
    EXPECT_NE(result.out.find("frame 28  10.1.3.143:32804 -> 10.1.6.18:1232  H.245 request "
                              "openLogicalChannel"),
              std::string::npos)
        << result.out;
}
