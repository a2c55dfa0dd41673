#include "voip/base/trace.h"

#include <memory>
#include <mutex>

#include <spdlog/details/os.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>

#include "voip/base/tracefile.h"

namespace voip {
namespace {

/// spdlog sink over a TraceFile; base_sink's mutex serialises the file.
class TraceFileSink final : public spdlog::sinks::base_sink<std::mutex>
{
public:
    explicit TraceFileSink(std::unique_ptr<TraceFile> file)
        : file(std::move(file))
    {}

protected:
    void sink_it_(const spdlog::details::log_msg& message) override
    {
        spdlog::memory_buf_t formatted;
        formatter_->format(message, formatted);
        file->write(std::string_view(formatted.data(), formatted.size()));
    }
    void flush_() override { file->flush(); }

private:
    std::unique_ptr<TraceFile> file;
};

// Guards `logger` and `traceOptions`; never held while a line is formatted by the caller.
std::mutex stateMutex;
std::shared_ptr<spdlog::logger> logger;
unsigned traceOptions = 0;

thread_local std::string threadName;

std::string_view baseName(const char* file)
{
    std::string_view path(file ? file : "");
    const auto slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace

TraceStatus Trace::initialise(int level, const std::string& path, unsigned options)
{
    close();
    if (level <= 0)
        return {};

    auto file = std::make_unique<TraceFile>(path, (options & TraceRotateDaily) != 0);
    std::string error;
    if (!file->open(error))
        return {false, error};

    auto sink = std::make_shared<TraceFileSink>(std::move(file));
    // The sink adds the line end itself, so the formatter's end of line is empty.
    const std::string pattern = (options & TraceDateAndTime) ? "%Y/%m/%d %H:%M:%S.%e\t%v" : "%v";
    sink->set_formatter(
        std::make_unique<spdlog::pattern_formatter>(pattern, spdlog::pattern_time_type::local, ""));
    auto newLogger = std::make_shared<spdlog::logger>("voip", std::move(sink));
    newLogger->set_level(spdlog::level::trace);
    newLogger->flush_on(spdlog::level::trace);

    std::lock_guard lock(stateMutex);
    logger = std::move(newLogger);
    traceOptions = options;
    currentLevel.store(level, std::memory_order_relaxed);
    return {};
}

void Trace::close()
{
    std::shared_ptr<spdlog::logger> old;
    {
        std::lock_guard lock(stateMutex);
        currentLevel.store(0, std::memory_order_relaxed);
        old = std::move(logger);
    }
    if (old)
        old->flush();
}

void Trace::write(int level, const char* file, int line, std::string_view text)
{
    if (!canTrace(level))
        return;
    std::shared_ptr<spdlog::logger> target;
    unsigned options = 0;
    {
        std::lock_guard lock(stateMutex);
        target = logger;
        options = traceOptions;
    }
    if (!target)
        return;

    std::string entry = std::to_string(level);
    entry += '\t';
    if (options & TraceThread) {
        if (threadName.empty())
            entry += "Thread " + std::to_string(spdlog::details::os::thread_id());
        else
            entry += threadName;
        entry += '\t';
    }
    if (options & TraceFileAndLine) {
        entry += baseName(file);
        entry += '(' + std::to_string(line) + ")\t";
    }
    entry += text;
    target->log(spdlog::level::info, "{}", entry);
}

void Trace::setThreadName(std::string name)
{
    threadName = std::move(name);
}

void Trace::flush()
{
    std::shared_ptr<spdlog::logger> target;
    {
        std::lock_guard lock(stateMutex);
        target = logger;
    }
    if (target)
        target->flush();
}

} // namespace voip
