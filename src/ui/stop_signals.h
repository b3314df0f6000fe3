// SIGTERM (a session that ends, a service manager), SIGINT (Ctrl-C in the terminal that started
// the window) and SIGHUP (that terminal closing), brought to the main thread: the handler only
// writes the signal's number into a pipe, and the application's event loop reads it there and
// says so through arrived(). So the window can log the run the signal ends and end as Exit does,
// with nothing but a write() done inside the handler.
//
// One a process: make it once the application stands, before the window shows. A signal ignored
// when the program started (nohup) stays ignored.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace flashupdate {

class StopSignals final : public QObject {
    Q_OBJECT

public:
    explicit StopSignals(QObject* parent = nullptr);
    // The signals end the program the usual way again.
    ~StopSignals() override;

signals:
    void arrived(int signal);

private:
    void takeSignals();

    QSocketNotifier* m_notifier = nullptr;
};

}  // namespace flashupdate
