// kxdecode: prints the H.323 signalling in a capture (or one message given in hex) as
// readable text, and the decode errors with their frame and bit offset.
//
//   kxdecode FILE.pcap|FILE.pcapng [--port N]... [--h245-port N]... [--ras-port N]...
//   kxdecode --hex q931|h225|h245|ras HEXSTRING
//
// Exit status: 0 when everything decoded, 1 when something failed to decode, 2 on a usage
// or file error.

#include <cctype>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/kxdecode/decoder.h"

namespace {

int usage()
{
    std::cerr << "usage: kxdecode FILE.pcap|FILE.pcapng [--port N]... [--h245-port N]... "
                 "[--ras-port N]...\n"
                 "       kxdecode --hex q931|h225|h245|ras HEXSTRING\n";
    return 2;
}

bool parsePort(const std::string& text, std::uint16_t& port)
{
    if (text.empty() || text.size() > 5)
        return false;
    unsigned long value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value == 0 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// Accepts "0a 1b", "0a:1b", "0A1B"; false on an odd digit count or a non-hex character.
bool parseHex(const std::string& text, std::vector<std::uint8_t>& out)
{
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits.push_back(c);
        else if (c != ' ' && c != ':' && c != '\n' && c != '\t')
            return false;
    }
    if (digits.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

int printAll(const std::vector<kx::decode::DecodedMessage>& messages,
             const std::vector<std::string>& problems, const std::vector<std::string>& notes = {})
{
    for (const auto& note : notes)
        std::cerr << "note: " << note << "\n";
    bool failed = !problems.empty();
    for (const auto& message : messages) {
        std::cout << kx::decode::describe(message) << "\n";
        if (message.error) {
            std::cerr << kx::decode::errorLine(message) << "\n";
            failed = true;
        }
    }
    for (const auto& problem : problems)
        std::cerr << problem << "\n";
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usage();

    if (args[0] == "--hex") {
        if (args.size() < 3)
            return usage();
        std::string hexText;
        for (std::size_t i = 2; i < args.size(); ++i)
            hexText += args[i];
        std::vector<std::uint8_t> bytes;
        if (!parseHex(hexText, bytes) || bytes.empty()) {
            std::cerr << "kxdecode: not a hex string\n";
            return 2;
        }
        std::vector<kx::decode::DecodedMessage> messages;
        if (args[1] == "q931")
            messages = kx::decode::decodeCallSignalling(bytes);
        else if (args[1] == "h225")
            messages = kx::decode::decodeH225(bytes);
        else if (args[1] == "h245")
            messages = kx::decode::decodeH245(bytes);
        else if (args[1] == "ras")
            messages.push_back(kx::decode::decodeRas(bytes));
        else
            return usage();
        return printAll(messages, {});
    }

    kx::decode::Options options;
    std::string path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--port" || arg == "--h245-port" || arg == "--ras-port") {
            std::uint16_t port = 0;
            if (i + 1 >= args.size() || !parsePort(args[i + 1], port)) {
                std::cerr << "kxdecode: " << arg << " needs a port number from 1 to 65535\n";
                return 2;
            }
            ++i;
            if (arg == "--port")
                options.callSignallingPorts.insert(port);
            else if (arg == "--h245-port")
                options.h245Ports.insert(port);
            else
                options.rasPorts.insert(port);
        } else if (!arg.empty() && arg[0] == '-') {
            return usage();
        } else if (path.empty()) {
            path = arg;
        } else {
            return usage();
        }
    }
    if (path.empty())
        return usage();

    const auto capture = kx::capture::readCaptureFile(path);
    if (capture.error && capture.frames.empty()) {
        std::cerr << "kxdecode: " << path << ": " << *capture.error << "\n";
        return 2;
    }
    const auto report = kx::decode::decodeCapture(capture, options);
    return printAll(report.messages, report.problems, report.notes);
}
