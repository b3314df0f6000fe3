// The program's one main window: the status line, the port choice, the lists that pick the
// program image, Start and Exit, the result labels the update procedure writes, and the Help menu.
// It owns the serial port, the timers and the update procedure for the life of the program, and
// is the view through which the procedure reads the operator's choices and reports.
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

#include "runlog/run_log.h"
#include "serial/port_map.h"
#include "update/update_view.h"

class QCloseEvent;
class QEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace flashupdate {

class DirListBox;
class DriveListBox;
class EventLoop;
class FileListBox;
class SerialLink;
class SerialPort;
class Timers;
class UpdateProcedure;

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
    frmMain(EventLoop& events, SerialPort& comSerial, PortMap portMap,
            std::filesystem::path executableDirectory, const QString& argumentText,
            QWidget* parent = nullptr);
    ~frmMain() override;

    // What ends the program when Exit is pressed, or when the window is closed during an update:
    // by default the bytes still queued for the port are discarded, standard output and error
    // are flushed and the process ends at once with status 0, from inside whatever wait the
    // update is in. Tests put a recorder here.
    void setEndProgram(std::function<void()> endProgram);
    // SIGTERM, SIGINT or SIGHUP has come (StopSignals): a run in progress is logged as ended by
    // it and the program ends as Exit ends it, with 128 + the signal's number; with no run, the
    // application leaves its event loop with that status.
    void stopBySignal(int signal);
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

protected:
    void closeEvent(QCloseEvent* event) override;
    // Rewrites a port button's tooltip whenever the pointer comes to rest on it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Records the wire when the settings file names a trace file (Trace=PATH).
    void startTrace();
    struct OwnedSeams;

    frmMain(EventLoop& events, SerialPort& comSerial, PortMap portMap,
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
    void ABout_Click();
    void drvDrive_Change();
    void dirDirectory_Change();
    void filFiles_Click();
    void openAtStart(const QString& workingDirectory);
    // Says so in the status line, and leaves every list where it is.
    void reportUnreadableDirectory(const QString& path, const QString& reason);
    void refreshPortToolTip(int port);
    // Logs the run in progress or just ended, once; endedBy names what ends the program during it.
    void logRun(const std::string& endedBy);
    // "Com2": the run's port as its log lines name it.
    std::string runPortName() const;

    QLabel* label(Label which) const;

    // Declared in the order of creation: the event loop and port first, the procedure last.
    std::unique_ptr<OwnedSeams> m_owned;
    RunLog m_log;
    PortMap m_portMap;
    // Where the boot loader is looked for, as the procedure looks.
    std::filesystem::path m_executableDirectory;
    QString m_settingsPath;
    std::unique_ptr<SerialLink> m_link;
    std::unique_ptr<Timers> m_timers;
    std::unique_ptr<UpdateProcedure> m_procedure;
    std::function<void()> m_endProgram;
    // The status the default end gives the process: Exit's 0, or a signal's.
    int m_endStatus = 0;
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
