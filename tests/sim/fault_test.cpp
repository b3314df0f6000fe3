#include <thread>

#include "sim_session.h"

namespace sim_test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Long enough to be sure an answer is not coming, given a 50 ms erase, on a busy machine too.
constexpr Millis kNoAnswerWait = kStragglers;

// Expects exactly `expected` (or nothing at all when it is empty) and no more.
testing::AssertionResult expect_answer(TestPort& port, const Bytes& expected) {
    if (expected.empty()) {
        return expect_silence(port, kNoAnswerWait);
    }
    auto got = expect_bytes(port, expected);
    if (!got) {
        return got;
    }
    return expect_silence(port, 200ms);
}

struct EraseCase {
    const char* name;
    std::vector<std::string> fault;  // command-line words
    Bytes first_answer;              // to the first "E" of a session
    Bytes second_answer;             // to the next one
};

void PrintTo(const EraseCase& c, std::ostream* out) {
    *out << c.name;
}

class SimEraseFault : public testing::TestWithParam<EraseCase> {};

TEST_P(SimEraseFault, AnswersEraseAsConfigured) {
    auto arguments = GetParam().fault;
    arguments.insert(arguments.end(), {"--erase-ms", "50"});
    SimulatorProcess sim(arguments);
    auto port = start_session(sim);
    ASSERT_TRUE(port);

    port->write({'E'});
    EXPECT_TRUE(expect_answer(*port, GetParam().first_answer)) << "first E";
    port->write({'E'});
    EXPECT_TRUE(expect_answer(*port, GetParam().second_answer)) << "second E";

    // The fault spoils only the answer: the session carries on.
    port->write(program_record(0x40, 0xFF));
    port->write({'C'});
    EXPECT_TRUE(expect_bytes(*port, big_endian(kSumAllFF)));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimEraseFault,
    // The plain answers are the session tests'; ignoring the first "E", SimEraseFaultSecond's.
    testing::Values(EraseCase{"silent", {"--fault", "erase-silent"}, {}, {}},
                    EraseCase{"wrong", {"--fault", "erase-wrong"}, {0x3F}, {0x3F}},
                    EraseCase{"lower", {"--fault", "erase-lower"}, {'e'}, {'e'}}),
    [](const auto& info) { return info.param.name; });

// Given as "--fault=erase-second", the option's other spelling.
TEST(SimEraseFaultSecond, IgnoresTheFirstEraseOfEverySession) {
    SimulatorProcess sim({"--fault=erase-second", "--erase-ms", "50"});
    for (int session = 1; session <= 2; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        auto port = start_session(sim);
        ASSERT_TRUE(port);
        port->write({'E'});
        EXPECT_TRUE(expect_answer(*port, {}));
        port->write({'E'});
        EXPECT_TRUE(expect_answer(*port, {'E'}));
        port->write({'E'});
        EXPECT_TRUE(expect_answer(*port, {'E'}));
        port->write({'X'});
        ASSERT_TRUE(sim.waitForEvent("session end"));
    }
}

struct ChecksumCase {
    const char* name;
    std::vector<std::string> fault;
    Bytes answer;       // straight after "C"; empty: nothing at all
    Bytes late_answer;  // what follows after a pause, if anything
};

void PrintTo(const ChecksumCase& c, std::ostream* out) {
    *out << c.name;
}

class SimChecksumFault : public testing::TestWithParam<ChecksumCase> {};

TEST_P(SimChecksumFault, AnswersChecksumAsConfigured) {
    auto arguments = GetParam().fault;
    arguments.insert(arguments.end(), {"--erase-ms", "50"});
    SimulatorProcess sim(arguments);
    auto port = start_session(sim);
    ASSERT_TRUE(port);
    port->write({'E'});
    ASSERT_TRUE(expect_bytes(*port, {'E'}));
    // Sum 0x003FC000.
    port->write(program_record(0x40, 0xFF));
    // Asked once the record is in, so the time to the answer holds none spent on the record.
    ASSERT_TRUE(sim.waitForEvent("record 0x40"));
    const auto asked = Clock::now();
    port->write({'C'});

    const auto& late = GetParam().late_answer;
    if (late.empty()) {
        EXPECT_TRUE(expect_answer(*port, GetParam().answer));
    } else {
        ASSERT_TRUE(expect_bytes(*port, GetParam().answer));
        EXPECT_TRUE(expect_answer(*port, late));
        // The rest is held back for a good while, not merely written separately. Timed from the
        // question, which the simulator cannot have read before it was sent: timed from the first
        // part, a late look at that part would eat into the pause.
        EXPECT_GE(Clock::now() - asked, 400ms);
    }
    EXPECT_TRUE(sim.waitForEvent("checksum 003FC000"));

    port->write({'X'});
    EXPECT_TRUE(sim.waitForEvent("session end"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimChecksumFault,
    testing::Values(
        ChecksumCase{"bad", {"--fault", "bad-checksum"}, {0x00, 0x3F, 0xC0, 0x01}, {}},
        ChecksumCase{"badOnce", {"--fault", "bad-checksum-once"}, {0x00, 0x3F, 0xC0, 0x01}, {}},
        ChecksumCase{"short", {"--fault", "checksum-short"}, {0x00, 0x3F, 0xC0}, {}},
        ChecksumCase{"split", {"--fault", "checksum-split"}, {0x00, 0x3F}, {0xC0, 0x00}},
        ChecksumCase{"high", {"--fault", "checksum-high"}, {0x80, 0x00, 0x00, 0x00}, {}},
        ChecksumCase{
            "long", {"--fault", "checksum-long"}, {0x00, 0x3F, 0xC0, 0x00, 0x00, 0x00}, {}},
        ChecksumCase{"silent", {"--fault", "checksum-silent"}, {}, {}}),
    [](const auto& info) { return info.param.name; });

TEST(SimFaults, EraseAndChecksumFaultsCombine) {
    SimulatorProcess sim({"--fault", "erase-lower", "--fault", "bad-checksum", "--erase-ms", "50"});
    auto port = start_session(sim);
    ASSERT_TRUE(port);
    port->write({'E'});
    EXPECT_TRUE(expect_answer(*port, {'e'}));
    port->write({'C'});
    EXPECT_TRUE(expect_answer(*port, {0x00, 0x00, 0x00, 0x01}));
}

}  // namespace
}  // namespace sim_test
