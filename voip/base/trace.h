#pragma once

#include <atomic>
#include <sstream>
#include <string>
#include <string_view>

/// The engine's trace: numbered detail levels written to one file.
///
/// Level 0 is off; 1 is the fewest, most important lines (protocol events the client
/// always wants to see), and each higher level adds detail (the client uses 1 to 6).
/// A line of level N is written when tracing is initialised with a level of N or more.
///
/// Usage from engine code (stream style; the arguments are only evaluated when the level
/// is enabled, so a disabled trace costs one relaxed atomic load and a compare):
///
///     VOIP_TRACE(1, "H323\tQueue forward to " << target);
///
/// Every function here may be called from any thread at any time, also before
/// `Trace::initialise` and after `Trace::close` (lines are then dropped).
namespace voip {

/// Option bits of `Trace::initialise`; 554 (0x22A) asks for all four.
enum TraceOption : unsigned
{
    TraceDateAndTime = 0x002, ///< "YYYY/MM/DD hh:mm:ss.mmm" at the start of each line
    TraceThread = 0x008,      ///< the name (or id) of the writing thread
    TraceFileAndLine = 0x020, ///< "file.cpp(123)" of the trace statement
    TraceRotateDaily = 0x200, ///< at the first line of a new day, the file is renamed with
                              ///< the previous day's date and a fresh one is started
};

/// Result of opening the trace file: `ok`, or the reason it failed.
struct TraceStatus
{
    bool ok = true;
    std::string error;
    explicit operator bool() const { return ok; }
};

class Trace
{
public:
    /// Starts tracing at `level` into the file `path` (created or truncated), with the
    /// `TraceOption` bits in `options`. A level of 0 or less only switches tracing off.
    /// Replaces an earlier trace file. On failure the trace stays off.
    static TraceStatus initialise(int level, const std::string& path, unsigned options);

    /// Flushes and closes the trace file; tracing is off afterwards.
    static void close();

    /// The level lines are written up to; 0 when tracing is off.
    static int level() { return currentLevel.load(std::memory_order_relaxed); }

    /// True when a line of `level` would be written: the cheap test in front of every line.
    static bool canTrace(int level)
    {
        const int enabled = currentLevel.load(std::memory_order_relaxed);
        return level > 0 && level <= enabled;
    }

    /// Writes one line of `level` (dropped when `canTrace(level)` is false). `file` and
    /// `line` name the trace statement; the macro fills them in.
    static void write(int level, const char* file, int line, std::string_view text);

    /// Names the calling thread in trace lines (e.g. "Thread Display"); by default a thread
    /// shows as its system thread id.
    static void setThreadName(std::string name);

    /// Writes everything buffered to the file.
    static void flush();

private:
    static inline std::atomic<int> currentLevel{0};
};

} // namespace voip

/// Writes `stream` (anything `std::ostream <<` accepts, chained with `<<`) at `level`.
#define VOIP_TRACE(level, stream)                                                                  \
    do {                                                                                           \
        if (::voip::Trace::canTrace(level)) {                                                      \
            std::ostringstream voipTraceText_;                                                     \
            voipTraceText_ << stream;                                                              \
            ::voip::Trace::write(level, __FILE__, __LINE__, voipTraceText_.str());                 \
        }                                                                                          \
    } while (false)
