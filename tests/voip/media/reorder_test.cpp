#include "voip/media/reorder.h"

#include <gtest/gtest.h>

using namespace voip;
using namespace std::chrono_literals;

namespace {

struct Out
{
    uint8_t id;
    uint32_t lostBefore;
    bool operator==(const Out&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Out& out)
{
    return os << int(out.id) << "/" << out.lostBefore;
}

/// Feeds packets (sequence numbers) at `now`; the payload's one byte names the packet.
class Feeder
{
public:
    explicit Feeder(std::chrono::milliseconds wait = 40ms, std::size_t held = 64)
        : reorderer(wait, held)
    {}

    void feed(std::initializer_list<uint16_t> sequences)
    {
        for (const uint16_t sequence : sequences) {
            StreamFrame frame;
            frame.payload = {uint8_t(sequence)};
            reorderer.add(sequence, std::move(frame), now, ready);
        }
    }

    std::vector<Out> take()
    {
        std::vector<Out> out;
        for (auto& frame : ready)
            out.push_back({frame.payload[0], frame.lostBefore});
        ready.clear();
        return out;
    }

    PacketReorderer reorderer;
    std::deque<StreamFrame> ready;
    PacketReorderer::Clock::time_point now{};
};

TEST(PacketReorderer, PutsSwappedPacketsBackInOrderWithoutCallingThemLost)
{
    Feeder f;
    f.feed({10, 12});
    EXPECT_EQ(f.take(), (std::vector<Out>{{10, 0}}));
    ASSERT_TRUE(f.reorderer.deadline());
    EXPECT_EQ(*f.reorderer.deadline(), f.now + 40ms);
    f.feed({11, 13});
    EXPECT_EQ(f.take(), (std::vector<Out>{{11, 0}, {12, 0}, {13, 0}}));
    EXPECT_FALSE(f.reorderer.deadline());
    EXPECT_EQ(f.reorderer.latePackets(), 0u);
}

TEST(PacketReorderer, GivesUpAGapAfterItsTimeAndChargesTheLossOnce)
{
    Feeder f;
    f.feed({10, 13});
    f.now += 10ms;
    f.feed({14});
    f.reorderer.expire(f.now + 29ms, f.ready);
    EXPECT_EQ(f.take(), (std::vector<Out>{{10, 0}})) << "still waiting for 11 and 12";
    f.reorderer.expire(f.now + 30ms, f.ready);
    EXPECT_EQ(f.take(), (std::vector<Out>{{13, 2}, {14, 0}}));
    // The lost ones arriving after all are too late to be used.
    f.feed({11, 12, 14});
    EXPECT_TRUE(f.take().empty());
    EXPECT_EQ(f.reorderer.latePackets(), 3u);
    f.feed({15});
    EXPECT_EQ(f.take(), (std::vector<Out>{{15, 0}}));
}

TEST(PacketReorderer, TooManyWaitingPacketsReleaseTheGapAtOnce)
{
    Feeder f(1s, 4);
    f.feed({1, 3, 4, 5, 6});
    EXPECT_EQ(f.take(), (std::vector<Out>{{1, 0}}));
    f.feed({7});
    EXPECT_EQ(f.take(), (std::vector<Out>{{3, 1}, {4, 0}, {5, 0}, {6, 0}, {7, 0}}));
}

TEST(PacketReorderer, DuplicatesAreDroppedAndSequenceWrapsRound)
{
    Feeder f;
    f.feed({65534, 0, 65535, 65535, 0, 1});
    EXPECT_EQ(f.take(), (std::vector<Out>{{254, 0}, {255, 0}, {0, 0}, {1, 0}}));
    EXPECT_EQ(f.reorderer.latePackets(), 2u);
}

TEST(PacketReorderer, ASenderThatStartsAgainIsFollowedAtOnce)
{
    Feeder f;
    f.feed({100, 101, 103});
    f.feed({40000, 40001});
    // 103 went out as it was; the new numbering is not loss.
    EXPECT_EQ(f.take(), (std::vector<Out>{{100, 0}, {101, 0}, {103, 1}, {40000 & 0xFF, 0},
                                          {40001 & 0xFF, 0}}));
    f.feed({20}); // far behind: a restart too, not a late packet
    EXPECT_EQ(f.take(), (std::vector<Out>{{20, 0}}));
}

} // namespace
