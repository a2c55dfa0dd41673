// Call set-up through a traversal gatekeeper against a direct call, measured at the caller
// from a capture of its interface, as the reference figures were: from the caller's ARQ
// (or its TCP SYN for a direct call) to the Connect reaching it, and to RTP both ways.
// Runs kxcall in network namespaces of its own (the NAT of the tests, and a far host
// outside); needs root, iproute2, iptables, conntrack and tshark.
//
//   build/bench/traversal_setup [calls]     (default 10 of each kind; prints medians)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "tests/support/natlab.h"
#include "tests/support/testgatekeeper.h"

namespace {

using namespace std::chrono_literals;
using kxtest::NatLab;

std::string output(const std::string& command)
{
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, pipe))
            text += buffer;
        ::pclose(pipe);
    }
    return text;
}

struct Setup
{
    double toConnect = -1; ///< ms
    double toMedia = -1;   ///< ms, RTP seen both ways
};

/// Reads one call's capture taken at `caller`.
Setup measure(const std::string& capture, const std::string& caller)
{
    const std::string fields =
        output("tshark -r " + capture +
               " --enable-heuristic rtp_udp -T fields -E separator=/t -e frame.time_relative "
               "-e ip.src -e ip.dst -e tcp.flags.syn -e tcp.flags.ack -e tcp.dstport "
               "-e h225.RasMessage -e h225.h323_message_body -e rtp.p_type 2> /dev/null");
    std::optional<double> start, connect, sent, received;
    std::istringstream lines(fields);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> column;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            column.push_back(cell);
        column.resize(9);
        const double at = std::atof(column[0].c_str()) * 1000;
        const bool fromCaller = column[1] == caller;
        const bool toCaller = column[2] == caller;
        const bool syn = column[3] == "1" && column[4] == "0" && column[5].starts_with("172");
        if (!start && fromCaller && (column[6] == "9" || syn))
            start = at;
        if (start && !connect && toCaller && column[7].find('2') == 0)
            connect = at;
        // RTP of the call, not the keep-alives (type 127) that open the NAT.
        if (start && !column[8].empty() && column[8] != "127") {
            if (fromCaller && !sent)
                sent = at;
            if (toCaller && !received)
                received = at;
        }
    }
    Setup setup;
    if (start && connect)
        setup.toConnect = *connect - *start;
    if (start && sent && received)
        setup.toMedia = std::max(*sent, *received) - *start;
    return setup;
}

double median(std::vector<double> values)
{
    std::erase_if(values, [](double value) { return value < 0; });
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const auto middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    if (const auto why = NatLab::unavailable(); !why.empty()) {
        std::cerr << "traversal_setup: " << why << "\n";
        return 1;
    }
    NatLab lab;
    if (!lab.error().empty()) {
        std::cerr << "traversal_setup: " << lab.error() << "\n";
        return 1;
    }
    // A far host outside, one hop from the gatekeeper: the outside caller, captured alone.
    const std::string far = "kxfar" + std::to_string(::getpid());
    const std::string setUp = "ip netns add " + far + " && ip link add far0 netns " + far +
                              " type veth peer name outf netns " + lab.outside() + " && " +
                              NatLab::in(far) + "ip addr add 10.3.0.2/24 dev far0 && " +
                              NatLab::in(far) + "ip link set far0 up && " + NatLab::in(far) +
                              "ip link set lo up && " + NatLab::in(far) +
                              "ip route add default via 10.3.0.1 && " + NatLab::in(lab.outside()) +
                              "ip addr add 10.3.0.1/24 dev outf && " + NatLab::in(lab.outside()) +
                              "ip link set outf up && " + NatLab::in(lab.outside()) +
                              "sysctl -q -w net.ipv4.ip_forward=1";
    if (std::system(setUp.c_str()) != 0) {
        std::cerr << "traversal_setup: cannot add the far host\n";
        return 1;
    }
    std::unique_ptr<voip::testutil::TestGatekeeper> gatekeeper;
    {
        NatLab::Enter outside(lab.outside());
        gatekeeper = std::make_unique<voip::testutil::TestGatekeeper>(
            asio::ip::make_address("10.2.0.2"), 1719);
        gatekeeper->serveTraversal({.port = 1720});
    }
    const std::string tool = KXCALL_PATH;
    const std::string quiet = " > /dev/null 2>&1";
    const std::string registered = " --gatekeeper 10.2.0.2:1719 --calls 0 --listen 1720";
    std::system(
        (NatLab::in(lab.inside()) + tool + " --name alice" + registered + quiet + " &").c_str());
    std::system((NatLab::in(lab.outside()) + tool + " --name bob --bind 10.2.0.3 --traversal off" +
                 registered + quiet + " &")
                    .c_str());
    // The direct call's far end registers with nobody, as in the reference figures.
    std::system((NatLab::in(lab.outside()) + tool +
                 " --name carl --bind 10.2.0.3 --calls 0 --listen 1721" + quiet + " &")
                    .c_str());
    std::this_thread::sleep_for(2s);

    struct Kind
    {
        const char* name;
        std::string space, interface, caller, arguments;
    };
    const Kind kinds[] = {
        {"direct, no NAT, no gatekeeper", far, "far0", "10.3.0.2", "--call 10.2.0.3:1721"},
        {"called through the gatekeeper and the NAT", far, "far0", "10.3.0.2",
         "--gatekeeper 10.2.0.2:1719 --traversal off --call alice"},
        {"calling through the gatekeeper and the NAT", lab.inside(), NatLab::InsideInterface,
         "10.1.0.2", "--gatekeeper 10.2.0.2:1719 --call bob"},
    };
    const std::string capture = "/tmp/kx_traversal_setup_" + std::to_string(::getpid()) + ".pcapng";
    std::printf("%-44s %12s %16s   (median of %d, ms)\n", "call", "-> Connect", "-> RTP both ways",
                calls);
    for (const auto& kind : kinds) {
        std::vector<double> toConnect, toMedia;
        for (int i = 0; i < calls; ++i) {
            std::system((NatLab::in(kind.space) + "tshark -q -i " + kind.interface + " -w " +
                         capture + quiet + " & echo $! > " + capture + ".pid")
                            .c_str());
            std::this_thread::sleep_for(1500ms);
            std::system((NatLab::in(kind.space) + tool + " --name caller --hangup-after 1 " +
                         kind.arguments + quiet)
                            .c_str());
            std::system(("kill -INT $(cat " + capture + ".pid); sleep 0.5").c_str());
            const auto setup = measure(capture, kind.caller);
            toConnect.push_back(setup.toConnect);
            toMedia.push_back(setup.toMedia);
        }
        std::printf("%-44s %12.1f %16.1f\n", kind.name, median(toConnect), median(toMedia));
    }
    if (!std::getenv("KX_KEEP_CAPTURE"))
        std::remove(capture.c_str());
    std::remove((capture + ".pid").c_str());
    std::system(("pkill -f 'kxcall --name (alice|bob|carl)' ; ip netns delete " + far).c_str());
    return 0;
}
