#include "serial/rfc2217_client.h"

#include <cstdint>

#include "serial/serial_error.h"

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

std::string oneByte(unsigned char value) {
    return std::string(1, static_cast<char>(value));
}

[[noreturn]] void fail(const std::string& text) {
    throw SerialError(text, PortErrorKind::Protocol);
}

}  // namespace

bool Rfc2217Client::wanted(unsigned char option, bool ours) {
    return option == kBinary || (ours && option == kComPort);
}

void Rfc2217Client::startOpening() {
    const auto ask = [this](Side& side, unsigned char verb, unsigned char option) {
        // The server may have asked first; its request is then already agreed to.
        if (side == Side::No) {
            side = Side::WantYes;
            send(negotiation(verb, option));
        }
    };
    ask(m_us[kBinary], kWill, kBinary);
    ask(m_him[kBinary], kDo, kBinary);
    ask(m_us[kComPort], kWill, kComPort);
}

Rfc2217Client::Agreement Rfc2217Client::agreement() const {
    const Side needed[] = {m_us[kBinary], m_him[kBinary], m_us[kComPort]};
    bool agreed = true;
    for (const Side side : needed) {
        if (side == Side::Refused) {
            return Agreement::Refused;
        }
        agreed = agreed && side == Side::Yes;
    }
    return agreed ? Agreement::Agreed : Agreement::Pending;
}

void Rfc2217Client::throwOpeningFailure() const {
    if (m_us[kComPort] == Side::Refused) {
        fail("the server refused the Com Port Control option (RFC 2217)");
    }
    if (m_us[kBinary] == Side::Refused || m_him[kBinary] == Side::Refused) {
        fail("the server refused binary transmission");
    }
    if (m_us[kComPort] != Side::Yes) {
        fail(
            "the server did not take up the Com Port Control option (RFC 2217): "
            "is it an RFC 2217 server?");
    }
    if (m_us[kBinary] != Side::Yes || m_him[kBinary] != Side::Yes) {
        fail("the server did not agree to binary transmission");
    }
}

void Rfc2217Client::requestLine(const LineSettings& settings) {
    m_askedBaudRate = settings.baudRate;
    m_asked = {bigEndian(static_cast<std::uint32_t>(settings.baudRate)),
               oneByte(static_cast<unsigned char>(settings.dataBits)),
               oneByte(parityCode(settings.parity)), oneByte(stopCode(settings.stopBits))};
    static_assert(kSetBaudRate == 1 && kSetStopSize == kLineRequests);
    for (std::size_t i = 0; i < kLineRequests; ++i) {
        m_answers[i].reset();
        send(comPortRequest(static_cast<unsigned char>(kSetBaudRate + i), m_asked[i]));
    }
}

bool Rfc2217Client::lineAnswered() const {
    for (const auto& answer : m_answers) {
        if (!answer) {
            return false;
        }
    }
    return true;
}

void Rfc2217Client::checkLine() {
    if (!m_answers[0]) {
        fail("the server did not confirm the speed of " + std::to_string(m_askedBaudRate) +
             " baud");
    }
    const std::uint32_t baud = fromBigEndian(*m_answers[0]);
    if (baud != static_cast<std::uint32_t>(m_askedBaudRate)) {
        fail("the server set " + std::to_string(baud) + " baud instead of " +
             std::to_string(m_askedBaudRate));
    }
    for (std::size_t i = 1; i < kLineRequests; ++i) {
        const std::string command = std::to_string(kSetBaudRate + i);
        if (!m_answers[i]) {
            m_warnings += "the server did not confirm Com Port request " + command + "; ";
        } else if (*m_answers[i] != m_asked[i]) {
            fail("the server refused the line format (request " + command + ")");
        }
    }
}

void Rfc2217Client::setModemLines(bool dtr, bool rts) {
    send(comPortRequest(kSetControl, oneByte(kNoFlowControl)) +
         comPortRequest(kSetControl, oneByte(dtr ? kDtrOn : kDtrOff)) +
         comPortRequest(kSetControl, oneByte(rts ? kRtsOn : kRtsOff)));
}

void Rfc2217Client::purgeTransmit() {
    send(comPortRequest(kPurgeData, oneByte(kPurgeTransmit)));
}

void Rfc2217Client::feed(std::string_view bytes, std::string& data) {
    while (const std::optional<Command> command = m_decoder.next(bytes, data)) {
        handle(*command);
    }
}

void Rfc2217Client::handle(const Command& command) {
    switch (command.verb) {
        case kDo:
            enableRequested(m_us[command.option], command.option, true);
            break;
        case kWill:
            enableRequested(m_him[command.option], command.option, false);
            break;
        case kDont:
            disableRequested(m_us[command.option], command.option, true);
            break;
        case kWont:
            disableRequested(m_him[command.option], command.option, false);
            break;
        case kSb:
            // An answer is the request's code + 100; notifications (line and modem state) and
            // answers to requests nobody waits for carry nothing the update uses.
            if (command.option == kComPort && !command.payload.empty()) {
                const auto code = static_cast<unsigned char>(command.payload[0]);
                if (code > kServerReply && code <= kServerReply + kLineRequests) {
                    m_answers[code - kServerReply - 1] = command.payload.substr(1);
                }
            }
            break;
        default:
            break;
    }
}

void Rfc2217Client::enableRequested(Side& side, unsigned char option, bool ours) {
    switch (side) {
        case Side::No:
            side = wanted(option, ours) ? Side::Yes : Side::Refused;
            send(negotiation(side == Side::Yes ? (ours ? kWill : kDo) : (ours ? kWont : kDont),
                             option));
            break;
        case Side::WantYes:
            // The agreement to our own request: answering it would start a loop.
            side = Side::Yes;
            break;
        case Side::Yes:
        case Side::Refused:
            break;
    }
}

void Rfc2217Client::disableRequested(Side& side, unsigned char option, bool ours) {
    switch (side) {
        case Side::WantYes:
            side = Side::Refused;
            break;
        case Side::Yes:
            // A disable must be acknowledged; losing binary transmission or the option shows in
            // agreement(), whenever the caller looks.
            side = Side::Refused;
            send(negotiation(ours ? kWont : kDont, option));
            break;
        case Side::No:
        case Side::Refused:
            break;
    }
}

}  // namespace flashupdate
