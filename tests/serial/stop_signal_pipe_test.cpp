// Stopping signals brought to the event loop: each is told there, with its number, and a second
// one, of any kind, ends the program where the front end asks for that.
#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "run_until.h"
#include "serial/qt/stop_signal_pipe.h"

namespace flashupdate {
namespace {

TEST(StopSignalPipe, EachSignalIsToldOnTheLoopAndTheFirstIsKept) {
    StopSignalPipe stops(StopSignalPipe::Second::Stops);
    std::vector<int> told;
    stops.onSignal = [&](int signal) { told.push_back(signal); };
    ASSERT_EQ(std::raise(SIGTERM), 0);
    ASSERT_EQ(std::raise(SIGHUP), 0);
    // Nothing is told from inside the handler: only the loop tells it.
    EXPECT_TRUE(told.empty());
    EXPECT_TRUE(testing::runUntil([&] { return told.size() == 2; }));
    EXPECT_EQ(told, std::vector<int>({SIGTERM, SIGHUP}));
    EXPECT_EQ(StopSignalPipe::first(), SIGTERM);
}

TEST(StopSignalPipeDeathTest, ASecondSignalEndsTheProgramWhereAskedFor) {
    EXPECT_EXIT(
        {
            StopSignalPipe stops(StopSignalPipe::Second::EndsProgram);
            std::raise(SIGINT);
            std::raise(SIGTERM);
        },
        ::testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
}  // namespace flashupdate
