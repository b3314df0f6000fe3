#include "serial/telnet.h"

#include "serial/serial_error.h"

namespace flashupdate::telnet {

std::string escapeData(std::string_view data) {
    std::string escaped;
    escaped.reserve(data.size() + data.size() / 64);
    for (const char c : data) {
        escaped += c;
        if (static_cast<unsigned char>(c) == kIac) {
            escaped += c;
        }
    }
    return escaped;
}

std::string negotiation(unsigned char verb, unsigned char option) {
    return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string comPortRequest(unsigned char command, std::string_view value) {
    std::string request{static_cast<char>(kIac), static_cast<char>(kSb),
                        static_cast<char>(kComPort), static_cast<char>(command)};
    request += escapeData(value);
    request += static_cast<char>(kIac);
    request += static_cast<char>(kSe);
    return request;
}

std::optional<Command> Decoder::next(std::string_view& chunk, std::string& data) {
    if (m_state == State::Broken) {
        throw SerialError("the server's stream cannot be followed after an endless subnegotiation",
                          PortErrorKind::Protocol);
    }
    while (!chunk.empty()) {
        if (m_state == State::Data) {
            // Data comes in runs; only IAC interrupts one.
            const std::size_t iac = chunk.find(static_cast<char>(kIac));
            data.append(chunk.substr(0, iac));
            if (iac == std::string_view::npos) {
                chunk = {};
                break;
            }
            chunk.remove_prefix(iac + 1);
            m_state = State::Iac;
            continue;
        }
        const char c = chunk.front();
        const auto byte = static_cast<unsigned char>(c);
        chunk.remove_prefix(1);
        switch (m_state) {
            case State::Iac:
                if (byte == kIac) {
                    data += c;
                    m_state = State::Data;
                } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont ||
                           byte == kSb) {
                    m_command = Command{byte, 0, {}};
                    m_state = byte == kSb ? State::SubOption : State::Option;
                } else {
                    // NOP, GA, a break: nothing the serial line carries.
                    m_state = State::Data;
                }
                break;
            case State::Option:
                m_command.option = byte;
                m_state = State::Data;
                return std::move(m_command);
            case State::SubOption:
                m_command.option = byte;
                m_state = State::Sub;
                break;
            case State::Sub:
            case State::SubIac:
                if (m_state == State::Sub && byte == kIac) {
                    m_state = State::SubIac;
                    break;
                }
                if (m_state == State::SubIac && byte != kIac) {
                    // IAC SE, or a malformed end that is taken as one.
                    m_state = State::Data;
                    return std::move(m_command);
                }
                if (m_command.payload.size() == m_longestPayload) {
                    m_state = State::Broken;
                    m_command = {};
                    throw SerialError("the server sent a subnegotiation longer than " +
                                          std::to_string(m_longestPayload) + " bytes",
                                      PortErrorKind::Protocol);
                }
                m_command.payload += c;
                m_state = State::Sub;
                break;
            case State::Data:
            case State::Broken:
                break;
        }
    }
    return std::nullopt;
}

}  // namespace flashupdate::telnet
