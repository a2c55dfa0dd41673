#include "voip/h224/h224frame.h"

#include <algorithm>

namespace voip::h224 {

namespace {

constexpr uint8_t ListCode = 0x01;
constexpr uint8_t ExtraCapabilitiesCode = 0x02;
constexpr uint8_t ResponseCode = 0x00;
constexpr uint8_t CommandCode = 0xFF;

bool fail(std::string* error, const char* reason)
{
    if (error)
        *error = reason;
    return false;
}

std::nullopt_t refuse(std::string* error, const char* reason)
{
    fail(error, reason);
    return std::nullopt;
}

/// Octets that follow a client ID of the first octet's kind.
std::size_t extensionLength(uint8_t clientId)
{
    switch (clientId) {
    case ExtendedClientId:
        return 1;
    case NonStandardClientId:
        return 5;
    default:
        return 0;
    }
}

void appendClientId(std::vector<uint8_t>& out, uint8_t clientId,
                    const std::vector<uint8_t>& extension, uint8_t topBit)
{
    clientId &= 0x7F;
    out.push_back(uint8_t(topBit | clientId));
    // The extension is always as long as the ID's kind says, padded or cut if need be.
    auto wanted = extensionLength(clientId);
    for (std::size_t i = 0; i < wanted; ++i)
        out.push_back(i < extension.size() ? extension[i] : 0);
}

/// Reads a client ID at `at`: the top bit of its first octet goes to `topBit`.
bool readClientId(std::span<const uint8_t> bytes, std::size_t& at, uint8_t& clientId,
                  std::vector<uint8_t>& extension, bool& topBit, std::string* error)
{
    if (at >= bytes.size())
        return fail(error, "client ID missing");
    topBit = (bytes[at] & 0x80) != 0;
    clientId = bytes[at] & 0x7F;
    ++at;
    const auto length = extensionLength(clientId);
    if (bytes.size() - at < length)
        return fail(error, "client ID extension cut off");
    extension.assign(bytes.begin() + long(at), bytes.begin() + long(at + length));
    at += length;
    return true;
}

} // namespace

std::vector<uint8_t> encodeFrame(const Frame& frame)
{
    std::vector<uint8_t> out;
    out.reserve(MinFrameSize + 5 + std::min(frame.data.size(), MaxClientData));
    // Q.922 address: DLCI bits 9..4 over C/R and EA 0, DLCI bits 3..0 over FECN, BECN,
    // DE and EA 1.
    out.push_back(uint8_t((frame.dlci >> 2) & 0xFC));
    out.push_back(uint8_t(((frame.dlci & 0x0F) << 4) | 0x01));
    out.push_back(UiControl);
    out.push_back(uint8_t(frame.destination >> 8));
    out.push_back(uint8_t(frame.destination));
    out.push_back(uint8_t(frame.source >> 8));
    out.push_back(uint8_t(frame.source));
    appendClientId(out, frame.clientId, frame.clientIdExtension, 0);
    out.push_back(uint8_t((frame.endingSegment ? 0x80 : 0) | (frame.beginningSegment ? 0x40 : 0) |
                          (frame.segmentNumber & 0x0F)));
    const auto length = std::min(frame.data.size(), MaxClientData);
    out.insert(out.end(), frame.data.begin(), frame.data.begin() + long(length));
    return out;
}

std::optional<Frame> decodeFrame(std::span<const uint8_t> bytes, std::string* error)
{
    if (bytes.size() < MinFrameSize)
        return refuse(error, "shorter than an H.224 frame header");
    if ((bytes[0] & 0x01) != 0 || (bytes[1] & 0x01) != 1)
        return refuse(error, "address extension bits out of place");
    Frame frame;
    frame.dlci = uint16_t(((bytes[0] & 0xFC) << 2) | (bytes[1] >> 4));
    if (frame.dlci != LowPriorityDlci && frame.dlci != HighPriorityDlci)
        return refuse(error, "not an H.224 DLCI");
    if (bytes[2] != UiControl)
        return refuse(error, "control field is not UI");
    frame.destination = uint16_t((bytes[3] << 8) | bytes[4]);
    frame.source = uint16_t((bytes[5] << 8) | bytes[6]);
    std::size_t at = 7;
    bool reserved = false;
    if (!readClientId(bytes, at, frame.clientId, frame.clientIdExtension, reserved, error))
        return std::nullopt;
    if (reserved)
        return refuse(error, "reserved bit of the client ID set");
    if (at >= bytes.size())
        return refuse(error, "segment octet missing");
    const uint8_t flags = bytes[at++];
    frame.endingSegment = (flags & 0x80) != 0;
    frame.beginningSegment = (flags & 0x40) != 0;
    frame.segmentNumber = flags & 0x0F;
    if (bytes.size() - at > MaxClientData)
        return refuse(error, "client data longer than this engine takes");
    frame.data.assign(bytes.begin() + long(at), bytes.end());
    return frame;
}

namespace {

constexpr uint8_t Flag = 0x7E;
constexpr std::size_t OpeningFlags = 3;
/// Address, control, addresses, a five-octet client ID, segment octet, data and FCS.
constexpr std::size_t MaxHdlcFrame = MinFrameSize + 5 + MaxClientData + 2;

/// ISO/IEC 13239 frame check sequence: CRC-16 (x^16 + x^12 + x^5 + 1) over the frame,
/// least significant bit first, preset to ones, sent complemented.
uint16_t frameCheckSequence(std::span<const uint8_t> octets)
{
    uint16_t crc = 0xFFFF;
    for (const uint8_t octet : octets) {
        crc ^= octet;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0x8408) : uint16_t(crc >> 1);
    }
    return uint16_t(~crc);
}

/// Writes bits into octets, the first bit in the most significant position.
class BitWriter
{
public:
    void bit(bool one)
    {
        if (used_ == 0)
            out_.push_back(0);
        if (one)
            out_.back() |= uint8_t(0x80 >> used_);
        used_ = (used_ + 1) % 8;
    }
    void flag()
    {
        for (int i = 7; i >= 0; --i)
            bit((Flag >> i) & 1);
    }
    /// An octet of the frame, least significant bit first, with a zero after five ones.
    void stuffed(uint8_t octet)
    {
        for (int i = 0; i < 8; ++i) {
            const bool one = (octet >> i) & 1;
            bit(one);
            ones_ = one ? ones_ + 1 : 0;
            if (ones_ == 5) {
                bit(false);
                ones_ = 0;
            }
        }
    }
    /// Flag bits until the last octet is full.
    void fill()
    {
        for (int i = 7; used_ != 0; --i)
            bit((Flag >> i) & 1);
    }
    std::vector<uint8_t> take() { return std::move(out_); }

private:
    std::vector<uint8_t> out_;
    int used_ = 0;
    int ones_ = 0;
};

} // namespace

std::vector<uint8_t> encodeHdlc(std::span<const uint8_t> frame)
{
    BitWriter writer;
    for (std::size_t i = 0; i < OpeningFlags; ++i)
        writer.flag();
    for (const uint8_t octet : frame)
        writer.stuffed(octet);
    const uint16_t fcs = frameCheckSequence(frame);
    writer.stuffed(uint8_t(fcs & 0xFF));
    writer.stuffed(uint8_t(fcs >> 8));
    writer.flag();
    writer.fill();
    return writer.take();
}

std::optional<std::vector<std::vector<uint8_t>>> decodeHdlc(std::span<const uint8_t> payload,
                                                            std::string* error)
{
    std::vector<std::vector<uint8_t>> frames;
    bool inFrame = false;  // a flag has been seen: bits go to the frame
    unsigned ones = 0;     // ones in a row, across stuffing
    unsigned shift = 0;    // the last eight bits, for finding flags
    std::vector<bool> bits;
    auto closeFrame = [&]() -> bool {
        // The flag's first seven bits went into the frame before it was seen.
        bits.resize(bits.size() >= 7 ? bits.size() - 7 : 0);
        if (bits.empty())
            return true; // flags back to back
        if (bits.size() % 8 != 0)
            return fail(error, "HDLC frame not a whole number of octets");
        std::vector<uint8_t> octets(bits.size() / 8, 0);
        for (std::size_t i = 0; i < bits.size(); ++i)
            if (bits[i])
                octets[i / 8] |= uint8_t(1 << (i % 8));
        if (octets.size() < 3)
            return fail(error, "HDLC frame shorter than its check sequence");
        const std::size_t length = octets.size() - 2;
        const uint16_t received = uint16_t(octets[length] | (octets[length + 1] << 8));
        if (frameCheckSequence(std::span(octets).first(length)) != received)
            return fail(error, "HDLC frame check sequence does not match");
        octets.resize(length);
        frames.push_back(std::move(octets));
        return true;
    };
    for (const uint8_t octet : payload) {
        for (int i = 7; i >= 0; --i) {
            const bool one = (octet >> i) & 1;
            shift = ((shift << 1) | (one ? 1 : 0)) & 0xFF;
            if (shift == Flag) {
                if (inFrame && !closeFrame())
                    return std::nullopt;
                inFrame = true;
                bits.clear();
                ones = 0;
                continue;
            }
            if (!inFrame)
                continue;
            if (one) {
                if (++ones >= 7) {
                    // Ones straight after a flag are the line idling; inside a frame they
                    // abort it.
                    if (bits.size() + 1 != ones)
                        return refuse(error, "HDLC frame aborted (seven ones in a row)");
                    inFrame = false;
                    bits.clear();
                    continue;
                }
            } else {
                const bool stuffing = ones == 5;
                ones = 0;
                if (stuffing)
                    continue; // the zero inserted after five ones
            }
            bits.push_back(one);
            if (bits.size() > (MaxHdlcFrame + 1) * 8)
                return refuse(error, "HDLC frame longer than an H.224 frame");
        }
    }
    // A part of a flag after the last frame is flag fill; a whole octet or more is a frame
    // that was cut off.
    const bool idle = std::all_of(bits.begin(), bits.end(), [](bool b) { return b; });
    if (inFrame && bits.size() >= 8 && !idle)
        return refuse(error, "HDLC frame cut off before its closing flag");
    if (frames.empty())
        return refuse(error, "no HDLC frame in the payload");
    return frames;
}

std::vector<uint8_t> encodeCmeMessage(const CmeMessage& message)
{
    std::vector<uint8_t> out;
    switch (message.type) {
    case CmeMessageType::ClientList: {
        out = {ListCode, ResponseCode};
        const auto count = std::min<std::size_t>(message.clients.size(), 127);
        out.push_back(uint8_t(count));
        for (std::size_t i = 0; i < count; ++i) {
            const auto& client = message.clients[i];
            appendClientId(out, client.clientId, client.clientIdExtension,
                           client.extraCapabilities ? 0x80 : 0);
        }
        break;
    }
    case CmeMessageType::ClientListCommand:
        out = {ListCode, CommandCode};
        break;
    case CmeMessageType::ExtraCapabilities:
        out = {ExtraCapabilitiesCode, ResponseCode};
        appendClientId(out, message.client.clientId, message.client.clientIdExtension, 0x80);
        out.insert(out.end(), message.capabilities.begin(), message.capabilities.end());
        break;
    case CmeMessageType::ExtraCapabilitiesCommand:
        out = {ExtraCapabilitiesCode, CommandCode};
        appendClientId(out, message.client.clientId, message.client.clientIdExtension, 0x80);
        break;
    }
    return out;
}

std::optional<CmeMessage> decodeCmeMessage(std::span<const uint8_t> data, std::string* error)
{
    if (data.size() < 2)
        return refuse(error, "CME message shorter than its code");
    CmeMessage message;
    std::size_t at = 2;
    const bool command = data[1] == CommandCode;
    if (!command && data[1] != ResponseCode)
        return refuse(error, "unknown CME response code");
    if (data[0] == ListCode) {
        message.type = command ? CmeMessageType::ClientListCommand : CmeMessageType::ClientList;
        if (command)
            return message;
        if (at >= data.size())
            return refuse(error, "client list without its count");
        const unsigned count = data[at++];
        // Each entry takes at least one octet: a count beyond what is left is refused
        // before anything is reserved for it.
        if (count > data.size() - at)
            return refuse(error, "client list longer than its octets");
        for (unsigned i = 0; i < count; ++i) {
            ClientEntry entry;
            if (!readClientId(data, at, entry.clientId, entry.clientIdExtension,
                              entry.extraCapabilities, error))
                return std::nullopt;
            message.clients.push_back(std::move(entry));
        }
        return message;
    }
    if (data[0] == ExtraCapabilitiesCode) {
        message.type = command ? CmeMessageType::ExtraCapabilitiesCommand
                               : CmeMessageType::ExtraCapabilities;
        if (!readClientId(data, at, message.client.clientId, message.client.clientIdExtension,
                          message.client.extraCapabilities, error))
            return std::nullopt;
        if (!command)
            message.capabilities.assign(data.begin() + long(at), data.end());
        return message;
    }
    return refuse(error, "unknown CME message code");
}

} // namespace voip::h224
