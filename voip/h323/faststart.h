#pragma once

#include <string>
#include <vector>

#include "voip/asn/value.h"
#include "voip/h323/logicalchannels.h"

namespace voip::h323 {

/// How our fastStart answer numbers the channel we transmit on.
enum class FastStartNumbering
{
    Proposal, ///< the number of the caller's proposal (every caller finds it by that)
    Own,      ///< a number of our own, as some stacks do (to stand in for them in tests)
};

/// fastStart of one call: the caller proposes channels in its Setup (each an encoded
/// OpenLogicalChannel, one each way per audio and video format), the called side answers
/// with the ones it takes, one per session and direction, and both open them without
/// H.245.  The proposals and the channels live in the call's logical channels.
///
/// Network thread.
class FastStart
{
public:
    FastStart(LogicalChannels& channels, ChannelMedia& media, FastStartNumbering numbering);

    /// Our proposals for a Setup, encoded; they wait in the channel list for the answer.
    std::vector<std::string> offer();
    /// Keeps the proposals of a received Setup (undecodable ones are passed over).
    void remember(const asn::Value& elements);
    /// Whether the far end's proposals wait for our answer.
    bool proposed() const { return !offers_.empty(); }
    /// Our answer, encoded: the proposals taken, whose channels are open from now on.
    /// Empty when none could be taken.
    std::vector<std::string> answer();
    /// The answer to our proposals: the channels it accepts open and the other proposals
    /// go.  True when it accepted any.
    bool readAnswer(const asn::Value& elements);
    /// The far end went on without fastStart: our proposals go.
    void refused();
    /// True once we answered, or the far end answered or refused ours.
    bool answered() const { return answered_; }

private:
    /// The proposal of ours that an answer accepts, or null.
    ChannelState* findAnsweredProposal(std::uint16_t number, bool weReceive, unsigned sessionId,
                                       const h245::Capability& capability);

    LogicalChannels& channels_;
    ChannelMedia& media_;
    const FastStartNumbering numbering_;
    std::vector<asn::Value> offers_; ///< the far end's proposals, decoded
    bool answered_ = false;
};

} // namespace voip::h323
