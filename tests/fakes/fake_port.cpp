#include "fakes/fake_port.h"

#include <algorithm>
#include <utility>

namespace flashupdate::testing {

namespace {

// Every Com port leads to the one fake line.
PortMap fakePortMap() {
    PortMap map;
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
        map.setDevicePath(port, "fake:" + std::to_string(port), PortSource::Default);
    }
    return map;
}

}  // namespace

Micros FakeLine::byteTime() const {
    return static_cast<Micros>(settings.secondsPerByte() * 1e6 + 0.5);
}

void FakeLine::settle() {
    while (!pending.empty() && pending.front() <= loop.now()) {
        pending.pop_front();
    }
}

void FakeLine::carry(unsigned char value) {
    Micros starts = std::max(lineFreeAt, loop.now());
    if (starts >= stallFrom && starts < stallUntil) {
        starts = stallUntil;
    }
    const Micros leaves = starts + byteTime();
    lineFreeAt = leaves;
    pending.push_back(leaves);
    const WireByte byte{leaves, settings.baudRate, value};
    wire.push_back(byte);
    if (instrument != nullptr) {
        instrument->onByte(*port, byte);
    }
}

FakeTransport::~FakeTransport() {
    if (m_line.open == this) {
        m_line.open = nullptr;
    }
}

void FakeTransport::beginOpen(const std::string&, const LineSettings& settings, bool) {
    if (m_line.openFailure) {
        tellOpenFailed(*m_line.openFailure);
        return;
    }
    m_line.settings = settings;
    m_line.open = this;
    ++m_line.openings;
    tellOpened();
}

std::size_t FakeTransport::write(std::string_view bytes) {
    if (m_gone) {
        throw SerialError("the device has gone away", PortErrorKind::Gone);
    }
    m_line.settle();
    const std::size_t room = m_line.capacity - std::min(m_line.capacity, m_line.pending.size());
    const std::size_t taken = std::min(room, bytes.size());
    for (const char c : bytes.substr(0, taken)) {
        m_line.carry(static_cast<unsigned char>(c));
    }
    return taken;
}

std::size_t FakeTransport::queued() {
    m_line.settle();
    return m_line.countsQueue ? m_line.pending.size() : 0;
}

void FakeTransport::purgeOutput() {
    // Bytes already on their way stay; the rest never reach the line.
    m_line.settle();
    while (m_line.pending.size() > 1) {
        m_line.pending.pop_back();
        m_line.wire.pop_back();
    }
    m_line.lineFreeAt = m_line.pending.empty() ? m_line.loop.now() : m_line.pending.back();
}

void FakeTransport::beginClose() {
    m_line.settle();
    m_line.pending.clear();
    m_line.open = nullptr;
    tellClosed();
}

void FakeTransport::deliver(const ByteText& chunk) {
    // Nothing is received from a device that has gone.
    if (!m_gone) {
        announce(chunk);
    }
}

void FakeTransport::goAway() {
    if (!m_gone) {
        m_gone = true;
        lose(SerialError("the device has gone away", PortErrorKind::Gone));
    }
}

FakePort::FakePort(VirtualEventLoop& loop)
    : m_line(loop),
      m_control(fakePortMap(), loop,
                [this](const std::string&, EventLoop&) -> std::unique_ptr<Transport> {
                    return std::make_unique<FakeTransport>(m_line);
                }) {
    m_line.port = this;
    m_control.setDiagnostics([](const std::string&) {});
}

FakePort::~FakePort() = default;

void FakePort::beginOpen() {
    record("PortOpen=1");
    m_control.setListener(listener() != nullptr ? this : nullptr);
    m_control.beginOpen();
}

std::size_t FakePort::write(std::string_view bytes) {
    record(bytes.size() == 1 ? "Output:" + std::string(bytes)
                             : "Output[" + std::to_string(bytes.size()) + "]");
    return m_control.write(bytes);
}

void FakePort::reply(const ByteText& chunk, Micros at) {
    m_line.loop.schedule(at, [this, chunk] {
        // Nothing is received on a closed port.
        if (m_line.open != nullptr) {
            m_line.open->deliver(chunk);
        }
    });
}

void FakePort::loseDevice(Micros at) {
    m_line.loop.schedule(at, [this] {
        if (m_line.open != nullptr) {
            m_line.open->goAway();
        }
    });
}

ByteText FakePort::wireText() const {
    ByteText text;
    for (const auto& byte : m_line.wire) {
        text += static_cast<char>(byte.value);
    }
    return text;
}

}  // namespace flashupdate::testing
