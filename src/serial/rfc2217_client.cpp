#include "serial/rfc2217_client.h"

#include <vector>

#include "serial/serial_port.h"

namespace flashupdate {

using namespace telnet;

namespace {

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::uint32_t fromBigEndian(const std::string& bytes) {
    std::uint32_t value = 0;
    for (const char c : bytes) {
        value = value << 8 | static_cast<unsigned char>(c);
    }
    return value;
}

unsigned char parityCode(char parity) {
    switch (parity) {
        case 'O':
            return 2;
        case 'E':
            return 3;
        case 'M':
            return 4;
        case 'S':
            return 5;
        default:
            return 1;
    }
}

unsigned char stopCode(int stopBits) {
    return stopBits == 2 ? 2 : stopBits == 15 ? 3 : 1;
}

}  // namespace

void Rfc2217Client::open(const LineSettings& settings) {
    m_link.send(negotiation(kWill, kBinary) + negotiation(kDo, kBinary) +
                negotiation(kWill, kComPort));
    awaitAnswers([this] {
        return !m_refused.empty() ||
               (m_serverSendsBinary && m_serverTakesBinary && m_comPortAccepted);
    });
    if (!m_refused.empty()) {
        throw SerialError("the server refused " + m_refused);
    }
    if (!m_comPortAccepted) {
        throw SerialError(
            "the server did not take up the Com Port Control option (RFC 2217): "
            "is it an RFC 2217 server?");
    }
    if (!m_serverSendsBinary || !m_serverTakesBinary) {
        throw SerialError("the server did not agree to binary transmission");
    }
    setLine(settings);
}

void Rfc2217Client::setLine(const LineSettings& settings) {
    const std::map<unsigned char, std::string> asked = {
        {kSetBaudRate, bigEndian(static_cast<std::uint32_t>(settings.baudRate))},
        {kSetDataSize, std::string(1, static_cast<char>(settings.dataBits))},
        {kSetParity, std::string(1, static_cast<char>(parityCode(settings.parity)))},
        {kSetStopSize, std::string(1, static_cast<char>(stopCode(settings.stopBits)))},
    };
    std::string requests;
    for (const auto& [command, value] : asked) {
        m_answers.erase(command);
        requests += comPortRequest(command, value);
    }
    m_link.send(requests);
    awaitAnswers([&] {
        for (const auto& entry : asked) {
            if (!m_answers.contains(entry.first)) {
                return false;
            }
        }
        return true;
    });

    if (!m_answers.contains(kSetBaudRate)) {
        throw SerialError("the server did not confirm the speed of " +
                          std::to_string(settings.baudRate) + " baud");
    }
    const std::uint32_t baud = fromBigEndian(m_answers[kSetBaudRate]);
    if (baud != static_cast<std::uint32_t>(settings.baudRate)) {
        throw SerialError("the server set " + std::to_string(baud) + " baud instead of " +
                          std::to_string(settings.baudRate));
    }
    for (const auto& [command, value] : asked) {
        const auto answer = m_answers.find(command);
        if (answer == m_answers.end()) {
            m_warnings +=
                "the server did not confirm Com Port request " + std::to_string(command) + "; ";
        } else if (answer->second != value) {
            throw SerialError("the server refused the line format (request " +
                              std::to_string(command) + ")");
        }
    }
}

void Rfc2217Client::setModemLines(bool dtr, bool rts) {
    m_link.send(
        comPortRequest(kSetControl, std::string(1, static_cast<char>(kNoFlowControl))) +
        comPortRequest(kSetControl, std::string(1, static_cast<char>(dtr ? kDtrOn : kDtrOff))) +
        comPortRequest(kSetControl, std::string(1, static_cast<char>(rts ? kRtsOn : kRtsOff))));
}

void Rfc2217Client::purgeTransmit() {
    m_link.send(comPortRequest(kPurgeData, std::string(1, static_cast<char>(kPurgeTransmit))));
}

void Rfc2217Client::take(std::string_view bytes, std::string& data) {
    std::vector<Command> commands;
    m_decoder.feed(bytes, data, commands);
    for (const Command& command : commands) {
        handle(command);
    }
}

void Rfc2217Client::handle(const Command& command) {
    switch (command.verb) {
        case kDo:
            if (command.option == kComPort) {
                m_comPortAccepted = true;
            } else if (command.option == kBinary) {
                m_serverTakesBinary = true;
            } else {
                m_link.send(negotiation(kWont, command.option));
            }
            break;
        case kWill:
            if (command.option == kBinary) {
                m_serverSendsBinary = true;
            } else {
                m_link.send(negotiation(kDont, command.option));
            }
            break;
        case kDont:
            if (command.option == kComPort) {
                m_refused = "the Com Port Control option (RFC 2217)";
            } else if (command.option == kBinary) {
                m_refused = "binary transmission";
            }
            break;
        case kWont:
            if (command.option == kBinary) {
                m_refused = "binary transmission";
            }
            break;
        case kSb:
            // An answer is the request's code + 100; notifications (line and modem state) and
            // anything else carry nothing the update uses.
            if (command.option == kComPort && !command.payload.empty()) {
                const auto code = static_cast<unsigned char>(command.payload[0]);
                if (code > kServerReply) {
                    m_answers[static_cast<unsigned char>(code - kServerReply)] =
                        command.payload.substr(1);
                }
            }
            break;
        default:
            break;
    }
}

void Rfc2217Client::awaitAnswers(const std::function<bool()>& done) {
    const auto deadline = m_link.now() + kAnswerLimit;
    while (!done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - m_link.now());
        if (left.count() <= 0) {
            return;
        }
        take(m_link.receive(left), m_earlyData);
    }
}

}  // namespace flashupdate
