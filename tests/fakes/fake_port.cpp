#include "fakes/fake_port.h"

#include <algorithm>
#include <utility>

namespace flashupdate::testing {

class FakePort::Device final : public TransmitDevice {
public:
    explicit Device(FakePort& port) : m_port(port) {}

    Nanos now() override { return std::chrono::microseconds(m_port.m_loop.now()); }

    std::size_t handOver(std::string_view bytes) override {
        m_port.settleLine();
        const std::size_t room = m_port.m_deviceCapacity - m_port.m_pending.size();
        const std::size_t taken = std::min(room, bytes.size());
        for (const char c : bytes.substr(0, taken)) {
            m_port.carry(static_cast<unsigned char>(c));
        }
        return taken;
    }

    std::size_t queued() override {
        m_port.settleLine();
        return m_port.m_countsQueue ? m_port.m_pending.size() : 0;
    }

    void waitForRoom(Nanos limit) override {
        m_port.settleLine();
        if (m_port.m_pending.size() < m_port.m_deviceCapacity) {
            return;
        }
        const Micros limitMicros = std::chrono::ceil<std::chrono::microseconds>(limit).count();
        m_port.m_loop.advance(
            std::min(limitMicros, m_port.m_pending.front() - m_port.m_loop.now()));
        m_port.settleLine();
    }

    void sleepFor(Nanos duration) override {
        m_port.m_loop.advance(std::chrono::ceil<std::chrono::microseconds>(duration).count());
    }

private:
    FakePort& m_port;
};

FakePort::FakePort(VirtualEventLoop& loop)
    : m_loop(loop),
      m_device(std::make_unique<Device>(*this)),
      m_transmit(std::make_unique<PacedTransmitter>(*m_device)),
      m_settle(loop, [this] { raiseEvent(comEvReceive); }) {
    m_transmit->setSettings(m_settings);
}

FakePort::~FakePort() = default;

void FakePort::setDeviceBuffer(std::size_t capacity, bool countsQueue) {
    m_deviceCapacity = capacity;
    m_countsQueue = countsQueue;
}

void FakePort::stallLine(Micros from, Micros until) {
    m_stallFrom = from;
    m_stallUntil = until;
}

void FakePort::carry(unsigned char value) {
    Micros starts = std::max(m_lineFreeAt, m_loop.now());
    if (starts >= m_stallFrom && starts < m_stallUntil) {
        starts = m_stallUntil;
    }
    const Micros leaves = starts + byteTime();
    m_lineFreeAt = leaves;
    m_pending.push_back(leaves);
    const WireByte byte{leaves, m_settings.baudRate, value, m_commPort};
    m_wire.push_back(byte);
    if (m_instrument != nullptr) {
        m_instrument->onByte(*this, byte);
    }
}

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
    if (m_gone) {
        throw SerialError(std::string(operation) + ": the device has gone away");
    }
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
    m_transmit->setSettings(m_settings);
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
        if (portOpen()) {
            throw SerialError("port already open");
        }
        m_open = true;
        m_gone = false;
        ++m_openings;
        return;
    }
    m_settle.cancel();
    m_received.clear();
    if (!portOpen()) {
        // A device that has gone away closes without a word, like the real port.
        m_open = false;
        return;
    }
    // Closing lets what was written leave the line first, for at most 2 s.
    m_transmit->drain(std::chrono::seconds(2));
    settleLine();
    m_pending.clear();
    m_transmit->discard();
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
    m_settle.cancel();
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
    m_transmit->discard();
}

int FakePort::outBufferCount() {
    record("OutBufferCount?", "OutBufferCount?");
    requireOpen("OutBufferCount");
    return static_cast<int>(m_transmit->notCarried());
}

void FakePort::output(const ByteText& data) {
    record(data.size() == 1 ? "Output:" + data : "Output[" + std::to_string(data.size()) + "]",
           "Output");
    requireOpen("Output");
    m_transmit->write(data);
}

ByteText FakePort::input() {
    record("Input", "Input");
    return std::exchange(m_received, {});
}

void FakePort::reply(const ByteText& chunk, Micros at) {
    m_loop.schedule(at, [this, chunk] {
        // Nothing is received on a closed port, nor from a device that has gone.
        if (!portOpen()) {
            return;
        }
        m_received += chunk;
        m_settle.bytesArrived();
    });
}

void FakePort::loseDevice(Micros at) {
    m_loop.schedule(at, [this] { m_gone = m_open; });
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
