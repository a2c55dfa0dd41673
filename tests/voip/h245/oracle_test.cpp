// Random messages of every shape, read by an independent decoder: tshark's H.245 dissector
// must read each without a malformed or warning mark. A wrong field order, optionality,
// constraint or extension marker in our schema shifts the bits and shows up here.
// Skipped when tshark is not installed.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "filler.h"
#include "voip/asn/codec.h"
#include "voip/h245/schema.h"
#include "tests/support/toolskip.h"

namespace voip::h245 {
namespace {

constexpr std::uint16_t h245Port = 5555; // only a decode-as key inside the file

void put16(std::string& out, std::uint16_t v)
{
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xFF);
}

void putLittle32(std::string& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

/// A classic pcap file with one Ethernet/IPv4/UDP frame per payload.
std::string pcapOf(const std::vector<std::vector<std::uint8_t>>& payloads)
{
    std::string file;
    putLittle32(file, 0xA1B2C3D4);
    file += std::string("\x02\x00\x04\x00", 4);
    putLittle32(file, 0);
    putLittle32(file, 0);
    putLittle32(file, 65535);
    putLittle32(file, 1); // Ethernet
    std::uint32_t second = 0;
    for (const auto& payload : payloads) {
        std::string udp;
        put16(udp, 40000);
        put16(udp, h245Port);
        put16(udp, static_cast<std::uint16_t>(8 + payload.size()));
        put16(udp, 0);
        udp.append(payload.begin(), payload.end());
        std::string ip("\x45\x00", 2);
        put16(ip, static_cast<std::uint16_t>(20 + udp.size()));
        ip += std::string("\x00\x00\x00\x00\x40\x11\x00\x00\x7f\x00\x00\x01\x7f\x00\x00\x01", 16);
        std::string frame(12, '\0');
        frame += std::string("\x08\x00", 2) + ip + udp;
        putLittle32(file, second++);
        putLittle32(file, 0);
        putLittle32(file, static_cast<std::uint32_t>(frame.size()));
        putLittle32(file, static_cast<std::uint32_t>(frame.size()));
        file += frame;
    }
    return file;
}

std::string run(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    std::array<char, 4096> buffer;
    std::size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        output.append(buffer.data(), n);
    pclose(pipe);
    return output;
}

TEST(H245Oracle, TsharkReadsRandomMessagesOfEveryShape)
{
    if (std::system("tshark -v > /dev/null 2>&1") != 0)
        KX_SKIP_WITHOUT_TOOL() << "tshark is not installed";
    ASSERT_NE(messageType(), nullptr);

    test::Filler filler(245);
    std::vector<std::vector<std::uint8_t>> messages;
    while (messages.size() < 1500) {
        asn::Value message(*messageType());
        filler.fill(message, *messageType(), 0, test::Filler::Optionals::Random);
        auto bytes = asn::encode(message);
        ASSERT_TRUE(bytes.ok()) << bytes.error().toString();
        if (bytes->size() <= 1400)
            messages.push_back(std::move(bytes).value());
    }
    const std::string path =
        std::string(KX_BINARY_DIR) + "/h245_oracle_" + std::to_string(::getpid()) + ".pcap";
    {
        std::ofstream file(path, std::ios::binary);
        file << pcapOf(messages);
    }
    // Octet strings that tshark reads further (an echoed function, key material) hold
    // random octets here; their marks say nothing about our encoding.
    const std::string command =
        "tshark -r '" + path + "' -d udp.port==" + std::to_string(h245Port) +
        ",h245 -Y '(_ws.malformed || _ws.expert.severity >= warning) && "
        "!h245.returnedFunction && !h245.h235Key' -T fields -e frame.number 2>/dev/null";
    const std::string marked = run(command);
    const std::string decodedCount =
        run("tshark -r '" + path + "' -d udp.port==" + std::to_string(h245Port) +
            ",h245 -Y h245 -T fields -e frame.number 2>/dev/null | wc -l");
    std::remove(path.c_str());

    EXPECT_EQ(std::stoul("0" + decodedCount.substr(0, decodedCount.find_first_of(" \n"))),
              messages.size())
        << "tshark did not read every frame as H.245";
    std::istringstream frames(marked);
    std::string frame;
    while (std::getline(frames, frame)) {
        if (frame.empty())
            continue;
        const auto& bytes = messages[std::stoul(frame) - 1];
        std::string hexText;
        for (const auto b : bytes) {
            static const char* digits = "0123456789abcdef";
            hexText += digits[b >> 4];
            hexText += digits[b & 15];
        }
        ADD_FAILURE() << "tshark marks frame " << frame << ": " << hexText;
    }
}

} // namespace
} // namespace voip::h245
