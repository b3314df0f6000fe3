#include "fakes/scripted_server.h"

namespace flashupdate::testing {

namespace {

constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr unsigned char BINARY = 0, COM_PORT = 44;

std::string telnetCommand(unsigned char verb, unsigned char option) {
    return {static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)};
}

// Data and subnegotiation payloads carry 0xFF doubled.
std::string doubled(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        text += static_cast<unsigned char>(c) == IAC ? std::string(2, c) : std::string(1, c);
    }
    return text;
}

}  // namespace

void ScriptedServer::connectTo(const std::string&, std::uint16_t) {
    m_loop.schedule(m_loop.now() + latency, [this] {
        if (m_aborted || listener() == nullptr) {
            return;
        }
        if (connect == Connect::Refuses) {
            listener()->ended(SerialError("Connection refused", PortErrorKind::Refused));
        } else if (connect == Connect::Answers) {
            m_open = true;
            listener()->connected();
        }
    });
}

void ScriptedServer::sendRaw(std::string bytes, Micros at) {
    m_loop.schedule(at, [this, bytes = std::move(bytes)] {
        if (m_aborted || !m_open) {
            return;
        }
        m_inbox += bytes;
        listener()->readable();
    });
}

void ScriptedServer::sendData(const std::string& bytes, Micros at) {
    sendRaw(doubled(bytes), at);
}

void ScriptedServer::reply(const std::string& bytes) {
    sendRaw(bytes, m_loop.now() + latency);
}

std::string ScriptedServer::read(std::size_t most) {
    std::string piece = m_inbox.substr(0, most);
    m_inbox.erase(0, piece.size());
    return piece;
}

void ScriptedServer::write(std::string_view bytes) {
    if (m_aborted || !m_open) {
        return;
    }
    m_outbox += bytes;
    m_loop.schedule(m_loop.now() + latency, [this] { deliver(); });
}

void ScriptedServer::deliver() {
    std::size_t taken = 0;
    while (taken < m_outbox.size() && m_open && !m_aborted &&
           (data.size() < stopReadingAfter || m_reading != Reading::Data)) {
        take(static_cast<unsigned char>(m_outbox[taken++]));
    }
    m_outbox.erase(0, taken);
}

void ScriptedServer::take(unsigned char byte) {
    switch (m_reading) {
        case Reading::Data:
            if (byte == IAC) {
                m_reading = Reading::Iac;
            } else {
                data += static_cast<char>(byte);
            }
            return;
        case Reading::Iac:
            if (byte == IAC) {
                data += static_cast<char>(byte);
                m_reading = Reading::Data;
            } else if (byte == SB) {
                m_sub.clear();
                m_reading = Reading::Sub;
            } else {
                m_verb = byte;
                m_reading = Reading::Verb;
            }
            return;
        case Reading::Verb:
            m_reading = Reading::Data;
            command(m_verb, byte);
            return;
        case Reading::Sub:
            if (byte == IAC) {
                m_reading = Reading::SubIac;
            } else {
                m_sub += static_cast<char>(byte);
            }
            return;
        case Reading::SubIac:
            if (byte == IAC) {
                m_sub += static_cast<char>(byte);
                m_reading = Reading::Sub;
            } else {
                m_reading = Reading::Data;
                subnegotiation(m_sub);
            }
            return;
    }
}

void ScriptedServer::command(unsigned char verb, unsigned char option) {
    if (resetOn == Stage::Negotiation) {
        reset();
        return;
    }
    const bool ours = option == BINARY || option == COM_PORT;
    if (!ours) {
        negotiationAnswers += telnetCommand(verb, option);
        return;
    }
    if (!answerNegotiation) {
        return;
    }
    if (verb == WILL) {
        reply(telnetCommand(agree ? DO : DONT, option));
    } else if (verb == DO && option == BINARY) {
        reply(telnetCommand(agree ? WILL : WONT, option));
    }
}

void ScriptedServer::subnegotiation(const std::string& payload) {
    if (payload.size() < 2 || static_cast<unsigned char>(payload[0]) != COM_PORT) {
        return;
    }
    const auto request = static_cast<unsigned char>(payload[1]);
    if (request < 1 || request > 4) {
        return;  // modem lines and purges: never acknowledged, as on a pseudo-terminal
    }
    ++lineRequests;
    if (resetOn == Stage::LineRequest) {
        reset();
        return;
    }
    if (!answerLine) {
        return;
    }
    const std::string head{static_cast<char>(IAC), static_cast<char>(SB),
                           static_cast<char>(COM_PORT), static_cast<char>(request + 100)};
    reply(head + doubled(payload.substr(2)) +
          std::string{static_cast<char>(IAC), static_cast<char>(SE)});
}

void ScriptedServer::reset() {
    m_open = false;
    m_outbox.clear();
    m_loop.schedule(m_loop.now() + latency, [this] {
        if (!m_aborted && listener() != nullptr) {
            listener()->ended(SerialError("Connection reset by peer", PortErrorKind::Gone));
        }
    });
}

void ScriptedServer::endSending() {
    m_loop.schedule(m_loop.now() + latency, [this] {
        deliver();
        if (!closesOnEnd) {
            return;
        }
        m_open = false;
        if (!m_aborted && listener() != nullptr) {
            listener()->ended(SerialError("the server closed the connection", PortErrorKind::Gone));
        }
    });
}

}  // namespace flashupdate::testing
