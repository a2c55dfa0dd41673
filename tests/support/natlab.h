#pragma once

// A NAT of the test's own: three network namespaces made by the constructor and removed by
// the destructor.  Inside (10.1.0.2, its default route through the router) sits behind a
// router that masquerades what goes out (to a random port each new mapping) and drops every
// connection or datagram from outside that is not an answer; outside holds 10.2.0.2 and
// 10.2.0.3, with a route towards the inside network through the router, which drops it.
// Needs root and iproute2, iptables and conntrack.

#include <string>

namespace kxtest {

class NatLab
{
public:
    /// Why a lab cannot be made on this machine (not root, a tool missing); empty when it can.
    static std::string unavailable();

    NatLab();
    ~NatLab();
    NatLab(const NatLab&) = delete;
    NatLab& operator=(const NatLab&) = delete;

    /// Empty when the lab stands; else what failed.
    const std::string& error() const { return error_; }
    const std::string& inside() const { return inside_; }
    const std::string& outside() const { return outside_; }
    /// The inside host's interface (where a capture sees everything it sends).
    static constexpr const char* InsideInterface = "in0";
    /// "ip netns exec NAME " for a command line.
    static std::string in(const std::string& space) { return "ip netns exec " + space + " "; }
    /// The router forgets every mapping it made: the next datagram out gets a new one.
    bool forgetMappings() const;

    /// While alive, the sockets and threads the calling thread makes belong to `space`.
    class Enter
    {
    public:
        explicit Enter(const std::string& space);
        ~Enter();
        Enter(const Enter&) = delete;
        Enter& operator=(const Enter&) = delete;
        bool entered() const { return previous_ >= 0; }

    private:
        int previous_ = -1;
    };

private:
    std::string inside_;
    std::string router_;
    std::string outside_;
    std::string error_;
};

} // namespace kxtest
