// Which updates run at once, with the open-file limit given rather than the process's own, and
// which run again.
#include <gtest/gtest.h>

#include <vector>

#include "cli/admission.h"
#include "cli/running.h"

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

TEST(Retries, OnlyEndingsThatLeaveTheInstrumentReadyForANewSessionRunAgain) {
    using Cause = UpdateResult::Cause;
    struct Case {
        const char* name;
        Cause cause;
        std::uint64_t bytesSent;
        bool recordOpen;
        bool sessionOpen;
        bool again;
    };
    for (const Case& c : std::vector<Case>{
             {"bad checksum", Cause::BadChecksum, 16384, false, false, true},
             {"no answer to the erase", Cause::NoAnswer, 0, false, false, true},
             {"no answer to the checksum request", Cause::NoAnswer, 16384, false, true, false},
             {"port busy or missing", Cause::Port, 0, false, false, true},
             {"line lost in a record", Cause::Port, 4096, true, false, false},
             {"line lost between records", Cause::Port, 16384, false, false, false},
             {"file", Cause::File, 0, false, false, false},
             {"stopped", Cause::Stopped, 0, false, false, false},
             {"updated", Cause::None, 16384, false, false, false}}) {
        SCOPED_TRACE(c.name);
        UpdateResult result;
        result.cause = c.cause;
        result.bytesSent = c.bytesSent;
        result.recordOpen = c.recordOpen;
        result.sessionOpen = c.sessionOpen;
        EXPECT_EQ(anotherAttemptMayCure(result), c.again);
    }
    UpdateResult halfLoaded;
    halfLoaded.cause = Cause::Port;
    halfLoaded.loaderIncomplete = true;
    EXPECT_FALSE(anotherAttemptMayCure(halfLoaded));
}

}  // namespace
}  // namespace flashupdate::cli::testing
