#include "voip/q931/tpkt.h"

#include <algorithm>
#include <string>

namespace voip::q931 {

std::string Error::toString() const
{
    return message + " at octet " + std::to_string(offset);
}

Result<std::vector<std::uint8_t>> tpktFrame(std::span<const std::uint8_t> pdu)
{
    if (pdu.size() + kTpktHeaderSize > kTpktMaxPacket)
        return makeError("PDU of " + std::to_string(pdu.size()) +
                         " octets does not fit a TPKT packet");
    const auto length = static_cast<std::uint16_t>(pdu.size() + kTpktHeaderSize);
    std::vector<std::uint8_t> out;
    out.reserve(length);
    out.push_back(kTpktVersion);
    out.push_back(0);
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length & 0xff));
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

TpktSplitter::TpktSplitter(std::size_t maxPacket)
    : maxPacket_(std::clamp<std::size_t>(maxPacket, kTpktHeaderSize, kTpktMaxPacket))
{}

void TpktSplitter::feed(std::span<const std::uint8_t> bytes)
{
    if (failed_)
        return;
    // Compact before growing, so a long-lived connection does not keep every byte it saw.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Result<std::vector<std::uint8_t>>> TpktSplitter::next()
{
    if (failed_)
        return Result<std::vector<std::uint8_t>>(*failed_);
    const std::size_t available = buffer_.size() - start_;
    if (available < kTpktHeaderSize)
        return std::nullopt;
    const std::uint8_t* header = buffer_.data() + start_;
    if (header[0] != kTpktVersion) {
        failed_ =
            makeError("TPKT version " + std::to_string(header[0]) + ", expected 3", consumed_);
        return Result<std::vector<std::uint8_t>>(*failed_);
    }
    const std::size_t length = (std::size_t{header[2]} << 8) | header[3];
    if (length < kTpktHeaderSize) {
        failed_ = makeError("TPKT length " + std::to_string(length) + " is shorter than its header",
                            consumed_ + 2);
        return Result<std::vector<std::uint8_t>>(*failed_);
    }
    if (length > maxPacket_) {
        failed_ = makeError("TPKT length " + std::to_string(length) + " exceeds the limit of " +
                                std::to_string(maxPacket_),
                            consumed_ + 2);
        return Result<std::vector<std::uint8_t>>(*failed_);
    }
    if (available < length)
        return std::nullopt;
    std::vector<std::uint8_t> pdu(header + kTpktHeaderSize, header + length);
    start_ += length;
    consumed_ += length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return Result<std::vector<std::uint8_t>>(std::move(pdu));
}

void TpktSplitter::reset()
{
    consumed_ += buffer_.size() - start_;
    buffer_.clear();
    start_ = 0;
    failed_.reset();
}

} // namespace voip::q931
