// The program's one main window: the status line, the port choice, the lists that pick the
// program image, Start and Exit, the result labels a run writes, and the Help menu. It owns the
// serial port, the timers and the port's update session for the life of the program, and is the
// view the run's events are rendered into.
//
// Everything happens from the event loop: Start prepares a run, starts the session and returns;
// the session's events become captions and boxes, a box is shown without waiting for it, and its
// OK lets the run go on. Exit, closing the window during a run and the stop signals stop the
// session, let the port go and then leave the loop.
//
// The program builds it with the command line; tests build it on an event loop and a port of
// their own and reach every control by its object name (findChild<QLabel*>("lblStatus")).
#pragma once

#include <QMainWindow>
#include <QString>
#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runlog/run_log.h"
#include "serial/line_port.h"
#include "serial/port_map.h"
#include "update/update_view.h"
#include "update/view_renderer.h"

class QCloseEvent;
class QEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QRadioButton;

namespace flashupdate {

class DirListBox;
class DriveListBox;
class EventLoop;
class FileListBox;
class PortSession;
class Timer;
class Timers;

class frmMain final : public QMainWindow, public UpdateView {
    Q_OBJECT

public:
    // On the system's serial ports (Com1 to Com4 as the settings file and the environment map
    // them) and Qt's event loop, logging to runLogPath(). argumentText is the command line after
    // the program's name.
    explicit frmMain(const QString& argumentText, QWidget* parent = nullptr);
    // On the given event loop and port, which must outlive the window. BOOTLOAD.IMG is sought in
    // executableDirectory; portMap only names the devices in the port buttons' tooltips and
    // the log, which gets nothing until setLogPath().
    frmMain(EventLoop& events, LinePort& comSerial, PortMap portMap,
            std::filesystem::path executableDirectory, const QString& argumentText,
            QWidget* parent = nullptr);
    ~frmMain() override;

    // What ends the program once Exit has been pressed, or the window closed during an update, and
    // the run in progress has been stopped and the port let go (or kEndLimit has passed): by
    // default the application leaves its event loop with status 0. Tests put a recorder here.
    void setEndProgram(std::function<void()> endProgram);
    // SIGTERM, SIGINT or SIGHUP has come (StopSignalPipe): a run in progress is logged as ended by
    // it, and the program ends as Exit ends it, with 128 + the signal's number.
    void stopBySignal(int signal);
    // How long the end waits for the run to stop and the port to be let go: a device server that
    // never answers may not keep the program from ending.
    static constexpr std::chrono::milliseconds kEndLimit{3'000};
    // Where runs and diagnostics are appended; an empty path logs nothing.
    void setLogPath(const QString& path) { m_log = RunLog(path, "flashupdate"); }

    std::string fileNameText() const override;
    std::string filesPath() const override;
    std::string filesFileName() const override;
    bool comOptionSelected(int port) const override;
    void setLabelVisible(Label label, bool visible) override;
    void setLabelCaption(Label label, const std::string& caption) override;
    void showMessage(const std::string& text, MessageIcon icon) override;
    // A stage's start, into the record of the wire when there is one.
    void progress(Progress what, const UpdateResult& run) override;
    // To standard error and the log.
    void diagnostic(const std::string& text) override;

signals:
    // The run Start began has ended: its boxes are closed and its line is in the log.
    void runEnded();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Rewrites a port button's tooltip whenever the pointer comes to rest on it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Records the wire when the settings file names a trace file (Trace=PATH).
    void startTrace();
    struct OwnedSeams;

    frmMain(EventLoop& events, LinePort& comSerial, PortMap portMap,
            std::filesystem::path executableDirectory, const QString& argumentText, QWidget* parent,
            std::unique_ptr<OwnedSeams>&& owned);
    frmMain(std::unique_ptr<OwnedSeams>&& owned, const QString& argumentText, QWidget* parent);

    void createControls();
    void createMenu();
    void setFocusOrder();
    void placeOnScreen();
    void connectHandlers();
    void Form_Load(const QString& argumentText);

    void cmdStart_Click();
    void cmdExit_Click();
    // The session has ended its run.
    void sessionEnded();
    // The operator has closed the run's box.
    void runBoxClosed();
    // Stops the run, lets the port go and then ends the program with status; endedBy names what
    // ends the run in progress in its log line.
    void endProgram(int status, const std::string& endedBy);
    void letPortGo();
    void finishEnding();
    void ABout_Click();
    void drvDrive_Change();
    void dirDirectory_Change();
    void filFiles_Click();
    void openAtStart(const QString& workingDirectory);
    // Says so in the status line, and leaves every list where it is.
    void reportUnreadableDirectory(const QString& path, const QString& reason);
    void refreshPortToolTip(int port);
    // Logs the run in progress or just ended, once.
    void logRun();
    // "Com2": the run's port as its log lines name it.
    std::string runPortName() const;

    QLabel* label(Label which) const;

    // The port's last word once the program ends: the session has let it go by then.
    class PortRelease final : public LinePort::Listener {
    public:
        std::function<void()> onClosed;

    private:
        void portOpened() override {}
        void portOpenFailed(const SerialError&) override {}
        void portReceived(const ByteText&) override {}
        void portWritable() override {}
        void portDrained() override {}
        void portLost(const SerialError&) override {}
        void portClosed() override { onClosed(); }
    };

    // Declared in the order of creation: the event loop and port first, the session last.
    std::unique_ptr<OwnedSeams> m_owned;
    EventLoop& m_events;
    LinePort& m_port;
    RunLog m_log;
    PortMap m_portMap;
    // Where the boot loader is looked for, as a run looks.
    std::filesystem::path m_executableDirectory;
    QString m_settingsPath;
    std::unique_ptr<Timers> m_timers;
    PortRelease m_release;
    std::unique_ptr<PortSession> m_session;
    ViewRenderer m_renderer{*this};
    std::function<void()> m_endProgram;
    // The status the default end gives the process: Exit's 0, or a signal's.
    int m_endStatus = 0;
    // The end has begun; Start, Exit and the signals do nothing more.
    bool m_ending = false;
    // What ends the program ("Exit", a signal's name), for the line of a run it stops.
    std::string m_endedBy;
    bool m_ended = false;
    std::unique_ptr<Timer> m_endLimit;
    // The box of the run, while it is up.
    QMessageBox* m_runBox = nullptr;
    // The image the run in progress or the last one read, for the log and the trace.
    std::vector<unsigned char> m_image;
    // The run in progress or the last one, filled in as it goes.
    RunRecord m_run;
    int m_runPort = 1;
    std::chrono::steady_clock::time_point m_runStarted;
    bool m_runLogged = true;
    // The run in progress has written the status line.
    bool m_runWroteStatus = false;

    DriveListBox* m_drvDrive = nullptr;
    QGroupBox* m_frame1 = nullptr;
    // optCom1 to optCom4.
    std::array<QRadioButton*, 4> m_optCom{};
    DirListBox* m_dirDirectory = nullptr;
    QLineEdit* m_txtFileName = nullptr;
    FileListBox* m_filFiles = nullptr;
    QPushButton* m_cmdExit = nullptr;
    QPushButton* m_cmdStart = nullptr;
    QLabel* m_lblFileB = nullptr;
    QLabel* m_lblBytesT = nullptr;
    QLabel* m_lblFileSize = nullptr;
    QLabel* m_lblCheckSum4 = nullptr;
    QLabel* m_lblCheckSum3 = nullptr;
    QLabel* m_lblCheckSum2 = nullptr;
    QLabel* m_lblCheckSum1 = nullptr;
    QLabel* m_lblBytesTransmitted = nullptr;
    QLabel* m_lblDrive = nullptr;
    QLabel* m_lblDirNam = nullptr;
    QLabel* m_lblDirectories = nullptr;
    QLabel* m_lblFileName = nullptr;
    QLabel* m_lblStatus = nullptr;
};

}  // namespace flashupdate
