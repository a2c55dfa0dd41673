#include "voip/nat/natmethod.h"
#include "voip/nat/stunmethod.h"
#include "tests/support/toolskip.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace voip::nat;
using namespace std::chrono_literals;
using asio::ip::make_address;

namespace {

std::string findTurnserver()
{
    for (const char* folder : {"/usr/bin", "/usr/sbin", "/usr/local/bin"}) {
        const std::string path = std::string(folder) + "/turnserver";
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

bool portsFree(uint16_t port)
{
    asio::io_context io;
    for (const char* address : {"127.0.0.1", "127.0.0.2"})
        for (uint16_t p : {port, static_cast<uint16_t>(port + 1)}) {
            asio::error_code ec;
            asio::ip::udp::socket udp(io);
            udp.open(asio::ip::udp::v4());
            udp.bind({make_address(address), p}, ec);
            if (ec)
                return false;
            asio::ip::tcp::acceptor tcp(io);
            tcp.open(asio::ip::tcp::v4());
            tcp.bind({make_address(address), p}, ec);
            if (ec)
                return false;
        }
    return true;
}

/// Debian's coturn as a STUN-only server on 127.0.0.1 and 127.0.0.2 (the two
/// addresses give it the RFC 5780 other address), on ephemeral ports.
class Coturn : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string program = findTurnserver();
        if (program.empty())
            KX_SKIP_WITHOUT_TOOL() << "turnserver (coturn) is not installed";
        folder_ =
            std::filesystem::temp_directory_path() / ("kx-coturn-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder_);
        asio::io_context io;
        for (int attempt = 0; attempt < 50 && port_ == 0; ++attempt) {
            asio::ip::udp::socket probe(io, {make_address("127.0.0.1"), 0});
            const auto candidate = probe.local_endpoint().port();
            probe.close();
            if (candidate < 65000 && portsFree(candidate))
                port_ = candidate;
        }
        ASSERT_NE(port_, 0);

        const std::vector<std::string> args{program,
                                            "-n",
                                            "-S",
                                            "-L",
                                            "127.0.0.1",
                                            "-L",
                                            "127.0.0.2",
                                            "-p",
                                            std::to_string(port_),
                                            "--alt-listening-port",
                                            std::to_string(port_ + 1),
                                            "--no-tls",
                                            "--no-dtls",
                                            "--no-cli",
                                            "--no-stdout-log",
                                            "--simple-log",
                                            "-l",
                                            (folder_ / "turn.log").string(),
                                            "--pidfile",
                                            (folder_ / "turn.pid").string(),
                                            "-b",
                                            (folder_ / "turndb").string()};
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // Its console chatter (probes for SCTP and the like) goes to /dev/null.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int spawned =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(spawned, 0);

        // Ready when it answers a Binding request.
        StunTiming timing;
        timing.initialRto = 100ms;
        timing.maxTransactionTime = 300ms;
        StunMethod probe(timing);
        ASSERT_TRUE(probe.setServer(server()));
        bool ready = false;
        for (int attempt = 0; attempt < 30 && !ready; ++attempt)
            ready = probe.externalAddress(0ms).has_value();
        ASSERT_TRUE(ready) << "coturn did not answer on " << server();
    }

    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 50 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(100ms);
            if (waitpid(pid_, &status, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
        }
        std::error_code ec;
        if (!folder_.empty())
            std::filesystem::remove_all(folder_, ec);
    }

    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }

    pid_t pid_ = 0;
    uint16_t port_ = 0;
    std::filesystem::path folder_;
};

StunTiming testTiming()
{
    StunTiming timing;
    timing.initialRto = 100ms;
    timing.maxTransmissions = 4;
    timing.maxTransactionTime = 1000ms;
    return timing;
}

} // namespace

TEST_F(Coturn, StunReportsExternalAddressAndNatType)
{
    StunMethod stun(testTiming());
    ASSERT_TRUE(stun.setServer(server()));
    const auto external = stun.externalAddress(0ms);
    ASSERT_TRUE(external);
    EXPECT_EQ(*external, make_address("127.0.0.1"));
    EXPECT_NE(stun.externalPort(), 0);

    // On loopback the mapped address is our own, and the server's other
    // address answers a change request: no NAT.
    EXPECT_EQ(stun.natType(0ms), NatType::Open);
    // Asked again with any age: the remembered answer, without a query.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stun.natType(NatMethod::AnyAge), NatType::Open);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);

    // Active, it gives outside peers the address the server saw, and inside ones our own.
    NatMethodList list;
    list.add(std::make_unique<StunMethod>(testTiming()));
    ASSERT_TRUE(list.find("STUN")->setServer(server()));
    list.find("STUN")->activate(true);
    const auto local = make_address("192.168.7.7");
    EXPECT_EQ(list.translate(local, make_address("198.51.100.7")), make_address("127.0.0.1"));
    EXPECT_EQ(list.translate(local, make_address("192.168.7.8")), local);
}
