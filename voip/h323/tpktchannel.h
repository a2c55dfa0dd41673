#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <asio.hpp>

#include "voip/q931/tpkt.h"

namespace voip::h323 {

/// A TCP connection that carries TPKT-framed PDUs (RFC 1006): the H.225.0 call signalling
/// channel and the separate H.245 channel.
///
/// Threads: every member runs on the thread of the io_context that owns the socket (the
/// endpoint's network thread); the handlers are called there too.  Handlers hold the
/// channel alive while a read or write is outstanding; close() ends both.
class TpktChannel : public std::enable_shared_from_this<TpktChannel>
{
public:
    /// Why the channel stopped.
    enum class Failure
    {
        Closed,    ///< the peer closed the connection (end of stream)
        Reset,     ///< a socket error, e.g. a reset
        Malformed, ///< a TPKT header that cannot be right (version, length)
    };
    using PduHandler = std::function<void(std::vector<std::uint8_t> pdu)>;
    using FailureHandler = std::function<void(Failure failure, const std::string& detail)>;

    /// Takes a connected socket; `maxPacket` bounds every TPKT length read.
    TpktChannel(asio::ip::tcp::socket socket, std::size_t maxPacket = q931::kTpktMaxPacket);
    ~TpktChannel();
    TpktChannel(const TpktChannel&) = delete;
    TpktChannel& operator=(const TpktChannel&) = delete;

    /// Starts reading; each complete PDU (empty TPKTs left out) goes to `onPdu`, the end of the channel (once) to
    /// `onFailure`.  Nothing is reported after close().  After a malformed header the
    /// channel stops reading but stays open, so that a last message can be sent before
    /// closeAfterSending().  Called again (a connection taking over the channel that
    /// brought its Setup), it only replaces the handlers: one read is ever outstanding.
    void start(PduHandler onPdu, FailureHandler onFailure);
    /// Frames and queues a PDU; false when the channel is closed or the PDU too long.
    bool send(std::span<const std::uint8_t> pdu);
    /// Queues an empty TPKT (03 00 00 04): a keep-alive that holds a NAT's mapping of the
    /// connection open and that every receiver here ignores.
    bool sendKeepAlive();
    /// Empty TPKTs received (keep-alives, not handed to the PDU handler).
    std::size_t keepAlivesReceived() const { return keepAlives_; }
    /// Closes once everything queued has been written; nothing is reported after it.
    void closeAfterSending();
    /// Closes at once; queued PDUs are dropped.  Idempotent.
    void close();
    bool isOpen() const { return open_; }

    asio::ip::tcp::endpoint localEndpoint() const { return local_; }
    asio::ip::tcp::endpoint remoteEndpoint() const { return remote_; }

private:
    void readMore();
    void writeNext();
    void fail(Failure failure, const std::string& detail);

    asio::ip::tcp::socket socket_;
    asio::ip::tcp::endpoint local_;
    asio::ip::tcp::endpoint remote_;
    q931::TpktSplitter splitter_;
    std::array<std::uint8_t, 4096> readBuffer_{};
    std::deque<std::vector<std::uint8_t>> writeQueue_;
    bool writing_ = false;
    bool open_ = true;
    bool reading_ = true;
    bool readPending_ = false; // an async_read_some into readBuffer_ is outstanding
    bool closing_ = false;
    std::size_t keepAlives_ = 0;
    PduHandler onPdu_;
    FailureHandler onFailure_;
};

} // namespace voip::h323
