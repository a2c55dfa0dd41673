#include "voip/h323/calltraversal.h"

#include "voip/base/trace.h"
#include "voip/h225/traversal.h"
#include "voip/h323/tpktchannel.h"
#include "voip/rtp/rtpsession.h"

namespace voip::h323 {

namespace {

/// The UDP endpoint of a media address; nothing for a port of 0 or an unspecified address.
std::optional<asio::ip::udp::endpoint> keepAliveTarget(const h245::MediaAddress& media)
{
    asio::ip::address address;
    if (media.ipv6) {
        asio::ip::address_v6::bytes_type bytes;
        std::copy(media.ip.begin(), media.ip.begin() + bytes.size(), bytes.begin());
        address = asio::ip::address_v6(bytes);
    } else {
        asio::ip::address_v4::bytes_type bytes;
        std::copy(media.ip.begin(), media.ip.begin() + bytes.size(), bytes.begin());
        address = asio::ip::address_v4(bytes);
    }
    if (media.port == 0 || media.port == 65535 || address.is_unspecified() ||
        address.is_multicast())
        return std::nullopt;
    return asio::ip::udp::endpoint(address, media.port);
}

} // namespace

struct CallTraversal::MediaKeepAlive
{
    explicit MediaKeepAlive(asio::io_context& io)
        : timer(io)
    {}
    std::weak_ptr<rtp::RtpSession> session;
    asio::ip::udp::endpoint rtp;
    asio::ip::udp::endpoint rtcp;
    std::chrono::milliseconds interval{0};
    std::uint16_t sequence = 100;
    std::chrono::steady_clock::time_point started;
    int rounds = 0;
    asio::steady_timer timer;
};

struct CallTraversal::State
{
    explicit State(asio::io_context& loop)
        : signalTimer(loop)
        , io(loop)
    {}
    asio::steady_timer signalTimer;
    asio::io_context& io;
    std::weak_ptr<TpktChannel> channel;
    std::chrono::milliseconds signalInterval{0};
    std::map<unsigned, std::shared_ptr<MediaKeepAlive>> media;
    std::size_t mediaSent = 0;
    std::size_t signallingSent = 0;
    bool stopped = false;
};

CallTraversal::CallTraversal(asio::io_context& io, std::function<std::string()> describe)
    : state_(std::make_shared<State>(io))
    , describe_(std::move(describe))
{}

CallTraversal::~CallTraversal()
{
    stop();
}

std::array<std::uint8_t, 12> CallTraversal::rtpKeepAlive(std::uint8_t payloadType,
                                                         std::uint16_t sequence,
                                                         std::uint32_t timestamp)
{
    return {0x80,
            std::uint8_t(0x80 | (payloadType & 0x7F)),
            std::uint8_t(sequence >> 8),
            std::uint8_t(sequence),
            std::uint8_t(timestamp >> 24),
            std::uint8_t(timestamp >> 16),
            std::uint8_t(timestamp >> 8),
            std::uint8_t(timestamp),
            0,
            0,
            0,
            0};
}

std::array<std::uint8_t, 28> CallTraversal::rtcpKeepAlive()
{
    // A sender report (200) of length 6 words after the first, SSRC 0, nothing reported.
    std::array<std::uint8_t, 28> report{};
    report[0] = 0x80;
    report[1] = 200;
    report[3] = 6;
    return report;
}

void CallTraversal::keepOpen(const std::shared_ptr<TpktChannel>& channel,
                             std::chrono::milliseconds interval)
{
    if (!signalling_ || state_->stopped || interval.count() <= 0)
        return;
    state_->channel = channel;
    state_->signalInterval = interval;
    scheduleSignalling(state_);
}

void CallTraversal::scheduleSignalling(const std::shared_ptr<State>& state)
{
    state->signalTimer.expires_after(state->signalInterval);
    state->signalTimer.async_wait([weak = std::weak_ptr(state)](const asio::error_code& error) {
        auto state = weak.lock();
        if (error || !state || state->stopped)
            return;
        auto channel = state->channel.lock();
        if (!channel || !channel->isOpen())
            return;
        if (channel->sendKeepAlive())
            ++state->signallingSent;
        scheduleSignalling(state);
    });
}

void CallTraversal::peerFeatures(const asn::Value& featureSet)
{
    const asn::Value* feature = h225::findFeature(featureSet, h225::MediaTraversalFeature);
    if (!feature || mediaServer_)
        return;
    if (!h225::featureHasParameter(*feature, h225::MediaTraversalServer))
        return;
    mediaServer_ = true;
    VOIP_TRACE(2, "H323\tMedia relayed by a traversal server on "
                      << describe_()
                      << (h225::featureHasParameter(*feature, h225::SupportTransmitMultiplexedMedia)
                              ? " (multiplexing offered, not used)"
                              : ""));
}

std::optional<h245::MediaTraversal> CallTraversal::toOffer() const
{
    if (!mediaServer_)
        return std::nullopt;
    return h245::MediaTraversal{};
}

std::optional<h245::MediaTraversal>
CallTraversal::accept(unsigned sessionId, const std::shared_ptr<rtp::RtpSession>& session,
                      const std::optional<h245::MediaTraversal>& offered)
{
    if (!mediaServer_ || state_->stopped)
        return std::nullopt;
    h245::MediaTraversal answer;
    answer.parameters.emplace();
    answer.parameters->keepAlivePayloadType = KeepAlivePayloadType;
    std::optional<asio::ip::udp::endpoint> target;
    std::chrono::seconds interval = DefaultMediaInterval;
    if (offered && offered->parameters) {
        const auto& parameters = *offered->parameters;
        if (parameters.keepAliveChannel)
            target = keepAliveTarget(*parameters.keepAliveChannel);
        if (parameters.keepAliveInterval)
            interval = std::clamp<std::chrono::seconds>(
                std::chrono::seconds(*parameters.keepAliveInterval), ShortestMediaInterval,
                LongestMediaInterval);
    }
    if (!target) {
        VOIP_TRACE(1, "H323\tThe relay gave no keep-alive channel for session "
                          << sessionId << " on " << describe_()
                          << (offered && offered->malformed ? " (malformed parameters)" : "")
                          << ": its media may not get through the NAT");
        return answer;
    }
    if (!session)
        return answer;
    auto keepAlive = std::make_shared<MediaKeepAlive>(state_->io);
    keepAlive->session = session;
    keepAlive->rtp = *target;
    keepAlive->rtcp = asio::ip::udp::endpoint(target->address(), target->port() + 1);
    keepAlive->interval = interval;
    keepAlive->started = std::chrono::steady_clock::now();
    if (auto old = state_->media.find(sessionId); old != state_->media.end())
        old->second->timer.cancel(); // the session's channel opened again: its relay rules
    state_->media[sessionId] = keepAlive;
    VOIP_TRACE(2, "H323\tKeep-alives for session " << sessionId << " to " << *target << " every "
                                                   << interval.count() << " s on " << describe_());
    sendMediaKeepAlive(state_, keepAlive);
    return answer;
}

void CallTraversal::sendMediaKeepAlive(const std::shared_ptr<State>& state,
                                       const std::shared_ptr<MediaKeepAlive>& keepAlive)
{
    auto session = keepAlive->session.lock();
    if (state->stopped || !session)
        return;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - keepAlive->started);
    const auto rtp = rtpKeepAlive(KeepAlivePayloadType, keepAlive->sequence++,
                                  std::uint32_t(elapsed.count() * 8)); // an 8 kHz clock
    const auto rtcp = rtcpKeepAlive();
    if (session->sendRaw(rtp, keepAlive->rtp, false))
        ++state->mediaSent;
    if (session->sendRaw(rtcp, keepAlive->rtcp, true))
        ++state->mediaSent;
    ++keepAlive->rounds;
    keepAlive->timer.expires_after(keepAlive->rounds < StartCount
                                       ? std::chrono::milliseconds(StartSpacing)
                                       : keepAlive->interval);
    keepAlive->timer.async_wait([weakState = std::weak_ptr(state),
                                 weak = std::weak_ptr(keepAlive)](const asio::error_code& error) {
        auto state = weakState.lock();
        auto keepAlive = weak.lock();
        if (!error && state && keepAlive)
            sendMediaKeepAlive(state, keepAlive);
    });
}

void CallTraversal::stop()
{
    if (state_->stopped)
        return;
    state_->stopped = true;
    state_->signalTimer.cancel();
    for (auto& [session, keepAlive] : state_->media)
        keepAlive->timer.cancel();
}

std::size_t CallTraversal::mediaKeepAlivesSent() const
{
    return state_->mediaSent;
}

std::size_t CallTraversal::signallingKeepAlivesSent() const
{
    return state_->signallingSent;
}

} // namespace voip::h323
