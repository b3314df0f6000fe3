// The instrument at the far end of a FakePort, driven by the bytes as they arrive. It takes the
// boot loader at 1200 baud, then answers commands at 9600 baud. What it answers is scripted per
// test: each erase attempt and the checksum request get a list of chunks, each with its delay
// after the command arrived; an empty list is silence.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fakes/fake_port.h"

namespace flashupdate::testing {

struct Chunk {
    ByteText bytes;
    Micros delay;
};
using Answer = std::vector<Chunk>;

class ScriptedInstrument final : public Instrument {
public:
    ScriptedInstrument();

    void onByte(FakePort& port, const WireByte& byte) override;

    // Answer to the n-th "E" (the last entry serves every later one).
    std::vector<Answer> eraseAnswers;
    // Answer to "C", from the sum of the data bytes received.
    std::function<Answer(std::uint32_t sum)> checksumAnswer;

    int eraseCommands = 0;
    ByteText programData;  // data bytes of every record, in order
    std::uint32_t dataSum = 0;

    static Answer sumAnswer(std::uint32_t sum, Micros delay = ms(50));

private:
    enum class State { Command, BlockNumber, Data };
    void answer(FakePort& port, const Answer& chunks, Micros at);

    State m_state = State::Command;
    std::size_t m_dataLeft = 0;
};

}  // namespace flashupdate::testing
