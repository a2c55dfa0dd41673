#include "voip/q931/cause.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace voip::q931 {
namespace {

struct CauseName
{
    std::uint8_t value;
    std::string_view text;
};

// ITU-T Q.850 Table 1.
constexpr std::array kCauseNames{
    CauseName{1, "unallocated (unassigned) number"},
    CauseName{2, "no route to specified transit network"},
    CauseName{3, "no route to destination"},
    CauseName{4, "send special information tone"},
    CauseName{5, "misdialled trunk prefix"},
    CauseName{6, "channel unacceptable"},
    CauseName{7, "call awarded and being delivered in an established channel"},
    CauseName{8, "preemption"},
    CauseName{9, "preemption - circuit reserved for reuse"},
    CauseName{16, "normal call clearing"},
    CauseName{17, "user busy"},
    CauseName{18, "no user responding"},
    CauseName{19, "no answer from user (user alerted)"},
    CauseName{20, "subscriber absent"},
    CauseName{21, "call rejected"},
    CauseName{22, "number changed"},
    CauseName{23, "redirection to new destination"},
    CauseName{25, "exchange routing error"},
    CauseName{26, "non-selected user clearing"},
    CauseName{27, "destination out of order"},
    CauseName{28, "invalid number format (address incomplete)"},
    CauseName{29, "facility rejected"},
    CauseName{30, "response to status enquiry"},
    CauseName{31, "normal, unspecified"},
    CauseName{34, "no circuit/channel available"},
    CauseName{38, "network out of order"},
    CauseName{39, "permanent frame mode connection out of service"},
    CauseName{40, "permanent frame mode connection operational"},
    CauseName{41, "temporary failure"},
    CauseName{42, "switching equipment congestion"},
    CauseName{43, "access information discarded"},
    CauseName{44, "requested circuit/channel not available"},
    CauseName{46, "precedence call blocked"},
    CauseName{47, "resource unavailable, unspecified"},
    CauseName{49, "quality of service not available"},
    CauseName{50, "requested facility not subscribed"},
    CauseName{53, "outgoing calls barred within CUG"},
    CauseName{55, "incoming calls barred within CUG"},
    CauseName{57, "bearer capability not authorized"},
    CauseName{58, "bearer capability not presently available"},
    CauseName{62, "inconsistency in designated outgoing access information and subscriber class"},
    CauseName{63, "service or option not available, unspecified"},
    CauseName{65, "bearer capability not implemented"},
    CauseName{66, "channel type not implemented"},
    CauseName{69, "requested facility not implemented"},
    CauseName{70, "only restricted digital information bearer capability is available"},
    CauseName{79, "service or option not implemented, unspecified"},
    CauseName{81, "invalid call reference value"},
    CauseName{82, "identified channel does not exist"},
    CauseName{83, "a suspended call exists, but this call identity does not"},
    CauseName{84, "call identity in use"},
    CauseName{85, "no call suspended"},
    CauseName{86, "call having the requested call identity has been cleared"},
    CauseName{87, "user not member of CUG"},
    CauseName{88, "incompatible destination"},
    CauseName{90, "non-existent CUG"},
    CauseName{91, "invalid transit network selection"},
    CauseName{95, "invalid message, unspecified"},
    CauseName{96, "mandatory information element is missing"},
    CauseName{97, "message type non-existent or not implemented"},
    CauseName{98, "message not compatible with call state or message type non-existent or not "
                  "implemented"},
    CauseName{99, "information element/parameter non-existent or not implemented"},
    CauseName{100, "invalid information element contents"},
    CauseName{101, "message not compatible with call state"},
    CauseName{102, "recovery on timer expiry"},
    CauseName{103, "parameter non-existent or not implemented - passed on"},
    CauseName{110, "message with unrecognized parameter discarded"},
    CauseName{111, "protocol error, unspecified"},
    CauseName{127, "interworking, unspecified"},
};

// Q.850 2.2.7: the class is the top three bits of the seven-bit value.
constexpr std::array<std::string_view, 8> kClassNames{
    "normal event",
    "normal event",
    "resource unavailable",
    "service or option not available",
    "service or option not implemented",
    "invalid message",
    "protocol error",
    "interworking",
};

std::string lowered(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

} // namespace

std::string causeText(std::uint8_t value)
{
    for (const auto& entry : kCauseNames) {
        if (entry.value == value)
            return std::string(entry.text);
    }
    const std::uint8_t cls = (value & 0x7f) >> 4;
    return "unspecified " + std::string(kClassNames[cls]) + " (class " + std::to_string(cls) + ")";
}

std::optional<std::uint8_t> causeFromText(std::string_view text)
{
    const std::string wanted = lowered(text);
    for (const auto& entry : kCauseNames) {
        if (lowered(entry.text) == wanted)
            return entry.value;
    }
    return std::nullopt;
}

} // namespace voip::q931
