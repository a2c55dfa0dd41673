#pragma once

// Two RTP sessions on 127.0.0.1, what the first sends (RTP and RTCP) reaching the second
// through an impaired path (the reports and asks coming back go straight).  Shared by the
// tests of loss repair and rate adaptation, and bench/.

#include <memory>

#include "tests/support/udpimpairer.h"
#include "voip/rtp/rtpsession.h"

namespace kxtest {

struct ImpairedRtp
{
    std::shared_ptr<voip::rtp::RtpSession> sender;
    std::shared_ptr<voip::rtp::RtpSession> receiver;
    std::unique_ptr<UdpImpairer> path;

    /// Both sessions made with `config` (its address set to 127.0.0.1); false when they
    /// cannot be opened.
    bool open(voip::rtp::SessionConfig config, unsigned seed = 1234)
    {
        config.localAddress = asio::ip::make_address("127.0.0.1");
        auto a = voip::rtp::RtpSession::open(config);
        auto b = voip::rtp::RtpSession::open(config);
        if (!a || !b)
            return false;
        sender = a.take();
        receiver = b.take();
        path = std::make_unique<UdpImpairer>(
            asio::ip::udp::endpoint(receiver->localAddress(), receiver->localRtpPort()),
            asio::ip::udp::endpoint(receiver->localAddress(), receiver->localRtcpPort()), seed);
        sender->setRemote(receiver->localAddress(), path->port(), path->secondPort());
        receiver->setRemote(sender->localAddress(), sender->localRtpPort(),
                            sender->localRtcpPort());
        return true;
    }
};

} // namespace kxtest
