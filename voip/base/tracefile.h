#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace voip {

/// The file behind the trace: appends lines to `path` and, when asked to rotate daily,
/// moves a file whose lines belong to an earlier (local) day aside as
/// "<stem>_YYYY-MM-DD<extension>" before the first line of the new day, so that `path`
/// always holds today's lines. Not thread-safe: `Trace` serialises the calls.
class TraceFile
{
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    /// `clock` gives the current time (the system clock by default; tests pass their own).
    TraceFile(std::string path, bool rotateDaily, Clock clock = {});
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    /// Creates or truncates the file. Returns false with `error` set when it cannot.
    bool open(std::string& error);

    /// Appends `line` and a newline, after rotating when the day has changed.
    void write(std::string_view line);
    void flush();

    const std::string& path() const { return filePath; }

    /// The name an earlier day's file gets: "/tmp/x.log" and 2026-12-05 give
    /// "/tmp/x_2026-12-05.log".
    static std::string rotatedName(const std::string& path, int year, int month, int day);

private:
    int today() const;
    void rotate();

    std::string filePath;
    bool rotateDaily;
    Clock clock;
    std::FILE* file = nullptr;
    int openedDay = 0; ///< yyyymmdd of the lines in the file
};

} // namespace voip
