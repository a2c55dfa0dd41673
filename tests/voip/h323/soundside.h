#pragma once

// One engine as the client has it, for media tests on loopback: the PC sound endpoint and
// an H.323 endpoint listening on 127.0.0.1 at a port the system picks.

#include <memory>
#include <string>

#include "tests/voip/loopbackendpoints.h"
#include "voip/h323/connection.h"
#include "voip/h323/endpoint.h"
#include "voip/pcss/pcssendpoint.h"

namespace voip::h323::test {

class SoundSide : public voip::test::RecordingManager
{
public:
    explicit SoundSide(const std::string& name);
    ~SoundSide() override;

    /// "h323:127.0.0.1:<port>" of this side's listener.
    std::string address() const;
    /// The H.323 leg of this manager's first call, or null.
    std::shared_ptr<Connection> network();

    pcss::PcssEndPoint* pcss = nullptr;
    EndPoint* h323 = nullptr;
};

} // namespace voip::h323::test
