// RTCP: what the far end reports of our stream, and the reports we send of theirs.

#include "voip/rtp/rtpsession.h"

#include <cmath>
#include <random>

namespace voip::rtp {

namespace {

// Beyond any buffer a real path has: a peer reporting more than this is mistaken.
constexpr double MaxReportedJitterMs = 10000;
constexpr uint64_t NtpUnixOffset = 2208988800ull;

/// RFC 3550 4: 64-bit NTP time, seconds since 1900 in the high word.
uint64_t ntpNow()
{
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
    const uint64_t seconds = static_cast<uint64_t>(micros / 1000000) + NtpUnixOffset;
    const uint64_t fraction = (static_cast<uint64_t>(micros % 1000000) << 32) / 1000000;
    return seconds << 32 | fraction;
}

uint32_t middle32(uint64_t ntp)
{
    return static_cast<uint32_t>(ntp >> 16);
}

} // namespace

void RtpSession::onRtcp(std::size_t size)
{
    const ReportNews news = takeReports(size);
    // Told outside the lock: the handlers may ask the sender for a key frame or a new rate.
    if (news.newlyLost > 0 && news.lossHandler)
        news.lossHandler(news.newlyLost);
    if (news.allowedRate) {
        pace(*news.allowedRate);
        if (news.rateHandler)
            news.rateHandler(*news.allowedRate, news.rateReason);
    }
    if (!news.resend.empty())
        resend(news.resend);
}

void RtpSession::resend(std::span<const uint16_t> sequences)
{
    std::lock_guard sendLock(sendMutex_);
    if (closed_ || stopped_ || !history_)
        return;
    const auto remote = remoteRtp();
    if (!remote)
        return;
    const auto again = history_->take(sequences);
    sendAll(again, *remote);
    std::lock_guard lock(mutex_);
    repairsSent_ += again.size();
}

void RtpSession::reportOutage()
{
    const auto now = Clock::now();
    if (now - lastEarlyReport_ < EarlyReportSpacing)
        return;
    lastEarlyReport_ = now;
    sendReport(false, true);
}

void RtpSession::askRepair(uint32_t mediaSsrc, std::span<const uint16_t> sequences)
{
    std::optional<asio::ip::udp::endpoint> remote;
    {
        std::lock_guard lock(mutex_);
        remote = remoteRtcp_;
        repairsAsked_ += sequences.size();
    }
    if (!remote || !rtcpSocket_.is_open())
        return;
    // A compound packet starts with a report; this one only carries the ask.
    std::vector<uint8_t> packet;
    appendReceiverReport(packet, ssrc_, {});
    appendSdesCname(packet, ssrc_, config_.cname);
    appendNack(packet, ssrc_, mediaSsrc, sequences);
    asio::error_code ignored;
    rtcpSocket_.send_to(asio::buffer(packet), *remote, 0, ignored);
}

RtpSession::ReportNews RtpSession::takeReports(std::size_t size)
{
    ReportNews news;
    const auto now = Clock::now();
    RtcpCompound compound;
    const RtcpError error = parseRtcp(std::span(rtcpBuffer_.data(), size), compound);
    std::lock_guard lock(mutex_);
    news.lossHandler = lossHandler_;
    if (error != RtcpError::None) {
        ++drops_.rtcpMalformed;
        return news;
    }
    // From the address signalled or latched, on whatever port: a NAT or a relay on the
    // way may send a far end's reports from a port of its own.
    const bool fromSignalled = remoteRtcp_ && rtcpFrom_.address() == remoteRtcp_->address();
    const bool fromLatched = latched_ && rtcpFrom_.address() == latched_->address();
    const bool nobodyYet = !remoteRtcp_ && !latched_;
    if (!fromSignalled && !fromLatched && !nobodyYet) {
        ++drops_.rtcpUnexpectedSource;
        return news;
    }
    ++rtcpReceived_;
    const uint32_t arrivalNtp = middle32(ntpNow());
    // What the far end measured arriving of our stream, when it says.
    std::optional<double> arrived;
    for (const PathEstimate& estimate : compound.estimates)
        if (std::find(estimate.ssrcs.begin(), estimate.ssrcs.end(), ssrc_) != estimate.ssrcs.end())
            arrived = double(estimate.bitRate);
    for (const Report& report : compound.reports) {
        if (report.sender && (!source_.valid || report.ssrc == source_.ssrc)) {
            source_.lastSenderReport = middle32(report.sender->ntpTimestamp);
            source_.lastSenderReportArrival = now;
        }
        for (const ReportBlock& block : report.blocks) {
            if (block.ssrc != ssrc_)
                continue;
            const double ticksPerMs = std::max(1u, config_.jitter.clockRate) / 1000.0;
            const double jitterMs = block.jitter / ticksPerMs;
            // A report that says what cannot be (seconds of jitter, more lost than we ever
            // sent: some servers' first report) is not a view of our stream at all.
            if (jitterMs > MaxReportedJitterMs ||
                (block.cumulativeLost > 0 && uint64_t(block.cumulativeLost) > sent_.packets)) {
                ++drops_.rtcpImpossibleReports;
                continue;
            }
            const auto lost = static_cast<uint32_t>(std::max(0, block.cumulativeLost));
            // What we sent again is on its way: counted lost now, it is not.
            const uint64_t resent = repairsSent_ - repairsSentAtReport_;
            repairsSentAtReport_ = repairsSent_;
            if (lost > peerView_.packetsLost + resent)
                news.newlyLost += uint32_t(lost - peerView_.packetsLost - resent);
            peerView_.packetsLost = lost;
            peerView_.jitterMs = static_cast<uint32_t>(std::lround(jitterMs));
            std::optional<double> roundTrip;
            // RFC 3550 6.4.1: round trip = A - LSR - DLSR, in 1/65536 s.
            const auto rtt = static_cast<int32_t>(arrivalNtp - block.lastSenderReport -
                                                  block.delaySinceLastSenderReport);
            if (block.lastSenderReport != 0 && rtt >= 0) {
                roundTripMs_ = rtt * 1000.0 / 65536.0;
                roundTrip = roundTripMs_;
                ++roundTrips_;
            }
            adaptRate(block, roundTrip, arrived, now, news);
        }
    }
    for (uint32_t ssrc : compound.byes)
        if (source_.valid && ssrc == source_.ssrc)
            remoteBye_ = true;
    for (const Nack& nack : compound.nacks)
        if (nack.mediaSsrc == ssrc_) {
            news.resend.insert(news.resend.end(), nack.sequences.begin(), nack.sequences.end());
            if (adaptation_)
                adaptation_->asked += nack.sequences.size();
        }
    return news;
}

void RtpSession::adaptSendRate(uint32_t ceiling, RateHandler handler)
{
    pace(std::max(ceiling, RateAdapter::Floor));
    std::lock_guard lock(mutex_);
    adaptation_.emplace(Adaptation{
        RateAdapter(ceiling), std::move(handler), Clock::now(), {}, sent_.packets, sent_.bytes, 0});
}

void RtpSession::adaptRate(const ReportBlock& block, std::optional<double> roundTripMs,
                           std::optional<double> arrived, Clock::time_point now, ReportNews& news)
{
    if (!adaptation_)
        return;
    Adaptation& a = *adaptation_;
    PathReport report;
    // Loss the far end saw but had repaired is loss all the same: the path is as full.
    const uint64_t sent = sent_.packets - a.sentAtReport;
    report.fractionLost = std::max(block.fractionLost / 256.0,
                                   sent ? std::min(1.0, double(a.asked) / double(sent)) : 0.0);
    // The packets' mean size over the interval: a rate cut makes them smaller.
    const double meanSize = sent            ? double(sent_.bytes - a.bytesAtReport) / double(sent)
                            : sent_.packets ? double(sent_.bytes) / double(sent_.packets)
                                            : 0.0;
    report.packetsSent = sent;
    a.sentAtReport = sent_.packets;
    a.bytesAtReport = sent_.bytes;
    a.asked = 0;
    report.roundTripMs = roundTripMs;
    // What reached the far end since its report before: the packets it received (the
    // highest sequence less those lost), at the size we send on average, over the time
    // between the two reports.
    const int64_t received = int64_t(block.extendedHighestSequence) - block.cumulativeLost;
    const double seconds = std::chrono::duration<double>(now - a.timeAtReport).count();
    if (a.receivedAtReport && seconds > 0.05 && meanSize > 0) {
        const double packets = double(std::max<int64_t>(0, received - *a.receivedAtReport));
        report.deliveredBitRate = packets * meanSize * 8 / seconds;
    }
    // The far end's own measure beats our estimate: the packets a full queue drops are
    // rather the larger ones.
    if (arrived) {
        report.deliveredBitRate = std::min(*arrived, 1e10);
        report.deliveredMeasured = true;
    }
    a.receivedAtReport = received;
    a.timeAtReport = now;
    if (a.adapter.onReport(report, now)) {
        news.allowedRate = a.adapter.rate();
        news.rateReason = a.adapter.reason();
        news.rateHandler = a.handler;
    }
}

void RtpSession::scheduleRtcp(bool first)
{
    // RFC 3550 6.3.1 (simplified): a fixed interval, randomised by 0.5 to 1.5,
    // halved for the first report.
    static thread_local std::mt19937 generator(std::random_device{}());
    std::uniform_real_distribution<double> spread(0.5, 1.5);
    double interval = static_cast<double>(config_.rtcpInterval.count()) * spread(generator);
    if (first)
        interval /= 2;
    rtcpTimer_.expires_after(std::chrono::microseconds(static_cast<int64_t>(interval * 1000)));
    rtcpTimer_.async_wait([this](const asio::error_code& ec) {
        if (ec || closed_)
            return;
        sendReport(false);
        scheduleRtcp(false);
    });
}

std::vector<uint8_t> RtpSession::buildReport(bool bye, std::optional<double>& fractionLost,
                                             double arrivedBitRate)
{
    std::vector<uint8_t> out;
    const auto now = Clock::now();
    std::lock_guard sendLock(sendMutex_);
    std::lock_guard lock(mutex_);
    std::vector<ReportBlock> blocks;
    if (source_.valid) {
        Source& s = source_;
        ReportBlock block;
        block.ssrc = s.ssrc;
        const uint64_t extendedMax = s.cycles + s.maxSequence;
        const uint64_t expected = extendedMax - s.baseSequence + 1;
        const int64_t lost = static_cast<int64_t>(expected) - static_cast<int64_t>(s.received);
        block.cumulativeLost = static_cast<int32_t>(std::clamp<int64_t>(lost, -0x800000, 0x7fffff));
        const uint64_t expectedInterval = expected - s.expectedPrior;
        const uint64_t receivedInterval = s.received - s.receivedPrior;
        s.expectedPrior = expected;
        s.receivedPrior = s.received;
        const int64_t lostInterval =
            static_cast<int64_t>(expectedInterval) - static_cast<int64_t>(receivedInterval);
        if (expectedInterval > 0 && lostInterval > 0)
            block.fractionLost =
                static_cast<uint8_t>((lostInterval << 8) / static_cast<int64_t>(expectedInterval));
        if (expectedInterval > 0)
            fractionLost = block.fractionLost / 256.0;
        block.extendedHighestSequence = static_cast<uint32_t>(extendedMax);
        block.jitter = static_cast<uint32_t>(s.jitter);
        if (s.lastSenderReport != 0) {
            block.lastSenderReport = s.lastSenderReport;
            const double delay =
                std::chrono::duration<double>(now - s.lastSenderReportArrival).count();
            block.delaySinceLastSenderReport = static_cast<uint32_t>(delay * 65536);
        }
        blocks.push_back(block);
    }
    if (sentSinceReport_) {
        SenderInfo info;
        info.ntpTimestamp = ntpNow();
        const double elapsedMs =
            std::chrono::duration<double, std::milli>(now - lastSentTime_).count();
        info.rtpTimestamp = lastSentTimestamp_ +
                            static_cast<uint32_t>(elapsedMs * config_.jitter.clockRate / 1000.0);
        info.packetCount = static_cast<uint32_t>(sent_.packets);
        info.octetCount = static_cast<uint32_t>(sent_.bytes);
        appendSenderReport(out, ssrc_, info, blocks);
    } else {
        appendReceiverReport(out, ssrc_, blocks);
    }
    // RFC 3550 6.4: a sender that has sent nothing since the last two reports
    // becomes a receiver; one interval is close enough here.
    sentSinceReport_ = false;
    appendSdesCname(out, ssrc_, config_.cname);
    // A far end whose packets we had to ask for again is told what arrives of them: what
    // the path carries, measured where it counts.
    if (config_.repairLoss && !blocks.empty() && arrivedBitRate > 0 &&
        (blocks.front().fractionLost > 0 || repairsAsked_ > repairsAskedAtReport_)) {
        const uint32_t source = blocks.front().ssrc;
        appendPathEstimate(out, ssrc_, uint64_t(arrivedBitRate), std::span(&source, 1));
    }
    repairsAskedAtReport_ = repairsAsked_;
    if (bye)
        appendBye(out, ssrc_);
    return out;
}

void RtpSession::sendReport(bool bye, bool outage)
{
    std::optional<asio::ip::udp::endpoint> remote;
    {
        std::lock_guard lock(mutex_);
        remote = remoteRtcp_;
    }
    if (!remote || !rtcpSocket_.is_open())
        return;
    ArrivalHandler handler;
    double arrived = 0;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - arrivalReported_).count();
        if (seconds > 0.05)
            arrived = double(received_.bytes - arrivedAtReport_) * 8 / seconds;
        arrivedAtReport_ = received_.bytes;
        arrivalReported_ = now;
        handler = arrivalHandler_;
    }
    std::optional<double> fractionLost;
    // What arrived across an outage says nothing of what the path carries.
    const std::vector<uint8_t> packet = buildReport(bye, fractionLost, outage ? 0 : arrived);
    asio::error_code ec;
    rtcpSocket_.send_to(asio::buffer(packet), *remote, 0, ec);
    if (!ec) {
        std::lock_guard lock(mutex_);
        ++rtcpSent_;
    }
    if (fractionLost && handler && !bye)
        handler(*fractionLost, arrived);
}

void RtpSession::setArrivalHandler(ArrivalHandler handler)
{
    std::lock_guard lock(mutex_);
    arrivalHandler_ = std::move(handler);
    arrivedAtReport_ = received_.bytes;
    arrivalReported_ = Clock::now();
}

} // namespace voip::rtp
