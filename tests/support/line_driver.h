// Drives a LinePort as an update does and records what it is told: opens the port, writes what
// it is given as fast as the port takes it, waits for the drain (or not) and closes. Every word
// of the port is checked to come from the event loop, never from inside a call to the port.
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
    // What the driver does once everything is written: lets go once the line has drained, at
    // once (the close drains), or at once with what is not yet on the line discarded; or it
    // keeps the port open until close().
    enum class Ending { AfterDrained, AtOnce, Purged, StaysOpen };

    LineDriver(LinePort& port, EventLoop& loop) : m_port(port), m_loop(loop) {
        m_port.setListener(this);
    }
    LineDriver(const LineDriver&) = delete;
    LineDriver& operator=(const LineDriver&) = delete;
    ~LineDriver() override { m_port.setListener(nullptr); }

    void run(std::string bytes, Ending ending) {
        m_toSend = std::move(bytes);
        m_ending = ending;
        inside([&] { m_port.beginOpen(); });
    }
    void close() {
        closeBegunAt = m_loop.monotonicTime();
        inside([&] {
            if (m_ending == Ending::Purged) {
                m_port.purgeOutput();
            }
            m_port.beginClose();
        });
    }
    bool done() const { return !told.empty() && told.back() == "closed"; }

    // "opened", "open-failed:<kind>", "drained", "lost:<kind>", "closed", in order; receive
    // events go to received, portWritable() to writables.
    std::vector<std::string> told;
    std::string received;
    int receiveEvents = 0;
    int writables = 0;
    std::size_t mostAhead = 0;
    EventLoop::Nanos drainedAt{}, lostAt{}, closeBegunAt{}, closedAt{};
    bool toldFromInsideACall = false;

private:
    template <typename Call>
    void inside(Call call) {
        const ScopedFlag flag(m_inside);
        call();
    }
    void heard(const std::string& word) {
        toldFromInsideACall = toldFromInsideACall || m_inside;
        if (!word.empty()) {
            told.push_back(word);
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
        lostAt = m_loop.monotonicTime();
        close();
    }
    void portClosed() override {
        heard("closed");
        closedAt = m_loop.monotonicTime();
    }

    void send() {
        while (!m_toSend.empty()) {
            std::size_t taken = 0;
            try {
                inside([&] { taken = m_port.write(m_toSend); });
            } catch (const SerialError&) {
                return;  // the port tells the loss
            }
            m_toSend.erase(0, taken);
            mostAhead = std::max(mostAhead, m_port.notCarried());
            if (taken == 0) {
                inside([&] { m_port.wantWritable(); });
                return;
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
