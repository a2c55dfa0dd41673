#include "voip/rtp/rtpsession.h"

#include <algorithm>
#include <cmath>
#include <random>

// Source latching: real peers send RTP from a port other than the one they
// signalled, and some send no RTCP.  A packet from the signalled address is
// always taken (and latched).  Otherwise the first source heard is latched;
// packets from any other source are counted and dropped, unless the latched
// source has been silent for a while, when the new one takes over.

namespace voip::rtp {

namespace {

constexpr std::size_t ReceiveBufferSize = 16384;
constexpr auto WindowStep = std::chrono::milliseconds(250);
constexpr auto WindowSpan = std::chrono::seconds(5);
constexpr auto RelatchAfter = std::chrono::seconds(2);

uint32_t randomSsrc()
{
    std::random_device device;
    std::mt19937 generator(device());
    return static_cast<uint32_t>(generator());
}

} // namespace

void RtpSession::Direction::count(std::size_t size, uint32_t timestamp, Clock::time_point now)
{
    bytes += size;
    ++packets;
    if (!lastTimestamp || *lastTimestamp != timestamp)
        ++frames;
    lastTimestamp = timestamp;
    if (windows.empty() || now - windows.back().time >= WindowStep)
        windows.push_back({now, bytes, frames});
    while (windows.size() > 1 && now - windows[1].time >= WindowSpan)
        windows.pop_front();
}

void RtpSession::Direction::fill(StreamStatistics& s, Clock::time_point now) const
{
    s.totalBytes = bytes;
    s.packets = packets;
    s.totalFrames = frames;
    if (windows.empty())
        return;
    // The oldest sample still inside the span is the window's start.
    const Window* start = &windows.front();
    for (const auto& w : windows)
        if (now - w.time < WindowSpan + WindowStep) {
            start = &w;
            break;
        }
    s.timeBase = std::chrono::duration_cast<std::chrono::milliseconds>(now - start->time);
    s.rateByteCount = bytes - start->bytes;
    s.frameCount = static_cast<uint32_t>(frames - start->frames);
}

RtpSession::OpenResult RtpSession::open(const SessionConfig& config)
{
    std::unique_ptr<RtpSession> session(new RtpSession(config));
    if (auto bound = session->bind(); !bound)
        return bound.error();
    session->start();
    return session;
}

RtpSession::RtpSession(const SessionConfig& config)
    : config_(config)
    , work_(asio::make_work_guard(io_))
    , rtpSocket_(io_)
    , rtcpSocket_(io_)
    , rtcpTimer_(io_)
    , mediaTimer_(io_)
    , paceTimer_(io_)
    , localAddress_(config.localAddress)
    , ssrc_(randomSsrc())
    , jitter_(config.jitter)
    , rtpBuffer_(ReceiveBufferSize)
    , rtcpBuffer_(ReceiveBufferSize)
    , sequence_(static_cast<uint16_t>(randomSsrc()))
    , mediaFormat_(config.mediaFormat)
{
    if (config_.repairLoss)
        history_.emplace();
}

RtpSession::~RtpSession()
{
    stop();
    if (thread_.joinable())
        thread_.join();
}

base::Status<std::string> RtpSession::bind()
{
    using asio::ip::udp;
    const udp protocol = localAddress_.is_v6() ? udp::v6() : udp::v4();
    auto tryPair = [&](uint16_t rtpPort) -> bool {
        asio::error_code ec;
        rtpSocket_.open(protocol, ec);
        if (!ec)
            rtpSocket_.bind(udp::endpoint(localAddress_, rtpPort), ec);
        if (ec) {
            rtpSocket_.close(ec);
            return false;
        }
        const uint16_t bound = rtpSocket_.local_endpoint(ec).port();
        if (ec || bound % 2 != 0 || bound == 65535) {
            rtpSocket_.close(ec);
            return false;
        }
        rtcpSocket_.open(protocol, ec);
        if (!ec)
            rtcpSocket_.bind(udp::endpoint(localAddress_, static_cast<uint16_t>(bound + 1)), ec);
        if (ec) {
            rtcpSocket_.close(ec);
            rtpSocket_.close(ec);
            return false;
        }
        rtpPort_ = bound;
        return true;
    };

    if (config_.portBase == 0) {
        // Let the system choose; an odd port or a busy neighbour means try again.
        for (int attempt = 0; attempt < 64; ++attempt)
            if (tryPair(0))
                return {};
        return std::string("no free even/odd UDP port pair from the system");
    }
    const unsigned first = (config_.portBase + 1u) & ~1u;
    const unsigned last = std::max<unsigned>(config_.portMax, config_.portBase);
    for (unsigned port = first; port + 1 <= last && port + 1 <= 65535; port += 2)
        if (tryPair(static_cast<uint16_t>(port)))
            return {};
    return "no free RTP/RTCP port pair in " + std::to_string(config_.portBase) + "-" +
           std::to_string(config_.portMax);
}

void RtpSession::start()
{
    started_ = Clock::now();
    lastReceived_ = started_;
    arrivalReported_ = started_;
    receiveRtp();
    receiveRtcp();
    scheduleRtcp(true);
    scheduleMediaCheck();
    thread_ = std::thread([this] { io_.run(); });
}

void RtpSession::stop()
{
    if (stopped_.exchange(true))
        return;
    auto close = [this] {
        sendReport(true);
        asio::error_code ec;
        rtcpTimer_.cancel();
        mediaTimer_.cancel();
        std::lock_guard lock(sendMutex_);
        paceTimer_.cancel();
        closed_ = true;
        rtpSocket_.close(ec);
        rtcpSocket_.close(ec);
        work_.reset();
    };
    if (std::this_thread::get_id() == thread_.get_id()) {
        // Called from a handler: the thread ends when the handler returns and
        // the destructor joins it.
        close();
        return;
    }
    asio::post(io_, close);
    if (thread_.joinable())
        thread_.join();
}

std::optional<RtpSession::Clock::time_point> RtpSession::nextPlayout() const
{
    return jitter_.nextPlayout();
}

void RtpSession::setRemote(const asio::ip::address& address, uint16_t rtpPort, uint16_t rtcpPort)
{
    std::lock_guard lock(mutex_);
    remoteRtp_ = asio::ip::udp::endpoint(address, rtpPort);
    remoteRtcp_ = asio::ip::udp::endpoint(address, rtcpPort);
}

bool RtpSession::send(std::span<const uint8_t> payload, uint32_t timestamp, bool marker,
                      uint8_t payloadType)
{
    std::lock_guard sendLock(sendMutex_);
    if (closed_ || stopped_)
        return false;
    const auto remote = remoteRtp();
    if (!remote)
        return false;
    RtpHeader header;
    header.payloadType = payloadType;
    header.marker = marker;
    header.sequence = sequence_;
    header.timestamp = timestamp;
    header.ssrc = ssrc_;
    if (sendCipher_)
        header.payloadType = sendKeyPayloadType_;
    buildRtp(header, payload, sendBuffer_);
    if (sendCipher_ && !sendCipher_->encrypt(sendBuffer_))
        return false; // never sent clear on an encrypted channel
    const auto now = Clock::now();
    if (pacer_.hold(sendBuffer_, now)) {
        armPacer();
    } else {
        asio::error_code ec;
        rtpSocket_.send_to(asio::buffer(sendBuffer_), *remote, 0, ec);
        if (ec)
            return false;
    }
    if (history_)
        history_->keep(sequence_, sendBuffer_);
    ++sequence_;
    lastSentTimestamp_ = timestamp;
    lastSentTime_ = now;
    sentSinceReport_ = true;
    std::lock_guard lock(mutex_);
    sent_.count(payload.size(), timestamp, now);
    return true;
}

void RtpSession::pace(uint32_t bitRate)
{
    std::lock_guard sendLock(sendMutex_);
    pacer_.setRate(bitRate);
}

void RtpSession::armPacer()
{
    const auto next = pacer_.next();
    if (!next || (paceDue_ && *paceDue_ <= *next))
        return;
    paceDue_ = next;
    paceTimer_.expires_at(*next);
    paceTimer_.async_wait([this](const asio::error_code& ec) {
        if (ec)
            return;
        std::lock_guard sendLock(sendMutex_);
        paceDue_.reset();
        if (closed_ || stopped_)
            return;
        const auto due = pacer_.due(Clock::now());
        if (const auto remote = remoteRtp())
            sendAll(due, *remote);
        armPacer();
    });
}

std::optional<asio::ip::udp::endpoint> RtpSession::remoteRtp() const
{
    std::lock_guard lock(mutex_);
    return remoteRtp_;
}

void RtpSession::sendAll(const std::vector<std::vector<uint8_t>>& datagrams,
                         const asio::ip::udp::endpoint& to)
{
    for (const auto& datagram : datagrams) {
        asio::error_code ignored;
        rtpSocket_.send_to(asio::buffer(datagram), to, 0, ignored);
    }
}

bool RtpSession::sendRaw(std::span<const uint8_t> datagram, const asio::ip::udp::endpoint& to,
                         bool rtcp)
{
    std::lock_guard sendLock(sendMutex_);
    if (closed_ || stopped_)
        return false;
    asio::error_code ec;
    (rtcp ? rtcpSocket_ : rtpSocket_)
        .send_to(asio::buffer(datagram.data(), datagram.size()), to, 0, ec);
    return !ec;
}

std::optional<MediaFrame> RtpSession::readFrame(Clock::time_point now)
{
    return jitter_.pop(now);
}

void RtpSession::setPacketHandler(PacketHandler handler)
{
    std::lock_guard lock(mutex_);
    const bool first = handler && !handlerEverSet_;
    if (!first || early_.empty()) {
        handlerEverSet_ = handlerEverSet_ || bool(handler);
        packetHandler_ = std::move(handler);
        early_.clear();
        return;
    }
    // The held packets go first, on the I/O thread, so that none comes after a later one;
    // what arrives until then is held too.
    handlerEverSet_ = true;
    handOverPending_ = true;
    asio::post(io_, [this, handler = std::move(handler)] {
        std::deque<MediaFrame> held;
        {
            std::lock_guard lock(mutex_);
            held.swap(early_);
            packetHandler_ = handler;
            handOverPending_ = false;
        }
        const auto oldest = Clock::now() - EarlyAge;
        for (const auto& frame : held)
            if (frame.arrival >= oldest)
                handler(frame);
    });
}

void RtpSession::setStateHandler(StateHandler handler)
{
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

void RtpSession::setLossHandler(LossHandler handler)
{
    std::lock_guard lock(mutex_);
    lossHandler_ = std::move(handler);
}

ReceiveState RtpSession::receiveState() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

void RtpSession::setMediaFormat(const std::string& name)
{
    std::lock_guard lock(mutex_);
    mediaFormat_ = name;
}

void RtpSession::setClockRate(uint32_t clockRate)
{
    clockRate = std::max(1u, clockRate);
    {
        std::lock_guard lock(mutex_);
        if (config_.jitter.clockRate == clockRate)
            return;
        config_.jitter.clockRate = clockRate;
        // Transit times measured at the old rate do not compare with new ones.
        source_.haveTransit = false;
        source_.jitter = 0;
    }
    jitter_.setClockRate(clockRate);
}

void RtpSession::setJitterDelay(std::chrono::milliseconds minDelay,
                                std::chrono::milliseconds maxDelay)
{
    jitter_.setDelayBounds(minDelay, maxDelay);
}

void RtpSession::setSendKey(const h235::Key& key, uint8_t payloadType)
{
    std::lock_guard lock(sendMutex_);
    sendCipher_ = std::make_unique<h235::MediaCipher>(key);
    sendKeyPayloadType_ = payloadType & 0x7f;
}

void RtpSession::addReceiveKey(const h235::Key& key, uint8_t payloadType,
                               uint8_t mediaPayloadType)
{
    std::lock_guard lock(receiveCipherMutex_);
    std::erase_if(receiveKeys_,
                  [&](const ReceiveKey& old) { return old.payloadType == (payloadType & 0x7f); });
    if (receiveKeys_.size() >= 2)
        receiveKeys_.erase(receiveKeys_.begin());
    receiveKeys_.push_back({std::make_unique<h235::MediaCipher>(key), uint8_t(payloadType & 0x7f)});
    receivePayloadType_ = mediaPayloadType & 0x7f;
}

bool RtpSession::sendsEncrypted() const
{
    std::lock_guard lock(sendMutex_);
    return sendCipher_ != nullptr;
}

bool RtpSession::receivesEncrypted() const
{
    std::lock_guard lock(receiveCipherMutex_);
    return !receiveKeys_.empty();
}

void RtpSession::setPayloadBytesPerMs(double bytesPerMs)
{
    jitter_.setPayloadBytesPerMs(bytesPerMs);
}

void RtpSession::receiveRtp()
{
    rtpSocket_.async_receive_from(asio::buffer(rtpBuffer_), rtpFrom_,
                                  [this](const asio::error_code& ec, std::size_t size) {
                                      if (ec == asio::error::operation_aborted || closed_)
                                          return;
                                      if (!ec)
                                          onRtp(size);
                                      // ICMP errors (port unreachable) end no session.
                                      receiveRtp();
                                  });
}

void RtpSession::receiveRtcp()
{
    rtcpSocket_.async_receive_from(asio::buffer(rtcpBuffer_), rtcpFrom_,
                                   [this](const asio::error_code& ec, std::size_t size) {
                                       if (ec == asio::error::operation_aborted || closed_)
                                           return;
                                       if (!ec)
                                           onRtcp(size);
                                       receiveRtcp();
                                   });
}

bool RtpSession::acceptSource(const asio::ip::udp::endpoint& from)
{
    const auto now = Clock::now();
    if (remoteRtp_ && from == *remoteRtp_) {
        latched_ = from;
        latchedToSignalled_ = true;
        return true;
    }
    if (latched_ && from == *latched_)
        return true;
    if (!latched_ || now - lastReceived_ >= RelatchAfter) {
        latched_ = from;
        latchedToSignalled_ = false;
        return true;
    }
    return false;
}

void RtpSession::updateSource(const RtpPacketView& packet, Clock::time_point now)
{
    Source& s = source_;
    const double ticksPerMs = jitter_.statistics().ticksPerMs;
    auto init = [&] {
        s = Source{};
        s.valid = true;
        s.ssrc = packet.ssrc;
        s.baseSequence = packet.sequence;
        s.maxSequence = packet.sequence;
    };
    if (!s.valid || s.ssrc != packet.ssrc) {
        const bool restart = s.valid;
        init();
        if (restart)
            jitter_.reset();
    } else {
        // RFC 3550 A.1, without the probation of new sources.
        const uint16_t delta = static_cast<uint16_t>(packet.sequence - s.maxSequence);
        if (delta < 3000) {
            if (packet.sequence < s.maxSequence)
                s.cycles += 65536;
            s.maxSequence = packet.sequence;
        } else if (delta <= 65536 - 100) {
            // A very large jump: the sender restarted its numbering.
            init();
            jitter_.reset();
        }
    }
    ++s.received;

    // RFC 3550 A.8, in timestamp units of the rate the stream really uses.
    const double arrival =
        std::chrono::duration<double, std::milli>(now - started_).count() * ticksPerMs;
    const double transit = arrival - packet.timestamp;
    if (s.haveTransit) {
        double d = transit - s.transit;
        // The timestamp is 32 bits: take the shortest way round.
        d = std::remainder(d, 4294967296.0);
        s.jitter += (std::abs(d) - s.jitter) / 16;
    }
    s.transit = transit;
    s.haveTransit = true;
}

void RtpSession::onRtp(std::size_t size)
{
    const auto now = Clock::now();
    std::span<const uint8_t> datagram(rtpBuffer_.data(), size);
    {
        std::lock_guard lock(receiveCipherMutex_);
        if (!receiveKeys_.empty()) {
            // The payload type says which key; the header is read again after decryption.
            const uint8_t payloadType = size >= 2 ? (datagram[1] & 0x7f) : 0xff;
            const auto key =
                std::find_if(receiveKeys_.begin(), receiveKeys_.end(),
                             [&](const ReceiveKey& k) { return k.payloadType == payloadType; });
            decrypted_.assign(datagram.begin(), datagram.end());
            if (key == receiveKeys_.end() || !key->cipher->decrypt(decrypted_)) {
                std::lock_guard counters(mutex_);
                ++drops_.undecryptable;
                return;
            }
            decrypted_[1] = uint8_t((decrypted_[1] & 0x80) | receivePayloadType_);
            datagram = decrypted_;
        }
    }
    RtpPacketView packet;
    const PacketError error = parseRtp(datagram, packet);
    PacketHandler handler;
    ReceiveState previousState;
    bool hold = false;
    GapWatch::Gap gap;
    {
        std::lock_guard lock(mutex_);
        switch (error) {
        case PacketError::None:
            break;
        case PacketError::TooShort:
            ++drops_.tooShort;
            return;
        case PacketError::BadVersion:
            ++drops_.badVersion;
            return;
        case PacketError::CsrcBeyondPacket:
            ++drops_.csrcBeyondPacket;
            return;
        case PacketError::ExtensionBeyondPacket:
            ++drops_.extensionBeyondPacket;
            return;
        case PacketError::PaddingBeyondPacket:
            ++drops_.paddingBeyondPacket;
            return;
        }
        // RTCP sent to the RTP port (RFC 5761 multiplexing) is not media.
        if (packet.payloadType >= 72 && packet.payloadType <= 76) {
            ++drops_.rtcpOnRtpPort;
            return;
        }
        if (!acceptSource(rtpFrom_)) {
            ++drops_.unexpectedSource;
            return;
        }
        updateSource(packet, now);
        if (config_.repairLoss) {
            gap = gaps_.arrived(packet.sequence, now);
            repairWait_ = gaps_.repairWait();
        }
        received_.count(packet.payload.size(), packet.timestamp, now);
        lastReceived_ = now;
        handler = packetHandler_;
        hold = !handler && !config_.useJitterBuffer && (!handlerEverSet_ || handOverPending_);
        previousState = state_;
    }
    if (!gap.missing.empty())
        askRepair(packet.ssrc, gap.missing);
    if (gap.outage)
        reportOutage();
    if (previousState != ReceiveState::Receiving)
        setState(ReceiveState::Receiving);
    if (config_.useJitterBuffer)
        jitter_.push(packet, now);
    if (!handler && !hold)
        return;
    MediaFrame frame;
    frame.sequence = packet.sequence;
    frame.timestamp = packet.timestamp;
    frame.payloadType = packet.payloadType;
    frame.marker = packet.marker;
    frame.payload.assign(packet.payload.begin(), packet.payload.end());
    frame.arrival = now;
    if (handler) {
        handler(frame);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        handler = packetHandler_; // set meanwhile: this one goes straight to it
        if (!handler) {
            while (!early_.empty() &&
                   (early_.size() >= EarlyPackets || early_.front().arrival < now - EarlyAge))
                early_.pop_front();
            early_.push_back(std::move(frame));
        }
    }
    if (handler)
        handler(frame);
}

void RtpSession::scheduleMediaCheck()
{
    const auto step = std::clamp(config_.noMediaTimeout / 4, std::chrono::milliseconds(10),
                                 std::chrono::milliseconds(500));
    mediaTimer_.expires_after(step);
    mediaTimer_.async_wait([this](const asio::error_code& ec) {
        if (ec || closed_)
            return;
        bool silent = false;
        {
            std::lock_guard lock(mutex_);
            silent = state_ != ReceiveState::Silent &&
                     Clock::now() - lastReceived_ >= config_.noMediaTimeout;
        }
        if (silent)
            setState(ReceiveState::Silent);
        scheduleMediaCheck();
    });
}

void RtpSession::setState(ReceiveState state)
{
    StateHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (state_ == state)
            return;
        state_ = state;
        handler = stateHandler_;
    }
    if (handler)
        handler(state);
}

SessionStatistics RtpSession::statistics() const
{
    const auto now = Clock::now();
    SessionStatistics s;
    s.jitterBuffer = jitter_.statistics();
    // Each cipher's lock before the counters' (the order the I/O thread takes them in).
    const bool sendsEncrypted = this->sendsEncrypted();
    const bool receivesEncrypted = this->receivesEncrypted();
    std::lock_guard lock(mutex_);
    s.transmit.mediaFormat = s.receive.mediaFormat = mediaFormat_;
    sent_.fill(s.transmit, now);
    received_.fill(s.receive, now);
    s.transmit.packetsLost = peerView_.packetsLost;
    s.transmit.jitterMs = peerView_.jitterMs;
    s.repairsAsked = repairsAsked_;
    s.repairsSent = repairsSent_;
    if (adaptation_) {
        s.transmit.allowedBitRate = adaptation_->adapter.rate();
        s.transmit.rateReason = adaptation_->adapter.reason();
    }
    s.transmit.encrypted = sendsEncrypted;
    s.receive.encrypted = receivesEncrypted;
    if (source_.valid) {
        const uint64_t expected = source_.cycles + source_.maxSequence - source_.baseSequence + 1;
        s.receive.packetsLost =
            expected > source_.received ? static_cast<uint32_t>(expected - source_.received) : 0;
        s.receive.jitterMs = static_cast<uint32_t>(
            std::lround(source_.jitter / std::max(1.0, s.jitterBuffer.ticksPerMs)));
    }
    const auto latency = static_cast<uint32_t>(std::lround(roundTripMs_));
    s.transmit.latencyMs = s.receive.latencyMs = latency;
    s.drops = drops_;
    s.rtcpSent = rtcpSent_;
    s.rtcpReceived = rtcpReceived_;
    s.roundTripMeasurements = roundTrips_;
    s.roundTripMs = roundTripMs_;
    s.remoteBye = remoteBye_;
    return s;
}

} // namespace voip::rtp
