#include "fakes/virtual_event_loop.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace flashupdate::testing {

std::unique_ptr<Timer> VirtualEventLoop::createTimer() {
    auto timer = std::make_unique<VirtualTimer>(*this);
    m_timers.push_back(timer.get());
    return timer;
}

VirtualEventLoop::VirtualTimer::~VirtualTimer() {
    std::erase(m_loop.m_timers, this);
}

void VirtualEventLoop::VirtualTimer::setInterval(int milliseconds) {
    m_interval = milliseconds;
    if (m_enabled) {
        m_nextTick = m_loop.now() + ms(m_interval);
    }
}

void VirtualEventLoop::VirtualTimer::setEnabled(bool enabled) {
    m_enabled = enabled;
    if (enabled) {
        m_nextTick = m_loop.now() + ms(m_interval);
    }
}

void VirtualEventLoop::VirtualTimer::tick() {
    m_nextTick += ms(m_interval);
    raiseTick();
}

void VirtualEventLoop::schedule(Micros at, std::function<void()> action) {
    m_events.emplace(std::make_pair(std::max(at, m_now), m_sequence++), std::move(action));
}

Micros VirtualEventLoop::nextDue() const {
    Micros next = std::numeric_limits<Micros>::max();
    if (!m_events.empty()) {
        next = m_events.begin()->first.first;
    }
    for (const VirtualTimer* timer : m_timers) {
        if (timer->canTick()) {
            next = std::min(next, timer->nextTick());
        }
    }
    return next;
}

void VirtualEventLoop::dispatchDue() {
    // Everything due by now, in time order; a handler may schedule or arm more.
    for (;;) {
        VirtualTimer* dueTimer = nullptr;
        for (VirtualTimer* timer : m_timers) {
            if (timer->canTick() && timer->nextTick() <= m_now &&
                (dueTimer == nullptr || timer->nextTick() < dueTimer->nextTick())) {
                dueTimer = timer;
            }
        }
        const bool eventDue = !m_events.empty() && m_events.begin()->first.first <= m_now;
        if (eventDue &&
            (dueTimer == nullptr || m_events.begin()->first.first <= dueTimer->nextTick())) {
            auto node = m_events.extract(m_events.begin());
            node.mapped()();
        } else if (dueTimer != nullptr) {
            dueTimer->tick();
        } else {
            return;
        }
    }
}

void VirtualEventLoop::pumpOnce() {
    if (m_onPump) {
        m_onPump();
    }
    dispatchDue();
}

void VirtualEventLoop::pumpWaitFor(Nanos longest) {
    if (m_now > kRunaway) {
        m_ranAway = true;
        throw std::logic_error("virtual clock ran away: a wait never ends");
    }
    const Micros next = nextDue();
    if (next > m_now) {
        const Micros sleep =
            longest >= std::chrono::microseconds(kHeartbeat)
                ? kHeartbeat
                : std::max<Micros>(1,
                                   std::chrono::ceil<std::chrono::microseconds>(longest).count());
        m_now = std::min(next, m_now + sleep);
    }
    pumpOnce();
}

}  // namespace flashupdate::testing
