#pragma once

// A PulseAudio daemon of a test's own, on a socket of its own, with the modules the test
// asks for; PULSE_SERVER points the test's sound channels at it while it lives.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "voip/device/sound_pulse.h"

namespace kx::testutil {

class SoundServer
{
public:
    /// `modules`: "module-name arguments", loaded in order at start.
    explicit SoundServer(std::vector<std::string> modules)
        : modules_(std::move(modules))
    {}
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    /// False when pulseaudio is not installed or does not answer.
    bool start()
    {
        if (std::system("command -v pulseaudio >/dev/null 2>&1") != 0)
            return false;
        static int serial = 0;
        dir_ = std::filesystem::temp_directory_path() /
               ("kx-pulse-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        std::filesystem::create_directories(dir_);
        const std::string socket = (dir_ / "native").string();
        std::vector<std::string> arguments = {
            "pulseaudio",
            "-n",
            "--daemonize=no",
            "--exit-idle-time=-1",
            "--use-pid-file=no",
            "--disable-shm=yes",
            "-L",
            "module-native-protocol-unix auth-anonymous=1 socket=" + socket};
        for (const auto& module : modules_) {
            arguments.push_back("-L");
            arguments.push_back(module);
        }
        if (const char* old = std::getenv("PULSE_SERVER")) {
            saved_ = old;
            hadServer_ = true;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
            ::setenv("HOME", dir_.c_str(), 1);
            ::freopen("/dev/null", "w", stdout);
            ::freopen("/dev/null", "w", stderr);
            std::vector<char*> argv;
            for (auto& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        server_ = "unix:" + socket;
        ::setenv("PULSE_SERVER", server_.c_str(), 1);
        for (int i = 0; i < 100; ++i) {
            if (voip::PulseSoundChannel::serverReachable())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    /// Runs pactl against this server ("unload-module module-null-sink"); its exit code.
    int pactl(const std::string& arguments) const
    {
        return std::system(
            ("PULSE_SERVER=" + server_ + " pactl " + arguments + " >/dev/null 2>&1").c_str());
    }

    ~SoundServer()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (hadServer_)
            ::setenv("PULSE_SERVER", saved_.c_str(), 1);
        else
            ::unsetenv("PULSE_SERVER");
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }

private:
    std::vector<std::string> modules_;
    pid_t pid_ = -1;
    std::filesystem::path dir_;
    std::string server_;
    std::string saved_;
    bool hadServer_ = false;
};

} // namespace kx::testutil
