// Which updates run at once, with the open-file limit given rather than the process's own.
#include <gtest/gtest.h>

#include <vector>

#include "cli/admission.h"

namespace flashupdate::cli::testing {
namespace {

TEST(Admission, TheLimitDecidesHowManyRunAtOnceAndJobsOnlyLowersIt) {
    struct Case {
        std::size_t limit;
        std::optional<std::size_t> jobs;
        std::size_t atOnce;
    };
    for (const Case& c : std::vector<Case>{
             {1024, {}, 494},
             {256, {}, 110},
             // A fleet of network ports at this machine's hard limit: nearly all at once.
             {20000, {}, 9982},
             {1024, 4, 4},
             {256, 1000, 110},
             {1024, 0, 1},
             // Too few for even one: one at a time, and the
             // descriptors free decide whether it may start.
             {16, {}, 1}}) {
        SCOPED_TRACE(::testing::Message() << c.limit << " jobs " << c.jobs.value_or(0));
        EXPECT_EQ(updatesAtOnce(c.limit, c.jobs), c.atOnce);
    }
    EXPECT_TRUE(roomForAnother(256, 256 - kDescriptorsPerUpdate - kDescriptorsKept / 2));
    EXPECT_FALSE(roomForAnother(256, 256 - kDescriptorsPerUpdate - kDescriptorsKept / 2 + 1));
}

TEST(Admission, PortsStartInTheOrderGivenAsOthersEndAndThoseThatWaitedAreCounted) {
    Admission admission(5, 2);
    std::vector<std::size_t> order;
    const auto startAll = [&] {
        while (const auto port = admission.next()) {
            order.push_back(*port);
            admission.started();
        }
    };
    startAll();
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(admission.running(), 2u);
    admission.ended();
    startAll();
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2}));
    // Too few descriptors free for the next one: it waits for another to end.
    admission.ended();
    ASSERT_EQ(admission.next(), 3u);
    admission.hold();
    admission.ended();
    startAll();
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(admission.waited(), 3u);
    EXPECT_EQ(admission.remaining(), std::nullopt);
}

TEST(Admission, AfterAStopNoPortStartsAndTheRestAreLeft) {
    Admission admission(4, 1);
    ASSERT_EQ(admission.next(), 0u);
    admission.started();
    admission.close();
    admission.ended();
    EXPECT_EQ(admission.next(), std::nullopt);
    EXPECT_EQ(admission.remaining(), 1u);
}

}  // namespace
}  // namespace flashupdate::cli::testing
