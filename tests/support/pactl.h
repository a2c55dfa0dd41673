#pragma once
// The sound server's command line for tests that plug and unplug devices: run a command and
// read its output, and a module that is unloaded on every way out of a test.

#include <cstdio>
#include <string>

namespace kxtest {

/// What `command` prints, without the trailing line end and spaces; empty when it cannot run.
inline std::string run(const std::string& command)
{
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        ::pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

/// Loads a null sink named `sink` (its monitor is `sink`.monitor); the module's index,
/// empty when pactl cannot load it.
inline std::string loadNullSink(const std::string& sink)
{
    return run("pactl load-module module-null-sink sink_name=" + sink +
               " sink_properties=device.description=" + sink + " 2>/dev/null");
}

/// Unloads a PulseAudio module when it goes out of scope, unless `index` was cleared.
struct ModuleGuard
{
    const std::string& index;
    ~ModuleGuard()
    {
        if (!index.empty())
            run("pactl unload-module " + index + " 2>/dev/null");
    }
};

} // namespace kxtest
