#include "serial/qt/qt_event_loop.h"

#include <QTimer>

namespace flashupdate {

namespace {

// A window timer on a QTimer. Enabled is kept apart from the QTimer's state so that an interval
// of 0 means "never ticks", as for a window timer, not "tick on every pass".
class QtTimer final : public Timer {
public:
    QtTimer() {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { raiseTick(); });
    }

    void setInterval(int milliseconds) override {
        m_interval = milliseconds;
        restart();
    }
    int interval() const override { return m_interval; }
    void setEnabled(bool enabled) override {
        m_enabled = enabled;
        restart();
    }
    bool enabled() const override { return m_enabled; }
    // A port re-arms its timer on most passes of a busy loop: each restart walks Qt's timer list.
    void startIn(int milliseconds) override {
        m_interval = milliseconds;
        m_enabled = true;
        restart();
    }

private:
    void restart() {
        if (m_enabled && m_interval > 0) {
            m_timer.start(m_interval);
        } else {
            m_timer.stop();
        }
    }

    QTimer m_timer;
    int m_interval = 0;
    bool m_enabled = false;
};

}  // namespace

std::unique_ptr<Timer> QtEventLoop::createTimer() {
    return std::make_unique<QtTimer>();
}

QtEventLoop::Nanos QtEventLoop::monotonicTime() {
    return std::chrono::steady_clock::now().time_since_epoch();
}

}  // namespace flashupdate
