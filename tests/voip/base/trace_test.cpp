#include "voip/base/trace.h"
#include "voip/base/tracefile.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

class TraceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() /
                 ("voip_trace_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        path = (folder / "trace.log").string();
    }
    void TearDown() override
    {
        voip::Trace::close();
        fs::remove_all(folder);
    }

    std::vector<std::string> lines()
    {
        voip::Trace::flush();
        std::ifstream in(path);
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

    fs::path folder;
    std::string path;
};

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> result;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        result.push_back(field);
    return result;
}

/// True when `text` has the shape of `pattern`, where 'd' stands for any digit.
bool hasShape(const std::string& text, const std::string& pattern)
{
    if (text.size() != pattern.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (pattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                              : text[i] != pattern[i])
            return false;
    return true;
}

bool isNumber(const std::string& text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

int evaluations = 0;
int counted()
{
    return ++evaluations;
}

TEST_F(TraceTest, WritesLinesUpToTheLevelOnly)
{
    ASSERT_TRUE(voip::Trace::initialise(3, path, 0));
    EXPECT_EQ(voip::Trace::level(), 3);
    VOIP_TRACE(1, "one " << 1);
    VOIP_TRACE(3, "three");
    VOIP_TRACE(4, "four");
    VOIP_TRACE(0, "zero");
    const auto written = lines();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], "1\tone 1");
    EXPECT_EQ(written[1], "3\tthree");
}

TEST_F(TraceTest, DisabledLevelDoesNotEvaluateArguments)
{
    evaluations = 0;
    VOIP_TRACE(1, "before initialise " << counted());
    ASSERT_TRUE(voip::Trace::initialise(2, path, 0));
    VOIP_TRACE(5, "too detailed " << counted());
    EXPECT_EQ(evaluations, 0);
    VOIP_TRACE(2, "wanted " << counted());
    EXPECT_EQ(evaluations, 1);
}

TEST_F(TraceTest, LevelZeroOrNegativeSwitchesOffAndCreatesNoFile)
{
    EXPECT_TRUE(voip::Trace::initialise(0, path, 0));
    EXPECT_EQ(voip::Trace::level(), 0);
    EXPECT_TRUE(voip::Trace::initialise(-3, path, 0));
    VOIP_TRACE(1, "dropped");
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(TraceTest, AllOptionsGiveTimeThreadFileAndLine)
{
    ASSERT_TRUE(voip::Trace::initialise(4, path, 554));
    voip::Trace::setThreadName("Thread Display");
    const int line = __LINE__ + 1;
    VOIP_TRACE(1, "H323\tQueue forward to "
                      << "10.0.0.1");
    voip::Trace::setThreadName("");
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    const auto parts = fields(written[0]);
    ASSERT_EQ(parts.size(), 6u) << written[0];
    EXPECT_TRUE(hasShape(parts[0], "dddd/dd/dd dd:dd:dd.ddd")) << parts[0];
    EXPECT_EQ(parts[1], "1");
    EXPECT_EQ(parts[2], "Thread Display");
    EXPECT_EQ(parts[3], "trace_test.cpp(" + std::to_string(line) + ")");
    EXPECT_EQ(parts[4], "H323");
    EXPECT_EQ(parts[5], "Queue forward to 10.0.0.1");
}

TEST_F(TraceTest, UnnamedThreadShowsItsId)
{
    ASSERT_TRUE(voip::Trace::initialise(1, path, voip::TraceThread));
    std::thread([] { VOIP_TRACE(1, "from a worker"); }).join();
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    const auto parts = fields(written[0]);
    ASSERT_EQ(parts.size(), 3u) << written[0];
    EXPECT_EQ(parts[0], "1");
    EXPECT_EQ(parts[1].rfind("Thread ", 0), 0u) << parts[1];
    EXPECT_TRUE(isNumber(parts[1].substr(7))) << parts[1];
    EXPECT_EQ(parts[2], "from a worker");
}

TEST_F(TraceTest, UnwritableFileReportsAnErrorAndStaysOff)
{
    const auto status = voip::Trace::initialise(4, (folder / "missing" / "t.log").string(), 0);
    EXPECT_FALSE(status);
    EXPECT_NE(status.error.find("missing"), std::string::npos);
    EXPECT_EQ(voip::Trace::level(), 0);
}

TEST_F(TraceTest, PlantedSymbolicLinkIsNotFollowed)
{
    const std::string victim = (folder / "victim.txt").string();
    {
        std::ofstream(victim) << "precious\n";
    }
    fs::create_symlink(victim, path);
    EXPECT_FALSE(voip::Trace::initialise(1, path, 0));
    std::ifstream in(victim);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "precious");
}

TEST_F(TraceTest, InitialiseTruncatesAndCloseStops)
{
    {
        std::ofstream(path) << "old content\n";
    }
    ASSERT_TRUE(voip::Trace::initialise(1, path, 0));
    VOIP_TRACE(1, "new");
    voip::Trace::close();
    VOIP_TRACE(1, "after close");
    const auto written = lines();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], "1\tnew");
}

TEST_F(TraceTest, ManyThreadsWriteWholeLines)
{
    ASSERT_TRUE(voip::Trace::initialise(2, path, voip::TraceThread));
    constexpr int threadCount = 4;
    constexpr int perThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([t] {
            voip::Trace::setThreadName("worker" + std::to_string(t));
            for (int i = 0; i < perThread; ++i)
                VOIP_TRACE(2, "line " << i << " of worker " << t);
        });
    for (auto& thread : threads)
        thread.join();
    const auto written = lines();
    ASSERT_EQ(written.size(), std::size_t(threadCount * perThread));
    for (const auto& line : written) {
        const auto parts = fields(line);
        ASSERT_EQ(parts.size(), 3u) << line;
        EXPECT_EQ(parts[0], "2");
        ASSERT_EQ(parts[1].rfind("worker", 0), 0u) << line;
        // The thread name and the text come from the same thread: no mixed-up lines.
        const std::string worker = parts[1].substr(6);
        EXPECT_EQ(parts[2].substr(parts[2].rfind(' ') + 1), worker) << line;
    }
}

TEST_F(TraceTest, ReinitialiseWhileWritingIsSafe)
{
    ASSERT_TRUE(voip::Trace::initialise(1, path, 0));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop)
            VOIP_TRACE(1, "busy");
    });
    // Switching files while another thread writes must neither crash nor lose the new file.
    const std::string second = (folder / "second.log").string();
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(voip::Trace::initialise(1, i % 2 ? path : second, 0));
    stop = true;
    writer.join();
    EXPECT_TRUE(fs::exists(second));
}

using namespace std::chrono;

system_clock::time_point localNoon(int year, int month, int day)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return system_clock::from_time_t(std::mktime(&t));
}

TEST_F(TraceTest, DailyRotationMovesYesterdaysLinesAside)
{
    auto now = localNoon(2026, 12, 5);
    voip::TraceFile file(path, true, [&] { return now; });
    std::string error;
    ASSERT_TRUE(file.open(error)) << error;
    file.write("saturday");
    now += hours(6);
    file.write("saturday evening");
    now += hours(12); // Sunday 06:00
    file.write("sunday");
    file.flush();

    const std::string rotated = (folder / "trace_2026-12-05.log").string();
    EXPECT_EQ(voip::TraceFile::rotatedName(path, 2026, 12, 5), rotated);
    std::ifstream old(rotated);
    std::stringstream oldText;
    oldText << old.rdbuf();
    EXPECT_EQ(oldText.str(), "saturday\nsaturday evening\n");
    std::ifstream current(path);
    std::stringstream currentText;
    currentText << current.rdbuf();
    EXPECT_EQ(currentText.str(), "sunday\n");
}

TEST_F(TraceTest, WithoutRotationOneFileKeepsEveryDay)
{
    auto now = localNoon(2026, 12, 5);
    voip::TraceFile file(path, false, [&] { return now; });
    std::string error;
    ASSERT_TRUE(file.open(error));
    file.write("a");
    now += hours(48);
    file.write("b");
    file.flush();
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "a\nb\n");
}

} // namespace
