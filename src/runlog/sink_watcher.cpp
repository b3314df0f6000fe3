#include "runlog/sink_watcher.h"

namespace flashupdate {

SinkWatcher::SinkWatcher(std::shared_ptr<OutputSink> sink, QObject* parent)
    : QObject(parent),
      m_sink(std::move(sink)),
      m_notifier(m_sink->descriptor(), QSocketNotifier::Write) {
    // Watching a descriptor with room and nothing to give would wake the loop without end.
    m_notifier.setEnabled(false);
    connect(&m_notifier, &QSocketNotifier::activated, this, &SinkWatcher::giveOut);
    // Queued: the writer may be another thread, and the notifier belongs to this one.
    // One wake-up queued at a time, however often bytes begin to wait before the loop runs.
    m_sink->setBacklogHandler([this] {
        if (!m_wakeQueued.exchange(true)) {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_wakeQueued = false;
                    m_notifier.setEnabled(true);
                },
                Qt::QueuedConnection);
        }
    });
    if (m_sink->waiting() > 0) {
        m_notifier.setEnabled(true);
    }
}

SinkWatcher::~SinkWatcher() {
    m_sink->setBacklogHandler({});
}

void SinkWatcher::giveOut() {
    if (m_sink->flush() || m_sink->failed()) {
        m_notifier.setEnabled(false);
    }
}

}  // namespace flashupdate
