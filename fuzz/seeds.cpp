// Writes seed inputs for the fuzz targets.
//
//   fuzz_seeds captures REFERENCE_DIR H225_DIR H245_DIR CAPTURE_DIR
//       every call-signalling message, H.245 PDU and fastStart element of the reference
//       captures (nothing when the folder is absent), and the small captures themselves;
//   fuzz_seeds ours H225_DIR H245_DIR CAPTURE_DIR
//       messages built with our own encoders (the committed corpus under fuzz/corpus).
//
// Each seed starts with the selector octet the targets read (see fuzz_h225.cpp and
// fuzz_h245.cpp).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/common/capture.h"
#include "tools/common/pcapwriter.h"
#include "tools/kxdecode/decoder.h"
#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/message.h"
#include "voip/h245/capabilities.h"
#include "voip/h245/channels.h"
#include "voip/h245/h239.h"
#include "voip/h245/message.h"
#include "voip/q931/elements.h"
#include "voip/q931/tpkt.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

int written = 0;

void writeSeed(const fs::path& dir, const std::string& name, std::uint8_t selector,
               std::span<const std::uint8_t> bytes, bool withSelector = true)
{
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    if (withSelector)
        out.put(static_cast<char>(selector));
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ++written;
}

int fromCaptures(const fs::path& reference, const fs::path& h225, const fs::path& h245,
                 const fs::path& captures)
{
    std::error_code ec;
    if (!fs::is_directory(reference / "pcaps", ec)) {
        std::cout << "no reference captures: no seeds written\n";
        return 0;
    }
    for (const auto& entry : fs::directory_iterator(reference / "pcaps")) {
        if (entry.path().extension() != ".pcap")
            continue;
        const std::string stem = entry.path().stem().string();
        if (entry.file_size() <= 64 * 1024)
            fs::copy_file(entry.path(), captures / (stem + ".pcap"),
                          fs::copy_options::overwrite_existing, ec);
        const auto report =
            kx::decode::decodeCapture(kx::capture::readCaptureFile(entry.path().string()), {});
        int index = 0;
        for (const auto& message : report.messages) {
            const std::string name =
                stem + "-" + std::to_string(message.frame) + "-" + std::to_string(index++);
            if (message.q931) {
                if (auto bytes = voip::q931::encodeMessage(*message.q931))
                    writeSeed(h225, name, 1, *bytes);
            } else if (message.protocol == kx::decode::Protocol::H245) {
                writeSeed(h245, name, 0, message.pdu);
            } else if (message.protocol == kx::decode::Protocol::FastStart) {
                writeSeed(h245, name, 1, message.pdu);
            }
        }
    }
    std::cout << written << " seeds written\n";
    return 0;
}

voip::h245::Capability capability(voip::h245::CapabilityType type)
{
    voip::h245::Capability c;
    c.type = type;
    c.maxBitRate = 19200;
    if (type == voip::h245::CapabilityType::GenericAudio)
        c.genericIdentifier = "0.0.8.245.1.1.1";
    if (type == voip::h245::CapabilityType::UserInput)
        c.userInputName = "dtmf";
    return c;
}

Bytes q931Bytes(std::uint8_t type, bool fromCallee, const voip::asn::Value& info)
{
    voip::q931::Message message;
    message.type = type;
    message.callReference = 42;
    message.fromDestination = fromCallee;
    if (type == 0x05) {
        voip::q931::BearerCapability bearer;
        bearer.layer1Protocol = 5;
        message.set(voip::q931::ie::BearerCapability, voip::q931::encodeBearerCapability(bearer));
        message.set(voip::q931::ie::Display, *voip::q931::encodeIa5Text("Kestrovia"));
    }
    if (type == 0x5a)
        message.set(voip::q931::ie::Cause, voip::q931::encodeCause({}));
    auto pdu = voip::h225::encodeUserInformation(info);
    if (!pdu.ok()) {
        std::cerr << "cannot encode: " << pdu.error().toString() << "\n";
        return {};
    }
    (void)voip::q931::setUserUserPdu(message, *pdu);
    return voip::q931::encodeMessage(message).value();
}

namespace h245 = voip::h245;

int ours(const fs::path& h225Dir, const fs::path& h245Dir, const fs::path& captureDir)
{
    using h245::CapabilityType;
    std::vector<std::pair<std::string, voip::asn::Value>> h245Messages;
    h245::CapabilitySet set;
    for (auto type : {CapabilityType::G711Alaw, CapabilityType::G711Ulaw, CapabilityType::G722,
                      CapabilityType::GenericAudio, CapabilityType::H261, CapabilityType::H263,
                      CapabilityType::H264, CapabilityType::H239Content,
                      CapabilityType::H239Control, CapabilityType::H224, CapabilityType::UserInput})
        set.capabilities.push_back(capability(type));
    h245Messages.emplace_back("tcs", h245::buildTerminalCapabilitySet(set));
    h245Messages.emplace_back("msd", h245::buildMasterSlaveDetermination({50, 77}));
    h245::LogicalChannel video;
    video.number = 2;
    video.sessionId = 2;
    video.dataType = capability(CapabilityType::H264);
    video.dynamicRtpPayloadType = 109;
    h245::MediaAddress rtcp;
    rtcp.ip = {10, 0, 0, 1};
    rtcp.port = 5003;
    video.mediaControlChannel = rtcp;
    h245Messages.emplace_back("olc-h264", h245::buildOpenLogicalChannel(video));
    h245Messages.emplace_back(
        "uii", h245::buildUserInputIndication({h245::UserInputKind::Signal, "7", 100}));
    h245::H239Message token;
    token.channelId = 3;
    token.terminalLabel = 1;
    token.symmetryBreaking = 9;
    h245Messages.emplace_back("h239-token", h245::buildH239Message(token));
    h245Messages.emplace_back("vfu", h245::buildVideoFastUpdatePicture(2));
    kx::capture::PcapWriter writer;
    kx::capture::Endpoint a, b, c, d;
    kx::capture::Address::parse("10.0.0.1", a.address);
    kx::capture::Address::parse("10.0.0.2", b.address);
    c = a;
    d = b;
    a.port = 40000;
    b.port = 1720;
    c.port = 40001;
    d.port = 1232;
    for (const auto& [name, message] : h245Messages) {
        auto bytes = h245::encodeMessage(message);
        if (!bytes.ok()) {
            std::cerr << name << ": " << bytes.error().toString() << "\n";
            return 1;
        }
        writeSeed(h245Dir, "ours-" + name, 0, *bytes);
        writer.addTcp(c, d, voip::q931::tpktFrame(*bytes).value());
    }
    h245::FastStartChannel proposal;
    proposal.receive = true;
    proposal.channel.dataType = capability(CapabilityType::G711Ulaw);
    proposal.channel.mediaControlChannel = rtcp;
    const Bytes fastStart = h245::encodeFastStartChannel(proposal).value();
    writeSeed(h245Dir, "ours-faststart", 1, fastStart);

    const auto call = voip::h225::newGuid();
    auto setup = voip::h225::newUserInformation("setup");
    auto& body = voip::h225::messageBody(setup);
    voip::h225::setEndpointType(body.field("sourceInfo"));
    voip::h225::setGuid(body.field("callIdentifier").field("guid"), call);
    voip::h225::setGuid(body.field("conferenceID"), voip::h225::newGuid());
    voip::h225::setAlias(body.field("sourceAddress").append(), "Kestrovia");
    voip::h225::setAlias(body.field("destinationAddress").append(), "1234");
    body.field("conferenceGoal").choose("create");
    body.field("callType").choose("pointToPoint");
    body.field("fastStart").append().setOctets(fastStart);
    auto connect = voip::h225::newUserInformation("connect");
    auto& connectBody = voip::h225::messageBody(connect);
    voip::h225::setEndpointType(connectBody.field("destinationInfo"));
    voip::h225::setGuid(connectBody.field("callIdentifier").field("guid"), call);
    voip::h225::setTransportAddress(connectBody.field("h245Address"),
                                    *voip::h225::IpAddressPort::parse("10.0.0.2:1232"));
    auto facility = voip::h225::newUserInformation("facility");
    auto& facilityBody = voip::h225::messageBody(facility);
    voip::h225::setGuid(facilityBody.field("callIdentifier").field("guid"), call);
    facilityBody.field("reason").choose(voip::h225::facilityReasonIndex("callForwarded"));
    voip::h225::setAlias(facilityBody.field("alternativeAliasAddress").append(), "room-1");
    voip::h225::uuPdu(facility)
        .field("h245Control")
        .append()
        .setOctets(h245::encodeMessage(h245::buildRoundTripDelayRequest(1)).value());
    auto release = voip::h225::newUserInformation("releaseComplete");
    voip::h225::setGuid(voip::h225::messageBody(release).field("callIdentifier").field("guid"),
                        call);
    const std::vector<std::tuple<std::string, std::uint8_t, bool, voip::asn::Value*>> bodies{
        {"setup", 0x05, false, &setup},
        {"connect", 0x07, true, &connect},
        {"facility", 0x62, true, &facility},
        {"release", 0x5a, false, &release},
    };
    Bytes stream;
    for (const auto& [name, type, fromCallee, info] : bodies) {
        const Bytes bytes = q931Bytes(type, fromCallee, *info);
        if (bytes.empty())
            return 1;
        writeSeed(h225Dir, "ours-" + name, 1, bytes);
        const Bytes framed = voip::q931::tpktFrame(bytes).value();
        stream.insert(stream.end(), framed.begin(), framed.end());
        if (fromCallee)
            writer.addTcp(b, a, framed);
        else
            writer.addTcp(a, b, framed);
    }
    writeSeed(h225Dir, "ours-stream", 0, stream);
    writeSeed(captureDir, "ours-call.pcap", 0, writer.bytes(), false);
    std::cout << written << " seeds written\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 5 && args[0] == "captures")
        return fromCaptures(args[1], args[2], args[3], args[4]);
    if (args.size() == 4 && args[0] == "ours")
        return ours(args[1], args[2], args[3]);
    std::cerr << "usage: fuzz_seeds captures REFERENCE_DIR H225_DIR H245_DIR CAPTURE_DIR\n"
                 "       fuzz_seeds ours H225_DIR H245_DIR CAPTURE_DIR\n";
    return 2;
}
