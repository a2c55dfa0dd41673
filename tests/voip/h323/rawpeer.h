#pragma once

// A hand-driven H.323 peer on 127.0.0.1 for tests: it accepts or makes one TCP
// connection and reads and writes Q.931 messages, so that a test can answer a call the
// way a faulty or unusual far end would.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <asio.hpp>

#include "voip/asn/value.h"
#include "voip/q931/message.h"

namespace voip::h323::test {

class RawPeer
{
public:
    /// Listens on 127.0.0.1 at a port the system picks.
    RawPeer();
    std::uint16_t port() const { return port_; }
    /// The far end of the accepted or made connection.
    asio::ip::tcp::endpoint remoteEndpoint() const;
    std::string address() const { return "h323:127.0.0.1:" + std::to_string(port_); }

    /// Waits for the call's TCP connection; false on time-out.
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Connects to a listener instead.
    bool connect(std::uint16_t port);
    /// Reads one TPKT-framed PDU; nothing on time-out or when the connection ends.
    std::optional<std::vector<std::uint8_t>>
    readPdu(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// True when something can be read within `timeout` (the next readPdu will not wait).
    bool waitReadable(std::chrono::milliseconds timeout);
    /// Reads PDUs until one is a Q.931 message of `type`; nothing when none comes.
    std::optional<q931::Message>
    readUntil(q931::MessageType type, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// True when the far end has closed the connection (reads up to `timeout`).
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool sendRaw(const std::vector<std::uint8_t>& bytes);
    bool sendPdu(const std::vector<std::uint8_t>& pdu);
    /// Sends a message answering `setup` (same call reference, from the called side)
    /// with this User-user information.
    bool sendAnswer(const q931::Message& setup, q931::MessageType type,
                    const asn::Value& information);
    /// Sends a message of this call (`callReference`, from the called side or not) with
    /// this User-user information and any further information elements.
    bool sendMessage(std::uint16_t callReference, bool fromDestination, q931::MessageType type,
                     const asn::Value& information,
                     const std::vector<q931::InformationElement>& extra = {});
    /// Sends H.245 messages tunnelled in a Facility of this call.
    bool sendTunnelled(std::uint16_t callReference, bool fromDestination,
                       const std::vector<asn::Value>& messages);
    /// Closes with a TCP reset (SO_LINGER 0).
    void reset();
    void close();

private:
    using Deadline = std::chrono::steady_clock::time_point;
    bool readableBy(Deadline deadline);
    /// Reads all of `buffer` by `deadline`; false on time-out or when the connection ends.
    bool readAll(std::span<std::uint8_t> buffer, Deadline deadline);
    std::optional<std::vector<std::uint8_t>> readPduBy(Deadline deadline);

    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp::socket socket_;
    std::uint16_t port_ = 0;
};

/// A Connect body for `setup`, with h245Tunnelling as given.
asn::Value connectFor(const q931::Message& setup, bool tunnelling);
/// A well-formed Setup Q.931 message (encoded), for mutation.
std::vector<std::uint8_t> sampleSetup(std::uint16_t callReference);

} // namespace voip::h323::test
