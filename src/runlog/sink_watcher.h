// Drains an output sink from the Qt event loop of the thread that makes the watcher: while
// bytes wait in the sink, the loop watches its descriptor for room and gives them out as the
// reader takes them, so output keeps flowing between writes. Writers on other threads may fill
// the sink meanwhile.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <atomic>
#include <memory>

#include "runlog/output_sink.h"

namespace flashupdate {

class SinkWatcher final : public QObject {
public:
    explicit SinkWatcher(std::shared_ptr<OutputSink> sink, QObject* parent = nullptr);
    ~SinkWatcher() override;

private:
    void giveOut();

    std::shared_ptr<OutputSink> m_sink;
    QSocketNotifier m_notifier;
    std::atomic<bool> m_wakeQueued{false};
};

}  // namespace flashupdate
