// The simulator's faults, as the bytes it answers "E" and "C" with. What the tool makes of each
// answer is judged once, on virtual time, by the update's own tests; here only that the simulator
// sends it, session after session.
#include "sim_session.h"

namespace sim_test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Expects exactly `expected` (or nothing at all when it is empty) and no more.
testing::AssertionResult expect_answer(TestPort& port, const Bytes& expected) {
    if (expected.empty()) {
        // Long enough to be sure an answer is not coming, given a 50 ms erase, on a busy machine
        // too.
        return expect_silence(port, kStragglers);
    }
    auto got = expect_bytes(port, expected);
    if (!got) {
        return got;
    }
    return expect_silence(port, 200ms);
}

// A record of 0xFF sums to 00 3F C0 00.
const Bytes kSum = big_endian(kSumAllFF);
const Bytes kSumPlusOne = big_endian(kSumAllFF + 1);

// One erase fault and one checksum fault may be combined, so most rows play one of each.
struct Faults {
    const char* name;
    std::vector<std::string> arguments;
    Bytes erase[2];     // to the first "E" of each session, and to the next; empty: nothing
    Bytes checksum[2];  // to the first session's "C", and to the second's; empty: nothing
    Bytes tail = {};    // what follows each answer to "C" after a pause
};

void PrintTo(const Faults& faults, std::ostream* out) {
    *out << faults.name;
}

class SimFaults : public testing::TestWithParam<Faults> {};

TEST_P(SimFaults, SpoilOnlyTheAnswersAndEverySessionAlike) {
    const Faults& faults = GetParam();
    auto arguments = faults.arguments;
    arguments.insert(arguments.end(), {"--erase-ms", "50"});
    SimulatorProcess sim(arguments);
    for (std::size_t session = 0; session < 2; ++session) {
        SCOPED_TRACE("session " + std::to_string(session + 1));
        auto port = start_session(sim);
        ASSERT_TRUE(port);
        for (const Bytes& answer : faults.erase) {
            port->write({'E'});
            EXPECT_TRUE(expect_answer(*port, answer));
        }
        port->write(program_record(0x40, 0xFF));
        // Asked once the record is in, so the time to the answer holds none spent on the record.
        ASSERT_TRUE(sim.waitForEvent("record 0x40"));
        const auto asked = Clock::now();
        port->write({'C'});
        if (faults.tail.empty()) {
            EXPECT_TRUE(expect_answer(*port, faults.checksum[session]));
        } else {
            ASSERT_TRUE(expect_bytes(*port, faults.checksum[session]));
            EXPECT_TRUE(expect_answer(*port, faults.tail));
            // The rest is held back for a good while, not merely written separately. Timed from
            // the question, which the simulator cannot have read before it was sent: timed from
            // the first part, a late look at that part would eat into the pause.
            EXPECT_GE(Clock::now() - asked, 400ms);
        }
        // Summed afresh in each session, whatever the answer says.
        EXPECT_TRUE(sim.waitForEvent("checksum 003FC000"));
        port->write({'X'});
        ASSERT_TRUE(sim.waitForEvent("session end"));
        // Without --once the instrument waits for the tool's next run.
        EXPECT_TRUE(sim.running());
    }
    EXPECT_FALSE(sim.sawEventStarting("warning"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimFaults,
    testing::Values(Faults{"eraseSilentBadChecksum",
                           {"--fault", "erase-silent", "--fault", "bad-checksum"},
                           {{}, {}},
                           {kSumPlusOne, kSumPlusOne}},
                    Faults{"eraseWrongChecksumHigh",
                           {"--fault", "erase-wrong", "--fault", "checksum-high"},
                           {{0x3F}, {0x3F}},
                           {{0x80, 0x00, 0x00, 0x00}, {0x80, 0x00, 0x00, 0x00}}},
                    Faults{"eraseLowerChecksumSilent",
                           {"--fault", "erase-lower", "--fault", "checksum-silent"},
                           {{'e'}, {'e'}},
                           {{}, {}}},
                    // Given as "--fault=erase-second", the option's other spelling.
                    Faults{"eraseSecondChecksumSplit",
                           {"--fault=erase-second", "--fault", "checksum-split"},
                           {{}, {'E'}},
                           {{0x00, 0x3F}, {0x00, 0x3F}},
                           {0xC0, 0x00}},
                    Faults{"badChecksumOnce",
                           {"--fault", "bad-checksum-once"},
                           {{'E'}, {'E'}},
                           {kSumPlusOne, kSum}},
                    Faults{"checksumShort",
                           {"--fault", "checksum-short"},
                           {{'E'}, {'E'}},
                           {{0x00, 0x3F, 0xC0}, {0x00, 0x3F, 0xC0}}},
                    Faults{"checksumLong",
                           {"--fault", "checksum-long"},
                           {{'E'}, {'E'}},
                           {{0x00, 0x3F, 0xC0, 0x00, 0x00, 0x00},
                            {0x00, 0x3F, 0xC0, 0x00, 0x00, 0x00}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace sim_test
