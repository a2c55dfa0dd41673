#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "voip/q931/result.h"

namespace voip::q931 {

/// RFC 1006 section 6: version 3, one reserved octet, a 16-bit length that counts the
/// four header octets too.
inline constexpr std::uint8_t kTpktVersion = 3;
inline constexpr std::size_t kTpktHeaderSize = 4;
inline constexpr std::size_t kTpktMaxPacket = 65535;

/// Wraps one PDU in a TPKT header.  Fails when the PDU does not fit the 16-bit length.
Result<std::vector<std::uint8_t>> tpktFrame(std::span<const std::uint8_t> pdu);

/// Cuts a TCP byte stream into the PDUs its TPKT headers delimit.
///
/// Feed it the bytes as they arrive, in any chunk sizes; next() hands out each complete
/// PDU (without its header).  A header with another version than 3, a length shorter than
/// the header itself or longer than the configured cap puts the splitter in a failed state
/// that next() reports once per call until reset(); the bytes behind a bad header cannot be
/// trusted to start a packet, so the caller drops the connection or resynchronises.
/// Not thread-safe: one splitter per connection, used by one thread.
class TpktSplitter
{
public:
    /// maxPacket: the largest TPKT length accepted, header included (at most 65535).
    explicit TpktSplitter(std::size_t maxPacket = kTpktMaxPacket);

    /// Appends received bytes.  Ignored while failed.
    void feed(std::span<const std::uint8_t> bytes);

    /// The next complete PDU, std::nullopt when more bytes are needed, or the error that
    /// stopped the stream.  The error's offset counts octets from the start of the stream.
    std::optional<Result<std::vector<std::uint8_t>>> next();

    bool failed() const { return failed_.has_value(); }
    /// Bytes received but not yet handed out as a PDU.
    std::size_t buffered() const { return buffer_.size() - start_; }
    /// Octets consumed from the stream so far (headers and PDUs handed out).
    std::uint64_t consumed() const { return consumed_; }
    /// Drops every buffered byte and any error; the next byte fed starts a new packet.
    void reset();

private:
    std::size_t maxPacket_;
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;
    std::uint64_t consumed_ = 0;
    std::optional<Error> failed_;
};

} // namespace voip::q931
