#include "serial/telnet.h"

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

void Decoder::feed(std::string_view chunk, std::string& data, std::vector<Command>& commands) {
    for (const char c : chunk) {
        const auto byte = static_cast<unsigned char>(c);
        switch (m_state) {
            case State::Data:
                if (byte == kIac) {
                    m_state = State::Iac;
                } else {
                    data += c;
                }
                break;
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
                commands.push_back(m_command);
                m_state = State::Data;
                break;
            case State::SubOption:
                m_command.option = byte;
                m_state = State::Sub;
                break;
            case State::Sub:
                if (byte == kIac) {
                    m_state = State::SubIac;
                } else {
                    m_command.payload += c;
                }
                break;
            case State::SubIac:
                if (byte == kIac) {
                    m_command.payload += c;
                    m_state = State::Sub;
                } else {
                    // IAC SE, or a malformed end that is taken as one.
                    commands.push_back(m_command);
                    m_state = State::Data;
                }
                break;
        }
    }
}

}  // namespace flashupdate::telnet
