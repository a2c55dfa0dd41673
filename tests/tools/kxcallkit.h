#pragma once

// Running kxcall processes on 127.0.0.1 and reading what they leave: logs, Y4M pictures.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "voip/device/videoframe.h"

namespace kx::testutil {

std::string readFile(const std::string& path);
/// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t freePort();
/// A file name in the test's temporary folder, unique to this process.
std::string tempPath(const std::string& name);

/// A kxcall process in the background, its output in `log`: run as it is, or after
/// `prefix` ("ip netns exec NAME ").  Ended (and waited for) by stop() or the destructor,
/// so that it unregisters and prints its last lines.
class BackgroundKxcall
{
public:
    BackgroundKxcall(const std::string& arguments, std::string log, const std::string& prefix = {});
    ~BackgroundKxcall();
    BackgroundKxcall(const BackgroundKxcall&) = delete;
    BackgroundKxcall& operator=(const BackgroundKxcall&) = delete;
    void stop();
    std::string text() const { return readFile(log_); }
    /// Waits until the output holds `line`, at most `wait`.
    bool waitFor(const std::string& line,
                 std::chrono::milliseconds wait = std::chrono::seconds(15)) const;
    const std::string& log() const { return log_; }

private:
    std::string log_;
    bool stopped_ = false;
};

/// The logs of a call between two kxcall processes.
struct KxcallLogs
{
    std::string callee;
    std::string caller;
    std::uint16_t port = 0; ///< where the callee listened
};

/// Starts a kxcall that listens on a free port of 127.0.0.1 with `calleeArguments`, calls
/// it with a kxcall given `callerArguments` (which must end the call), and waits until
/// both are done.  The logs are kept in `base` + "callee.txt" and "caller.txt".  The caller
/// must end well, or, with `callerFails`, with a failure.
KxcallLogs runKxcallPair(const std::string& calleeArguments, const std::string& callerArguments,
                         const std::string& base, bool callerFails = false);

/// The number after `key=` on the first "stats" line a kxcall log has for `direction`
/// (and for `session`, when given), or -1.
long statistic(const std::string& log, const std::string& direction, const std::string& key,
               const std::string& session = {});

/// The pictures of a 4:2:0 Y4M file as our writer makes it (no frame parameters).
std::vector<voip::VideoFrame> readY4m(const std::string& path);
/// The FakeVideo picture numbers of a Y4M file, in order (pictures without one skipped).
std::vector<std::uint32_t> pictureNumbers(const std::string& path);
/// True when the numbers only go up, by at most `maxStep` each time.
bool advancing(const std::vector<std::uint32_t>& numbers, std::uint32_t maxStep);

} // namespace kx::testutil
