#include "fakes/fake_port.h"

#include <algorithm>
#include <utility>

namespace flashupdate::testing {

void FakePort::record(const std::string& call, const std::string& operation) {
    m_calls.push_back(call);
    const int count = ++m_callCounts[operation];
    const auto failure = m_failures.find(operation);
    if (failure != m_failures.end() && failure->second == count) {
        throw SerialError("injected failure of " + operation);
    }
}

void FakePort::failOn(const std::string& operation, int nthCall) {
    m_failures[operation] = m_callCounts[operation] + nthCall;
}

void FakePort::requireOpen(const char* operation) const {
    if (!m_open) {
        throw SerialError(std::string(operation) + ": port is not open");
    }
}

Micros FakePort::byteTime() const {
    return static_cast<Micros>(m_settings.secondsPerByte() * 1e6 + 0.5);
}

void FakePort::settleLine() {
    while (!m_pending.empty() && m_pending.front() <= m_loop.now()) {
        m_pending.pop_front();
    }
}

void FakePort::setSettings(const std::string& settings) {
    record("Settings=" + settings, "Settings");
    m_settings = LineSettings::parse(settings);
}

void FakePort::setCommPort(int port) {
    record("CommPort=" + std::to_string(port), "CommPort");
    if (port < 1 || port > 4) {
        throw SerialError("no such port");
    }
    m_commPort = port;
}

void FakePort::setPortOpen(bool open) {
    record(std::string("PortOpen=") + (open ? "1" : "0"), open ? "Open" : "Close");
    if (open) {
        if (m_open) {
            throw SerialError("port already open");
        }
        m_open = true;
        ++m_openings;
        return;
    }
    // Closing lets what was written leave the line first, for at most 2 s.
    settleLine();
    if (!m_pending.empty()) {
        m_loop.advance(std::min<Micros>(m_pending.back() - m_loop.now(), 2'000'000));
    }
    settleLine();
    m_pending.clear();
    m_received.clear();
    m_open = false;
}

void FakePort::setInputLen(int length) {
    record("InputLen=" + std::to_string(length), "InputLen");
}

void FakePort::setRThreshold(int threshold) {
    record("RThreshold=" + std::to_string(threshold), "RThreshold");
}

void FakePort::setSThreshold(int threshold) {
    record("SThreshold=" + std::to_string(threshold), "SThreshold");
}

void FakePort::setRTSEnable(bool enable) {
    record(std::string("RTSEnable=") + (enable ? "1" : "0"), "RTSEnable");
}

void FakePort::setInBufferCount(int count) {
    record("InBufferCount=" + std::to_string(count), "InBufferCount");
    m_received.clear();
}

void FakePort::setOutBufferCount(int count) {
    record("OutBufferCount=" + std::to_string(count), "OutBufferCount");
    // Bytes already on their way stay; the rest never reach the line.
    settleLine();
    while (m_pending.size() > 1) {
        m_pending.pop_back();
        m_wire.pop_back();
    }
    m_lineFreeAt = m_pending.empty() ? m_loop.now() : m_pending.back();
}

int FakePort::outBufferCount() {
    record("OutBufferCount?", "OutBufferCount?");
    requireOpen("OutBufferCount");
    settleLine();
    return static_cast<int>(m_pending.size());
}

void FakePort::output(const ByteText& data) {
    record(data.size() == 1 ? "Output:" + data : "Output[" + std::to_string(data.size()) + "]",
           "Output");
    requireOpen("Output");
    for (const char c : data) {
        settleLine();
        // Holds, without handling events, until the line has made room.
        if (static_cast<int>(m_pending.size()) >= kTransmitLimit) {
            m_loop.advance(m_pending[m_pending.size() - kTransmitLimit] - m_loop.now());
            settleLine();
        }
        const Micros leaves = std::max(m_lineFreeAt, m_loop.now()) + byteTime();
        m_lineFreeAt = leaves;
        m_pending.push_back(leaves);
        const WireByte byte{leaves, m_settings.baudRate, static_cast<unsigned char>(c), m_commPort};
        m_wire.push_back(byte);
        if (m_instrument != nullptr) {
            m_instrument->onByte(*this, byte);
        }
    }
}

ByteText FakePort::input() {
    record("Input", "Input");
    return std::exchange(m_received, {});
}

void FakePort::reply(const ByteText& chunk, Micros at) {
    m_loop.schedule(at, [this, chunk] {
        // Nothing is received on a closed port.
        if (!m_open) {
            return;
        }
        m_received += chunk;
        raiseEvent(comEvReceive);
    });
}

void FakePort::raiseEvent(int code) {
    m_commEvent = code;
    raiseOnComm();
}

ByteText FakePort::wireText() const {
    ByteText text;
    for (const auto& byte : m_wire) {
        text += static_cast<char>(byte.value);
    }
    return text;
}

}  // namespace flashupdate::testing
