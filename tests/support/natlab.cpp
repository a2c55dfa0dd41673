#include "tests/support/natlab.h"

#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace kxtest {

namespace {

/// Runs a shell script; its output when it fails (empty when it succeeds).
std::string run(const std::string& script)
{
    const std::string command = "set -e\n" + script + "\n";
    FILE* pipe = ::popen(("bash -c '" + command + "' 2>&1").c_str(), "r");
    if (!pipe)
        return "cannot run bash";
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    const int status = ::pclose(pipe);
    return status == 0 ? std::string() : (output.empty() ? "failed" : output);
}

} // namespace

std::string NatLab::unavailable()
{
    if (::geteuid() != 0)
        return "network namespaces need root";
    for (const char* tool : {"ip", "iptables", "conntrack"})
        if (std::system(("command -v " + std::string(tool) + " > /dev/null").c_str()) != 0)
            return std::string(tool) + " is not installed";
    return {};
}

NatLab::NatLab()
{
    const std::string id = std::to_string(::getpid());
    inside_ = "kxin" + id;
    router_ = "kxrt" + id;
    outside_ = "kxout" + id;
    const std::string in = "ip netns exec " + inside_ + " ";
    const std::string rt = "ip netns exec " + router_ + " ";
    const std::string out = "ip netns exec " + outside_ + " ";
    error_ =
        run("ip netns add " + inside_ + "\nip netns add " + router_ + "\nip netns add " + outside_ +
            "\nip link add in0 netns " + inside_ + " type veth peer name rin netns " + router_ +
            "\nip link add rout netns " + router_ + " type veth peer name out0 netns " + outside_ +
            "\n" + in + "ip addr add 10.1.0.2/24 dev in0\n" + in + "ip link set in0 up\n" + in +
            "ip link set lo up\n" + in + "ip route add default via 10.1.0.1\n" + rt +
            "ip addr add 10.1.0.1/24 dev rin\n" + rt + "ip addr add 10.2.0.1/24 dev rout\n" + rt +
            "ip link set rin up\n" + rt + "ip link set rout up\n" + rt +
            "sysctl -q -w net.ipv4.ip_forward=1\n" + rt +
            "iptables -t nat -A POSTROUTING -o rout -j MASQUERADE --random\n" + rt +
            "iptables -P FORWARD DROP\n" + rt + "iptables -A FORWARD -i rin -o rout -j ACCEPT\n" +
            rt + "iptables -A FORWARD -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT\n" +
            out + "ip addr add 10.2.0.2/24 dev out0\n" + out +
            "ip addr add 10.2.0.3/24 dev out0\n" + out + "ip link set out0 up\n" + out +
            "ip link set lo up\n" + out + "ip route add 10.1.0.0/24 via 10.2.0.1");
}

NatLab::~NatLab()
{
    for (const auto& space : {inside_, router_, outside_})
        std::system(("ip netns delete " + space + " 2> /dev/null").c_str());
}

bool NatLab::forgetMappings() const
{
    return run("ip netns exec " + router_ + " conntrack -F > /dev/null 2>&1").empty();
}

NatLab::Enter::Enter(const std::string& space)
{
    const int target = ::open(("/var/run/netns/" + space).c_str(), O_RDONLY | O_CLOEXEC);
    const int current = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (target >= 0 && current >= 0 && ::setns(target, CLONE_NEWNET) == 0)
        previous_ = current;
    else if (current >= 0)
        ::close(current);
    if (target >= 0)
        ::close(target);
}

NatLab::Enter::~Enter()
{
    if (previous_ < 0)
        return;
    ::setns(previous_, CLONE_NEWNET);
    ::close(previous_);
}

} // namespace kxtest
