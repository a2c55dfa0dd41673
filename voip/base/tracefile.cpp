#include "voip/base/tracefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace voip {
namespace {

// The trace file usually lies in the temporary folder every user shares: a symbolic link
// planted at its name is not followed, so it cannot redirect the trace onto another file.
std::FILE* openTraceFile(const std::string& path, bool append)
{
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    const int descriptor = ::open(path.c_str(), flags, 0644);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = ::fdopen(descriptor, append ? "a" : "w");
    if (!file)
        ::close(descriptor);
    return file;
}

} // namespace

TraceFile::TraceFile(std::string path, bool rotateDaily, Clock clock)
    : filePath(std::move(path))
    , rotateDaily(rotateDaily)
    , clock(clock ? std::move(clock) : Clock([] { return std::chrono::system_clock::now(); }))
{}

TraceFile::~TraceFile()
{
    if (file)
        std::fclose(file);
}

bool TraceFile::open(std::string& error)
{
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    file = openTraceFile(filePath, false);
    if (!file) {
        error = "cannot open trace file " + filePath + ": " + std::strerror(errno);
        return false;
    }
    openedDay = today();
    return true;
}

void TraceFile::write(std::string_view line)
{
    if (rotateDaily && today() != openedDay)
        rotate();
    if (!file)
        return;
    std::fwrite(line.data(), 1, line.size(), file);
    std::fputc('\n', file);
}

void TraceFile::flush()
{
    if (file)
        std::fflush(file);
}

int TraceFile::today() const
{
    const std::time_t now = std::chrono::system_clock::to_time_t(clock());
    std::tm local{};
    localtime_r(&now, &local);
    return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

std::string TraceFile::rotatedName(const std::string& path, int year, int month, int day)
{
    const std::filesystem::path original(path);
    char date[16];
    std::snprintf(date, sizeof date, "_%04d-%02d-%02d", year, month, day);
    std::filesystem::path rotated = original.parent_path();
    rotated /= original.stem().string() + date + original.extension().string();
    return rotated.string();
}

void TraceFile::rotate()
{
    // A failed rename (e.g. the folder became read-only) keeps writing to the old file
    // rather than losing the lines.
    if (file)
        std::fclose(file);
    file = nullptr;
    const int day = openedDay;
    std::error_code ignored;
    std::filesystem::rename(
        filePath, rotatedName(filePath, day / 10000, day / 100 % 100, day % 100), ignored);
    file = openTraceFile(filePath, bool(ignored));
    openedDay = today();
}

} // namespace voip
