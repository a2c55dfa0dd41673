#include "voip/core/endreason.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace voip {
namespace {

TEST(EndReason, NumbersAreTheApplicationsOnes)
{
    EXPECT_EQ(toNumber(EndReason::LocalUser), 0);
    EXPECT_EQ(toNumber(EndReason::NoAccept), 1);
    EXPECT_EQ(toNumber(EndReason::AnswerDenied), 2);
    EXPECT_EQ(toNumber(EndReason::RemoteUser), 3);
    EXPECT_EQ(toNumber(EndReason::Refusal), 4);
    EXPECT_EQ(toNumber(EndReason::ConnectFail), 8);
    EXPECT_EQ(toNumber(EndReason::RemoteBusy), 17);
    EXPECT_EQ(toNumber(EndReason::HostOffline), 21);
    EXPECT_EQ(toNumber(EndReason::TemporaryFailure), 22);
    EXPECT_EQ(toNumber(EndReason::Q931Cause), 23);
    EXPECT_EQ(toNumber(EndReason::IllegalAddress), 34);
    EXPECT_EQ(toNumber(EndReason::MediaTransportFail), 35);
    EXPECT_EQ(toNumber(EndReason::NameNotFound), 36);
    EXPECT_EQ(EndReasonCount, 37);
}

TEST(EndReason, EveryNumberHasItsOwnTextAndComesBack)
{
    std::set<std::string_view> texts;
    for (int number = 0; number < EndReasonCount; ++number) {
        auto reason = endReasonFromNumber(number);
        ASSERT_TRUE(reason) << number;
        EXPECT_EQ(toNumber(*reason), number);
        auto text = endReasonText(*reason);
        EXPECT_FALSE(text.empty());
        EXPECT_NE(text, "Unknown");
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(EndReasonCount));
    EXPECT_FALSE(endReasonFromNumber(-1));
    EXPECT_FALSE(endReasonFromNumber(EndReasonCount));
    EXPECT_EQ(endReasonText(EndReason::TemporaryFailure), "Temporary failure");
    EXPECT_EQ(endReasonText(static_cast<EndReason>(999)), "Unknown");
}

TEST(EndReason, Q931CausesMeanWhatTheCallerExpects)
{
    EXPECT_EQ(endReasonFromQ931Cause(16), EndReason::RemoteUser);
    EXPECT_EQ(endReasonFromQ931Cause(17), EndReason::RemoteBusy);
    EXPECT_EQ(endReasonFromQ931Cause(18), EndReason::NoAnswer);
    EXPECT_EQ(endReasonFromQ931Cause(19), EndReason::NoAnswer);
    EXPECT_EQ(endReasonFromQ931Cause(21), EndReason::Refusal);
    EXPECT_EQ(endReasonFromQ931Cause(41), EndReason::TemporaryFailure);
    EXPECT_EQ(endReasonFromQ931Cause(47), EndReason::TemporaryFailure);
    EXPECT_EQ(endReasonFromQ931Cause(34), EndReason::RemoteCongestion);
    EXPECT_EQ(endReasonFromQ931Cause(42), EndReason::RemoteCongestion);
    EXPECT_EQ(endReasonFromQ931Cause(44), EndReason::RemoteCongestion);
    EXPECT_EQ(endReasonFromQ931Cause(3), EndReason::Unreachable);
    EXPECT_EQ(endReasonFromQ931Cause(2), EndReason::NoEndPoint);
    EXPECT_EQ(endReasonFromQ931Cause(27), EndReason::HostOffline);
    EXPECT_EQ(endReasonFromQ931Cause(38), EndReason::Unreachable);
    EXPECT_EQ(endReasonFromQ931Cause(1), EndReason::NoUser);
    EXPECT_EQ(endReasonFromQ931Cause(28), EndReason::IllegalAddress);
    EXPECT_EQ(endReasonFromQ931Cause(26), EndReason::CallCompletedElsewhere);
    // Causes without a closer meaning keep the cause itself.
    EXPECT_EQ(endReasonFromQ931Cause(31), EndReason::Q931Cause);
    EXPECT_EQ(endReasonFromQ931Cause(0), EndReason::Q931Cause);
    EXPECT_EQ(endReasonFromQ931Cause(200), EndReason::Q931Cause);
}

TEST(EndReason, WhatOneSideSendsTheOtherReadsAsItsMirror)
{
    struct Pair
    {
        EndReason sent;
        unsigned cause;
        EndReason seen;
    };
    const Pair pairs[] = {
        {EndReason::LocalUser, 16, EndReason::RemoteUser},
        {EndReason::AnswerDenied, 21, EndReason::Refusal},
        {EndReason::NoAccept, 21, EndReason::Refusal},
        {EndReason::LocalBusy, 17, EndReason::RemoteBusy},
        {EndReason::LocalCongestion, 34, EndReason::RemoteCongestion},
        {EndReason::TemporaryFailure, 41, EndReason::TemporaryFailure},
        {EndReason::NoUser, 1, EndReason::NoUser},
        {EndReason::IllegalAddress, 28, EndReason::IllegalAddress},
        {EndReason::NoAnswer, 19, EndReason::NoAnswer},
    };
    for (const auto& pair : pairs) {
        EXPECT_EQ(q931CauseFromEndReason(pair.sent), pair.cause) << endReasonText(pair.sent);
        EXPECT_EQ(endReasonFromQ931Cause(q931CauseFromEndReason(pair.sent)), pair.seen)
            << endReasonText(pair.sent);
    }
}

TEST(EndReason, EveryReasonMapsToAValidCauseAndStableRoundTrip)
{
    for (int number = 0; number < EndReasonCount; ++number) {
        const auto reason = *endReasonFromNumber(number);
        const unsigned cause = q931CauseFromEndReason(reason);
        EXPECT_GE(cause, 1u) << number;
        EXPECT_LE(cause, 127u) << number;
        // Reason -> cause -> reason -> cause is stable.
        EXPECT_EQ(q931CauseFromEndReason(endReasonFromQ931Cause(cause)), cause) << number;
    }
    // Every cause with a meaning survives cause -> reason -> cause.
    for (unsigned cause : {1u, 3u, 16u, 17u, 19u, 21u, 26u, 27u, 28u, 34u, 41u}) {
        EXPECT_EQ(q931CauseFromEndReason(endReasonFromQ931Cause(cause)), cause) << cause;
    }
    // A cause without a meaning travels with Q931Cause; bad kept causes are corrected.
    EXPECT_EQ(q931CauseFromEndReason(EndReason::Q931Cause, 31), 31u);
    EXPECT_EQ(q931CauseFromEndReason(EndReason::Q931Cause, 0), 16u);
    EXPECT_EQ(q931CauseFromEndReason(EndReason::Q931Cause, 300), 16u);
}

TEST(EndReason, ReleaseCompleteReasonsBothWays)
{
    EXPECT_EQ(endReasonFromReleaseCompleteReason("inConf"), EndReason::RemoteBusy);
    EXPECT_EQ(endReasonFromReleaseCompleteReason("destinationRejection"), EndReason::Refusal);
    EXPECT_EQ(endReasonFromReleaseCompleteReason("unreachableDestination"), EndReason::Unreachable);
    EXPECT_EQ(endReasonFromReleaseCompleteReason("noBandwidth"), EndReason::NoBandwidth);
    EXPECT_EQ(endReasonFromReleaseCompleteReason("badFormatAddress"), EndReason::IllegalAddress);
    EXPECT_EQ(endReasonFromReleaseCompleteReason("calledPartyNotRegistered"), EndReason::NoUser);
    EXPECT_EQ(endReasonFromReleaseCompleteReason("undefinedReason"), EndReason::RemoteUser);
    EXPECT_EQ(endReasonFromReleaseCompleteReason("securityDenied"), EndReason::SecurityDenial);
    EXPECT_EQ(endReasonFromReleaseCompleteReason("invalidCID"), EndReason::InvalidConferenceID);
    EXPECT_FALSE(endReasonFromReleaseCompleteReason("noSuchReason"));
    EXPECT_FALSE(endReasonFromReleaseCompleteReason(""));

    EXPECT_EQ(releaseCompleteReasonFromEndReason(EndReason::AnswerDenied), "destinationRejection");
    EXPECT_EQ(releaseCompleteReasonFromEndReason(EndReason::LocalBusy), "inConf");
    EXPECT_EQ(releaseCompleteReasonFromEndReason(EndReason::LocalUser), "undefinedReason");
    // Every reason sends a name the receiving side understands, and the mirror pairs
    // read back as the far side's view.
    for (int number = 0; number < EndReasonCount; ++number) {
        const auto reason = *endReasonFromNumber(number);
        const auto name = releaseCompleteReasonFromEndReason(reason);
        EXPECT_TRUE(endReasonFromReleaseCompleteReason(name)) << name;
    }
    EXPECT_EQ(*endReasonFromReleaseCompleteReason(
                  releaseCompleteReasonFromEndReason(EndReason::LocalBusy)),
              EndReason::RemoteBusy);
    EXPECT_EQ(*endReasonFromReleaseCompleteReason(
                  releaseCompleteReasonFromEndReason(EndReason::AnswerDenied)),
              EndReason::Refusal);
    EXPECT_EQ(*endReasonFromReleaseCompleteReason(
                  releaseCompleteReasonFromEndReason(EndReason::LocalUser)),
              EndReason::RemoteUser);
}

} // namespace
} // namespace voip
