#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "voip/status.h"

namespace voip {

/// A range of ports from `base` to `max`, both included.  {0, 0} means "any port the
/// system picks".
struct PortRange
{
    std::uint16_t base = 0;
    std::uint16_t max = 0;
    bool operator==(const PortRange&) const = default;
};

/// Hands out ports of one range in turn, so that consecutive calls do not reuse the port
/// just released (a late packet of the previous call would reach the new one).  The
/// caller tries to bind each offered port; a busy port is skipped and the next one
/// offered, once around the range at most.  Thread-safe: one mutex over range and cursor.
class PortAllocator
{
public:
    /// Accepts base <= max with both non-zero, or {0, 0}.  A rejected range leaves the
    /// previous one in place.
    Status setRange(PortRange range);
    PortRange range() const;

    /// Offers ports to `tryBind` until it returns true; returns that port, or nothing
    /// when every port of the range failed.  With the range {0, 0}, offers 0 once.
    /// `tryBind` runs without the allocator's lock held.
    std::optional<std::uint16_t> allocate(const std::function<bool(std::uint16_t)>& tryBind);

    /// The same for an RTP/RTCP pair (RFC 3550 11: RTP on an even port, RTCP on the next
    /// one): offers (even, even + 1) pairs of the range.  With {0, 0}, offers (0, 0) once
    /// and the caller binds what the system gives.
    std::optional<std::uint16_t>
    allocatePair(const std::function<bool(std::uint16_t rtp, std::uint16_t rtcp)>& tryBind);

private:
    std::optional<std::uint16_t> walk(unsigned step, unsigned span,
                                      const std::function<bool(std::uint16_t)>& tryBind);

    mutable std::mutex mutex_; // guards range_ and next_
    PortRange range_;
    std::uint16_t next_ = 0;
};

} // namespace voip
