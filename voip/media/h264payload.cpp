#include "voip/media/h264payload.h"

#include <algorithm>

namespace voip::h264 {

namespace {

constexpr uint8_t StartCode[] = {0, 0, 0, 1};
constexpr std::size_t MinPayload = 64;

uint8_t nalType(uint8_t header)
{
    return header & 0x1F;
}

} // namespace

std::vector<std::span<const uint8_t>> splitAnnexB(std::span<const uint8_t> stream)
{
    std::vector<std::span<const uint8_t>> units;
    // Positions just after each start code.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 2 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    for (std::size_t k = 0; k < starts.size(); ++k) {
        std::size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : stream.size();
        // The zero before a four-octet start code, and trailing zeros, belong to no unit.
        while (end > starts[k] && stream[end - 1] == 0)
            --end;
        if (end > starts[k])
            units.push_back(stream.subspan(starts[k], end - starts[k]));
    }
    return units;
}

bool carriesKeyFrame(std::span<const uint8_t> payload)
{
    if (payload.empty())
        return false;
    auto key = [](uint8_t header) {
        const uint8_t type = nalType(header);
        return type == 5 || type == 7 || type == 8;
    };
    switch (nalType(payload[0])) {
    case FuA:
        return payload.size() > 1 && key(payload[1]);
    case StapA:
        // The first unit after its two-octet length.
        return payload.size() > 3 && key(payload[3]);
    default:
        return key(payload[0]);
    }
}

Packetiser::Packetiser(std::size_t maxPayload, int mode)
    : maxPayload_(std::max(maxPayload, MinPayload))
    , mode_(mode == 0 ? 0 : 1)
{}

void Packetiser::packetise(std::span<const uint8_t> accessUnit,
                           std::vector<std::vector<uint8_t>>& payloads) const
{
    payloads.clear();
    const auto units = splitAnnexB(accessUnit);
    if (mode_ == 0) {
        for (const auto unit : units) {
            // Supplemental information (libx264 puts its settings there, ~700 octets) is
            // never needed to decode: one too large for a packet is left out.
            if (nalType(unit[0]) == 6 && unit.size() > maxPayload_)
                continue;
            payloads.emplace_back(unit.begin(), unit.end());
        }
        return;
    }
    std::size_t i = 0;
    while (i < units.size()) {
        // RFC 6184 5.7.1: a STAP-A holds units that each fit with their 16-bit size.
        std::size_t total = 1; // STAP-A header
        std::size_t j = i;
        uint8_t nri = 0;
        while (j < units.size() && total + 2 + units[j].size() <= maxPayload_) {
            total += 2 + units[j].size();
            nri = std::max<uint8_t>(nri, units[j][0] & 0x60);
            ++j;
        }
        if (j - i >= 2) {
            std::vector<uint8_t> stap;
            stap.reserve(total);
            stap.push_back(uint8_t(nri | StapA));
            for (std::size_t k = i; k < j; ++k) {
                stap.push_back(uint8_t(units[k].size() >> 8));
                stap.push_back(uint8_t(units[k].size()));
                stap.insert(stap.end(), units[k].begin(), units[k].end());
            }
            payloads.push_back(std::move(stap));
            i = j;
            continue;
        }
        const auto unit = units[i++];
        if (unit.size() <= maxPayload_) {
            payloads.emplace_back(unit.begin(), unit.end());
            continue;
        }
        // RFC 6184 5.8: FU indicator (F, NRI, type 28), FU header (S, E, R, type).
        const uint8_t indicator = uint8_t((unit[0] & 0xE0) | FuA);
        const uint8_t type = nalType(unit[0]);
        const std::size_t chunk = maxPayload_ - 2;
        for (std::size_t offset = 1; offset < unit.size(); offset += chunk) {
            const std::size_t size = std::min(chunk, unit.size() - offset);
            std::vector<uint8_t> fragment;
            fragment.reserve(size + 2);
            fragment.push_back(indicator);
            uint8_t header = type;
            if (offset == 1)
                header |= 0x80;
            if (offset + size == unit.size())
                header |= 0x40;
            fragment.push_back(header);
            fragment.insert(fragment.end(), unit.begin() + std::ptrdiff_t(offset),
                            unit.begin() + std::ptrdiff_t(offset + size));
            payloads.push_back(std::move(fragment));
        }
    }
}

Depacketiser::Depacketiser(std::size_t maxPictureBytes)
    : maxPictureBytes_(maxPictureBytes)
{}

void Depacketiser::appendUnit(std::span<const uint8_t> unit)
{
    if (unit.empty())
        return;
    if (current_.size() + sizeof StartCode + unit.size() > maxPictureBytes_) {
        currentDamaged_ = true;
        return;
    }
    current_.insert(current_.end(), std::begin(StartCode), std::end(StartCode));
    current_.insert(current_.end(), unit.begin(), unit.end());
}

void Depacketiser::dropPicture()
{
    current_.clear();
    fragment_.clear();
    inFragment_ = false;
    currentDamaged_ = false;
}

DepacketiseResult Depacketiser::finishPicture()
{
    // A fragment still open at the end of a picture lost its end.
    const bool damaged = currentDamaged_ || inFragment_;
    if (damaged || current_.empty()) {
        dropPicture();
        if (damaged) {
            ++damaged_;
            return DepacketiseResult::Damaged;
        }
        return DepacketiseResult::Pending;
    }
    // A reader that stops taking pictures does not make them pile up.
    if (ready_.size() >= 2)
        ready_.erase(ready_.begin());
    ready_.push_back({std::move(current_), currentTimestamp_});
    ++pictures_;
    dropPicture();
    return DepacketiseResult::Picture;
}

bool Depacketiser::addStapA(std::span<const uint8_t> payload)
{
    std::size_t offset = 1;
    while (offset < payload.size()) {
        if (offset + 2 > payload.size())
            return false;
        const std::size_t size = std::size_t(payload[offset]) << 8 | payload[offset + 1];
        offset += 2;
        if (size == 0 || offset + size > payload.size())
            return false;
        appendUnit(payload.subspan(offset, size));
        offset += size;
    }
    return true;
}

bool Depacketiser::addFuA(std::span<const uint8_t> payload)
{
    if (payload.size() < 3)
        return false;
    const uint8_t header = payload[1];
    const bool start = header & 0x80;
    const bool end = header & 0x40;
    if (start && end)
        return false; // RFC 6184 5.8: a unit that fits is never fragmented
    if (start) {
        if (inFragment_)
            currentDamaged_ = true; // the previous fragment never ended
        fragment_.clear();
        fragment_.push_back(uint8_t((payload[0] & 0xE0) | nalType(header)));
        inFragment_ = true;
    } else if (!inFragment_) {
        return false; // its start was lost
    }
    if (fragment_.size() + payload.size() - 2 > maxPictureBytes_) {
        inFragment_ = false;
        fragment_.clear();
        return false;
    }
    fragment_.insert(fragment_.end(), payload.begin() + 2, payload.end());
    if (end) {
        appendUnit(fragment_);
        fragment_.clear();
        inFragment_ = false;
    }
    return true;
}

DepacketiseResult Depacketiser::add(std::span<const uint8_t> payload, uint16_t sequence,
                                    uint32_t timestamp, bool marker)
{
    DepacketiseResult result = DepacketiseResult::Pending;
    const bool gap = haveSequence_ && sequence != nextSequence_;
    haveSequence_ = true;
    nextSequence_ = uint16_t(sequence + 1);
    if (gap)
        currentDamaged_ = true;

    if (haveTimestamp_ && timestamp != currentTimestamp_ &&
        (!current_.empty() || inFragment_ || currentDamaged_)) {
        // The previous picture's marker packet was lost or never sent.
        result = finishPicture();
        // The loss is taken as the previous picture's when this packet can begin a picture
        // (it is not the middle of a fragmented unit): else the key frame a receiver asks
        // for after a loss would itself be thrown away.
        const bool canBegin = !payload.empty() && (nalType(payload[0]) != FuA ||
                                                   (payload.size() > 1 && (payload[1] & 0x80)));
        currentDamaged_ = gap && !canBegin;
    }
    haveTimestamp_ = true;
    currentTimestamp_ = timestamp;

    bool good = !payload.empty() && !(payload[0] & 0x80); // F bit: the sender saw an error
    if (good) {
        const uint8_t type = nalType(payload[0]);
        if (type >= 1 && type <= 23)
            appendUnit(payload);
        else if (type == StapA)
            good = addStapA(payload);
        else if (type == FuA)
            good = addFuA(payload);
        else
            good = false; // STAP-B, MTAP, FU-B: not in modes 0 and 1
    }
    if (!good)
        currentDamaged_ = true;

    if (marker) {
        const DepacketiseResult finished = finishPicture();
        // Damage wins: the sender must hear of it, and the picture is still waiting.
        if (finished == DepacketiseResult::Damaged || result != DepacketiseResult::Damaged)
            result = finished == DepacketiseResult::Pending ? result : finished;
    }
    return result;
}

bool Depacketiser::takePicture(std::vector<uint8_t>& picture, uint32_t& timestamp)
{
    if (ready_.empty())
        return false;
    picture = std::move(ready_.front().picture);
    timestamp = ready_.front().timestamp;
    ready_.erase(ready_.begin());
    return true;
}

} // namespace voip::h264
