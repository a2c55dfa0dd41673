#pragma once

#include <functional>
#include <string>

#include "voip/h245/capabilities.h"
#include "voip/h323/controllink.h"
#include "voip/h323/endpoint.h"

namespace voip::h323 {

/// User input of one call (H.245 UserInputIndication): what the user types goes to the far
/// end as one alphanumeric string or as one signal per character, in the endpoint's mode
/// unless the far end's capabilities say it takes only the other; what the far end sends
/// as text or signals is handed on.
///
/// Network thread.
class UserInput
{
public:
    /// `received` hears the far end's input (a string, or one signal character).
    UserInput(ControlLink& link, UserInputMode mode,
              std::function<void(const std::string&)> received);

    /// The mode input goes to a far end with capabilities `peer` in: the far end's own
    /// wish when it says it receives only the other kind.
    UserInputMode modeFor(const h245::CapabilitySet& peer) const;
    /// Sends `value` to a far end with capabilities `peer`.  In signals, characters that
    /// are not signals (other than 0-9 # * A-D !) are left out.
    void send(const std::string& value, const h245::CapabilitySet& peer);

    void onIndication(const asn::Value& message);

private:
    ControlLink& link_;
    const UserInputMode mode_;
    std::function<void(const std::string&)> received_;
};

} // namespace voip::h323
