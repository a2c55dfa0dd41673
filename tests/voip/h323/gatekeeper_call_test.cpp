// Two kxcall processes registered with a gatekeeper of the test's own call each other by
// alias and by number, with audio; every call is admitted and disengaged, also when the
// gatekeeper refuses it; calls by address still work with the gatekeeper silent.

#include <chrono>
#include <cmath>
#include <iostream>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/voip/h323/testgatekeeper.h"
#include "voip/device/wavfile.h"

namespace {

using namespace std::chrono_literals;
using voip::testutil::TestGatekeeper;

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tempPath(const std::string& name)
{
    return testing::TempDir() + "kxgk_" + std::to_string(::getpid()) + "_" + name;
}

bool waitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds wait = 15s)
{
    const auto until = std::chrono::steady_clock::now() + wait;
    while (readFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

/// A kxcall process in the background, stopped at the end of the test.
struct Process
{
    explicit Process(const std::string& arguments, const std::string& log)
        : log(log)
    {
        const std::string command = std::string(KXCALL_PATH) + " " + arguments + " > " + log +
                                    " 2>&1 & echo $! > " + log + ".pid";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    ~Process() { stop(); }
    /// Ends the process (it closes its files and unregisters) and waits for it.
    void stop()
    {
        if (stopped)
            return;
        stopped = true;
        const std::string pid = "$(cat " + log + ".pid)";
        std::system(("kill " + pid + " 2>/dev/null; for i in $(seq 100); do kill -0 " + pid +
                     " 2>/dev/null || break; sleep 0.05; done")
                        .c_str());
        std::remove((log + ".pid").c_str());
    }
    std::string text() const { return readFile(log); }
    std::string log;
    bool stopped = false;
};

/// The caller's voice: a 440 Hz tone of 2 s.
std::string toneFile()
{
    voip::WavAudio tone;
    tone.sampleRate = 8000;
    tone.channels = 1;
    for (int i = 0; i < 16000; ++i)
        tone.samples.push_back(std::int16_t(10000 * std::sin(2 * M_PI * 440 * i / 8000.0)));
    const std::string path = tempPath("tone.wav");
    EXPECT_TRUE(voip::writeWavFile(path, tone));
    return path;
}

double loudness(const std::string& wav)
{
    auto audio = voip::readWavFile(wav);
    if (!audio || audio.value().samples.empty())
        return 0;
    double sum = 0;
    for (auto sample : audio.value().samples)
        sum += double(sample) * sample;
    return std::sqrt(sum / double(audio.value().samples.size()));
}

TEST(GatekeeperCalls, ByAliasAndByNumberWithAudioAdmittedAndDisengaged)
{
    TestGatekeeper gatekeeper;
    const std::string tone = toneFile();
    const std::string heard = tempPath("heard.wav");
    Process bob("--listen 0 --bind 127.0.0.1 --calls 0 --name bob --gatekeeper " +
                    gatekeeper.address() + " --alias bob --e164 1002 --record " + heard,
                tempPath("bob.txt"));
    ASSERT_TRUE(waitForText(bob.log, "gatekeeper registered")) << bob.text();
    ASSERT_TRUE(gatekeeper.lookUp("1002"));

    for (const std::string target : {"bob", "1002"}) {
        const std::string log = tempPath("alice-" + target + ".txt");
        const std::string alice = std::string(KXCALL_PATH) + " --call " + target +
                                  " --gatekeeper " + gatekeeper.address() +
                                  " --alias alice --e164 1001 --send " + tone +
                                  " --hangup-after 2 --formats G.711-uLaw-64k > " + log + " 2>&1";
        EXPECT_EQ(std::system(alice.c_str()), 0) << readFile(log);
        const std::string text = readFile(log);
        EXPECT_NE(text.find("gatekeeper registered"), std::string::npos) << text;
        EXPECT_NE(text.find("established"), std::string::npos) << text;
        EXPECT_NE(text.find("media opened G.711-uLaw-64k session 1 transmit"), std::string::npos)
            << text;
        std::remove(log.c_str());
    }
    ASSERT_TRUE(waitForText(bob.log, "cleared", 5s));
    // Each call: admitted on both sides, disengaged on both sides.
    EXPECT_TRUE([&] {
        for (int i = 0; i < 100 && gatekeeper.count("disengageRequest") < 4; ++i)
            std::this_thread::sleep_for(50ms);
        return gatekeeper.count("disengageRequest") >= 4;
    }()) << gatekeeper.count("disengageRequest");
    // (At least: a request the gatekeeper answered late may have been sent again.)
    EXPECT_GE(gatekeeper.count("admissionRequest"), 4u);
    // alice unregistered at exit, twice.
    EXPECT_GE(gatekeeper.count("unregistrationRequest"), 2u);
    const std::string bobText = bob.text();
    EXPECT_NE(bobText.find("incoming call from"), std::string::npos) << bobText;
    bob.stop();
    EXPECT_GT(loudness(heard), 2000) << "the tone did not arrive";
    std::remove(heard.c_str());
    std::remove(tone.c_str());
}

TEST(GatekeeperCalls, RefusedAndUnknownCallsEndWithTheirReasonAndAreDisengaged)
{
    TestGatekeeper gatekeeper;
    Process bob("--listen 0 --bind 127.0.0.1 --calls 0 --name bob --gatekeeper " +
                    gatekeeper.address() + " --alias bob",
                tempPath("bob2.txt"));
    ASSERT_TRUE(waitForText(bob.log, "gatekeeper registered")) << bob.text();
    const auto call = [&](const std::string& target) {
        const std::string log = tempPath("alice2.txt");
        std::system(("timeout 30 " + std::string(KXCALL_PATH) + " --call " + target +
                     " --gatekeeper " + gatekeeper.address() +
                     " --alias alice --hangup-after 1 > " + log + " 2>&1")
                        .c_str());
        std::string text = readFile(log);
        std::remove(log.c_str());
        return text;
    };
    // Nobody of that name: the call ends as unreachable, before any signalling.
    std::string text = call("carol");
    EXPECT_NE(text.find("cleared"), std::string::npos) << text;
    EXPECT_EQ(text.find("established"), std::string::npos) << text;
    // The gatekeeper refuses every admission: the call ends and says so.
    gatekeeper.rejectAdmissions("requestDenied");
    text = call("bob");
    EXPECT_EQ(text.find("established"), std::string::npos) << text;
    EXPECT_NE(text.find("reason=30"), std::string::npos) << text; // admission failed
    gatekeeper.rejectAdmissions(std::nullopt);
    // Admitted again: both sides disengage at the end.
    const auto disengagesBefore = gatekeeper.count("disengageRequest");
    text = call("bob");
    EXPECT_NE(text.find("established"), std::string::npos) << text;
    for (int i = 0; i < 100 && gatekeeper.count("disengageRequest") < disengagesBefore + 2; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_GE(gatekeeper.count("disengageRequest"), disengagesBefore + 2);

    // Admitted, but sent to an address where nobody listens: the call fails to connect,
    // and is disengaged all the same.
    const auto disengaged = gatekeeper.count("disengageRequest");
    gatekeeper.admitTo(voip::h225::IpAddressPort::parse("127.0.0.1:1"));
    text = call("bob");
    EXPECT_EQ(text.find("established"), std::string::npos) << text;
    EXPECT_NE(text.find("reason=8"), std::string::npos) << text; // the connection failed
    EXPECT_GT(gatekeeper.count("disengageRequest"), disengaged);
    gatekeeper.admitTo(std::nullopt);

    // The gatekeeper goes silent: registration is said to be lost, calls by address work.
    gatekeeper.silent = true;
    const std::string port = [&] {
        const std::string t = bob.text();
        const auto at = t.find("listening on port ");
        return t.substr(at + 18, t.find('\n', at) - at - 18);
    }();
    text = call("127.0.0.1:" + port);
    EXPECT_NE(text.find("gatekeeper unreachable"), std::string::npos) << text;
    EXPECT_NE(text.find("established"), std::string::npos) << text;
}

} // namespace
