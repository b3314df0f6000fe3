// Drives a LinePort as an update does and records what it is told: opens the port, writes what
// it is given as fast as the port takes it, then lets go once the line has drained, at once (the
// close drains), at once with the rest discarded, or only when close() is called. Every word of
// the port is checked to come from the event loop, never from inside a call to the port.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "common/scoped_flag.h"
#include "serial/event_loop.h"
#include "serial/line_port.h"

namespace flashupdate::testing {

class LineDriver final : public LinePort::Listener {
public:
    enum class Ending { AfterDrained, AtOnce, Purged, StaysOpen };

    LineDriver(LinePort& port, EventLoop& loop) : m_port(port), m_loop(loop) {
        m_port.setListener(this);
    }
    ~LineDriver() override { m_port.setListener(nullptr); }

    void run(std::string bytes, Ending ending) {
        m_toSend = std::move(bytes);
        m_ending = ending;
        inside([&] { m_port.beginOpen(); });
    }
    void close() {
        inside([&] {
            if (m_ending == Ending::Purged) {
                m_port.purgeOutput();
            }
            m_port.beginClose();
        });
    }
    bool done() const { return !told.empty() && told.back() == "closed"; }

    // "opened", "open-failed:<kind>", "drained", "lost:<kind>" and "closed", in order.
    std::vector<std::string> told;
    std::string received;
    int receiveEvents = 0;
    int writables = 0;
    // Writes of which a full device took less than the pace allowed.
    int heldBack = 0;
    std::size_t mostAhead = 0;
    EventLoop::Nanos drainedAt{};
    bool toldFromInsideACall = false;

private:
    template <typename Call>
    void inside(Call call) {
        const ScopedFlag flag(m_inside);
        call();
    }
    void heard(std::string word) {
        toldFromInsideACall = toldFromInsideACall || m_inside;
        if (!word.empty()) {
            told.push_back(std::move(word));
        }
    }

    void portOpened() override {
        heard("opened");
        send();
    }
    void portOpenFailed(const SerialError& error) override {
        heard(std::string("open-failed:") + nameOf(error.kind()));
    }
    void portReceived(const ByteText& bytes) override {
        heard({});
        ++receiveEvents;
        received += bytes;
    }
    void portWritable() override {
        heard({});
        ++writables;
        send();
    }
    void portDrained() override {
        heard("drained");
        drainedAt = m_loop.monotonicTime();
        close();
    }
    void portLost(const SerialError& error) override {
        heard(std::string("lost:") + nameOf(error.kind()));
        close();
    }
    void portClosed() override { heard("closed"); }

    void send() {
        while (!m_toSend.empty()) {
            const std::size_t room = m_port.room();
            std::size_t taken = 0;
            try {
                inside([&] { taken = m_port.write(m_toSend); });
            } catch (const SerialError&) {
                return;  // the port tells the loss
            }
            // The pace allowed more than the device took.
            heldBack += taken < std::min(room, m_toSend.size()) ? 1 : 0;
            m_toSend.erase(0, taken);
            mostAhead = std::max(mostAhead, m_port.notCarried());
            if (taken == 0) {
                return inside([&] { m_port.wantWritable(); });
            }
        }
        if (m_ending == Ending::AfterDrained) {
            inside([&] { m_port.wantDrained(); });
        } else if (m_ending != Ending::StaysOpen) {
            close();
        }
    }

    LinePort& m_port;
    EventLoop& m_loop;
    std::string m_toSend;
    Ending m_ending = Ending::AfterDrained;
    bool m_inside = false;
};

}  // namespace flashupdate::testing
