#include "voip/core/portallocator.h"

#include <vector>

namespace voip {

Status PortAllocator::setRange(PortRange range)
{
    const bool any = range.base == 0 && range.max == 0;
    if (!any && (range.base == 0 || range.max < range.base)) {
        return "bad port range " + std::to_string(range.base) + " - " + std::to_string(range.max);
    }
    std::lock_guard lock(mutex_);
    if (range_ != range) {
        range_ = range;
        next_ = range.base;
    }
    return {};
}

PortRange PortAllocator::range() const
{
    std::lock_guard lock(mutex_);
    return range_;
}

std::optional<std::uint16_t> PortAllocator::walk(unsigned step, unsigned span,
                                                 const std::function<bool(std::uint16_t)>& tryBind)
{
    // Take the candidates under the lock, try them without it: binding is a system call
    // and other threads allocate meanwhile.
    std::vector<std::uint16_t> candidates;
    {
        std::lock_guard lock(mutex_);
        if (range_.base == 0) {
            candidates.push_back(0);
        } else {
            unsigned first = range_.base;
            if (step == 2 && first % 2 != 0) {
                ++first;
            }
            // Last port from which a whole group of `span` ports fits in the range.
            if (first + span - 1 > range_.max) {
                return std::nullopt;
            }
            const unsigned last = range_.max - (span - 1);
            const unsigned count = (last - first) / step + 1;
            unsigned startIndex = 0;
            if (next_ >= first && next_ <= last) {
                startIndex = (next_ - first) / step;
            }
            for (unsigned i = 0; i < count; ++i) {
                candidates.push_back(
                    static_cast<std::uint16_t>(first + (startIndex + i) % count * step));
            }
            // The next allocation starts after the first candidate, whatever happens to
            // it, so that threads allocating at the same time get different ports.
            next_ = static_cast<std::uint16_t>(first + (startIndex + 1) % count * step);
        }
    }
    for (auto port : candidates) {
        if (tryBind(port)) {
            if (port != 0) {
                std::lock_guard lock(mutex_);
                const unsigned following = port + step;
                if (following + span - 1 <= range_.max && following >= range_.base) {
                    next_ = static_cast<std::uint16_t>(following);
                } else {
                    next_ = range_.base;
                }
            }
            return port;
        }
    }
    return std::nullopt;
}

std::optional<std::uint16_t>
PortAllocator::allocate(const std::function<bool(std::uint16_t)>& tryBind)
{
    return walk(1, 1, tryBind);
}

std::optional<std::uint16_t> PortAllocator::allocatePair(
    const std::function<bool(std::uint16_t rtp, std::uint16_t rtcp)>& tryBind)
{
    return walk(2, 2, [&](std::uint16_t port) {
        return tryBind(port, static_cast<std::uint16_t>(port == 0 ? 0 : port + 1));
    });
}

} // namespace voip
