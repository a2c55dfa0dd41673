// The TPKT channel under a burst: a channel taken over by a second start() (as an incoming
// call's connection takes the channel that brought its Setup) still delivers every PDU
// of a quick burst intact and in order.

#include "voip/h323/tpktchannel.h"

#include <gtest/gtest.h>

#include <thread>

namespace voip::h323 {
namespace {

TEST(TpktChannel, ASecondStartKeepsEveryPduOfABurstIntact)
{
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    asio::ip::tcp::socket sender(io);
    sender.connect(acceptor.local_endpoint());
    sender.set_option(asio::ip::tcp::no_delay(true));
    auto channel = std::make_shared<TpktChannel>(acceptor.accept());

    constexpr int Count = 400;
    std::vector<std::vector<std::uint8_t>> received;
    bool failed = false;
    auto keep = [&](std::vector<std::uint8_t> pdu) {
        received.push_back(std::move(pdu));
        if (received.size() == Count)
            io.stop();
    };
    auto fail = [&](TpktChannel::Failure, const std::string&) {
        failed = true;
        io.stop();
    };
    // The first PDU hands the channel to a new owner, which starts it again.
    channel->start(
        [&](std::vector<std::uint8_t> pdu) {
            keep(std::move(pdu));
            channel->start(keep, fail);
        },
        fail);

    // Each PDU its own TCP write, as fast as they go: PDU i holds i's number and a body
    // of a size that varies with it.
    std::thread writer([&] {
        for (int i = 0; i < Count; ++i) {
            std::vector<std::uint8_t> pdu(8 + i % 50, std::uint8_t(i));
            pdu[0] = std::uint8_t(i >> 8);
            auto framed = q931::tpktFrame(pdu);
            asio::write(sender, asio::buffer(*framed));
        }
    });
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::seconds(10));
        io.stop();
    });
    io.run();
    writer.join();
    stopper.detach();
    ASSERT_FALSE(failed);
    ASSERT_EQ(received.size(), std::size_t(Count));
    for (int i = 0; i < Count; ++i) {
        ASSERT_EQ(received[i].size(), std::size_t(8 + i % 50)) << "PDU " << i;
        EXPECT_EQ(received[i][0], std::uint8_t(i >> 8)) << "PDU " << i;
        EXPECT_EQ(received[i].back(), std::uint8_t(i)) << "PDU " << i;
    }
}

} // namespace
} // namespace voip::h323
