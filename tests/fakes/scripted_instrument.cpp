#include "fakes/scripted_instrument.h"

namespace flashupdate::testing {

namespace {
constexpr std::size_t kRecordBytes = 16384;
}

ScriptedInstrument::ScriptedInstrument()
    : eraseAnswers{{{"E", ms(300)}}},
      checksumAnswer([](std::uint32_t sum) { return sumAnswer(sum); }) {}

Answer ScriptedInstrument::sumAnswer(std::uint32_t sum, Micros delay) {
    ByteText bytes;
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes += static_cast<char>((sum >> shift) & 0xFF);
    }
    return {{bytes, delay}};
}

void ScriptedInstrument::answer(FakePort& port, const Answer& chunks, Micros at) {
    for (const auto& chunk : chunks) {
        port.reply(chunk.bytes, at + chunk.delay);
    }
}

void ScriptedInstrument::onByte(FakePort& port, const WireByte& byte) {
    if (byte.baud == 1200) {
        return;
    }
    switch (m_state) {
        case State::BlockNumber:
            m_dataLeft = kRecordBytes;
            m_state = State::Data;
            return;
        case State::Data:
            programData += static_cast<char>(byte.value);
            dataSum += byte.value;
            if (--m_dataLeft == 0) {
                m_state = State::Command;
            }
            return;
        case State::Command:
            break;
    }
    switch (byte.value) {
        case 'E': {
            const auto index = static_cast<std::size_t>(eraseCommands++);
            answer(port, eraseAnswers.at(std::min(index, eraseAnswers.size() - 1)), byte.at);
            break;
        }
        case 'P':
            m_state = State::BlockNumber;
            break;
        case 'C':
            answer(port, checksumAnswer(dataSum), byte.at);
            break;
        default:
            break;
    }
}

}  // namespace flashupdate::testing
