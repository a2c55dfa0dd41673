#pragma once

// The media sessions and logical channels of an H.323 connection; internal to voip_h323.

#include <memory>

#include <asio.hpp>

#include "voip/h245/channels.h"
#include "voip/h323/connection.h"
#include "voip/media/mediaformat.h"
#include "voip/media/mediastream.h"

namespace voip::h323 {

/// The RTP and RTCP sockets of one media session, bound for the call's lifetime.
struct Connection::Session
{
    explicit Session(asio::io_context& io)
        : rtp(io)
        , rtcp(io)
    {}
    asio::ip::udp::socket rtp;
    asio::ip::udp::socket rtcp;
    h245::MediaAddress rtpAddress;
    h245::MediaAddress rtcpAddress;
};

/// One logical channel (or a fastStart proposal not answered yet).
struct Connection::Channel
{
    std::uint16_t number = 0;
    unsigned sessionId = 0;
    bool fromRemote = false;
    bool open = false;
    bool proposal = false; // a fastStart proposal not yet answered
    MediaFormat format;
    h245::MediaAddress remoteMedia;
    std::shared_ptr<MediaStream> stream;
    std::unique_ptr<asio::steady_timer> timer;
};

} // namespace voip::h323
