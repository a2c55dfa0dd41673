#pragma once

// Two engines in one process, each with a local "pc" endpoint and an H.323 endpoint
// listening on 127.0.0.1 at a port the system picks, for call tests on loopback.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tests/voip/loopbackendpoints.h"
#include "voip/h323/connection.h"
#include "voip/h323/endpoint.h"
#include "tests/support/eventually.h"

namespace voip::h323::test {

/// Short procedure limits so that time-out cases end quickly.
Timers quickTimers();

/// One engine: a recording manager, a local endpoint and an H.323 endpoint.
struct Side
{
    using EndPointFactory = std::function<std::unique_ptr<EndPoint>(Manager&)>;
    /// `make` builds the H.323 endpoint (a derived one with hooks); default: EndPoint.
    explicit Side(const std::string& name, bool listen = true, const EndPointFactory& make = {});
    ~Side();

    /// "h323:127.0.0.1:<port>" of this side's listener.
    std::string address() const;
    /// Places a call to `to`; the token, or empty.
    std::string call(const std::string& to);
    /// The H.323 leg of the call `token`, or null.
    std::shared_ptr<Connection> h323(const std::string& token) const;
    /// The H.323 leg of the first call of this manager, or null.
    std::shared_ptr<Connection> anyH323() const;

    voip::test::RecordingManager manager;
    voip::test::LocalEndpoint* local = nullptr;
    EndPoint* endpoint = nullptr;
};

/// Threads of this process (entries of /proc/self/task).
std::size_t threadCount();
/// Open file descriptors of this process (entries of /proc/self/fd).
std::size_t descriptorCount();
using kxtest::eventually;

} // namespace voip::h323::test
