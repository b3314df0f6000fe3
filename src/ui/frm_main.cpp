#include "ui/frm_main.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <utility>

#include "common/signal_name.h"
#include "runlog/trace_file.h"
#include "serial/qt/port_settings.h"
#include "serial/qt/qt_event_loop.h"
#include "serial/qt/serial_devices.h"
#include "serial/qt/system_transports.h"
#include "ui/command_line.h"
#include "ui/dir_list_box.h"
#include "ui/directory_reader.h"
#include "ui/drive_list_box.h"
#include "ui/file_list_box.h"
#include "ui/frm_about.h"
#include "ui/main_window_texts.h"
#include "ui/path_conversion.h"
#include "ui/port_tooltip.h"
#include "update/boot_loader_places.h"
#include "update/image_file.h"
#include "update/program_version.h"
#include "update/serial_link.h"
#include "update/timers.h"
#include "update/update_procedure.h"

namespace flashupdate {

namespace {

void endProgramAtOnce(SerialPort& comSerial, int status) {
    // The operator has said stop: nothing still queued may reach the instrument. Closing, with
    // nothing left to wait for, gives up the port's locks (no stale lock file).
    try {
        if (comSerial.portOpen()) {
            comSerial.setOutBufferCount(0);
            comSerial.setPortOpen(false);
        }
    } catch (const SerialError& error) {
        std::cerr << "flashupdate: discarding what was queued: " << error.what() << std::endl;
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // Not exit(): the update may be suspended in one of its waits further down this very stack,
    // and no destructor, handler or clean-up step of it may run any more.
    std::_Exit(status);
}

// The procedure writes line breaks as the instrument's PCs always have, "\r\n".
QString displayText(const std::string& text) {
    QString shown = QString::fromStdString(text);
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return shown;
}

QString displayText(const char* text) {
    return displayText(std::string(text));
}

}  // namespace

// The system's event loop and serial port, in this order, for the production window, and the
// record of the wire when the settings file asks for one.
struct frmMain::OwnedSeams {
    QtEventLoop events;
    // Outlives the port, which records into it.
    std::unique_ptr<TraceFile> trace;
    SerialControl comSerial{loadPortMap(), events, systemTransports(loadTlsSettings())};
};

frmMain::frmMain(const QString& argumentText, QWidget* parent)
    : frmMain(std::make_unique<OwnedSeams>(), argumentText, parent) {}

// owned is taken by reference so that the seams can be dereferenced in the same argument list
// that hands the pointer on; it is moved only into m_owned.
frmMain::frmMain(std::unique_ptr<OwnedSeams>&& owned, const QString& argumentText, QWidget* parent)
    : frmMain(owned->events, owned->comSerial, owned->comSerial.portMap(),
              toFsPath(QCoreApplication::applicationDirPath()), argumentText, parent,
              std::move(owned)) {}

frmMain::frmMain(EventLoop& events, SerialPort& comSerial, PortMap portMap,
                 std::filesystem::path executableDirectory, const QString& argumentText,
                 QWidget* parent)
    : frmMain(events, comSerial, std::move(portMap), std::move(executableDirectory), argumentText,
              parent, nullptr) {}

frmMain::frmMain(EventLoop& events, SerialPort& comSerial, PortMap portMap,
                 std::filesystem::path executableDirectory, const QString& argumentText,
                 QWidget* parent, std::unique_ptr<OwnedSeams>&& owned)
    : QMainWindow(parent),
      m_owned(std::move(owned)),
      m_log(m_owned ? RunLog(runLogPath(), "flashupdate") : RunLog()),
      m_portMap(std::move(portMap)),
      m_executableDirectory(executableDirectory),
      m_settingsPath(portSettingsPath()),
      m_link(std::make_unique<SerialLink>(comSerial)),
      m_timers(std::make_unique<Timers>(events)),
      m_procedure(std::make_unique<UpdateProcedure>(*this, *m_link, *m_timers,
                                                    std::move(executableDirectory))),
      m_endProgram([this, &comSerial] {
          // The last line of the wire is still being gathered; the end leaves no destructor to
          // write it.
          if (m_owned && m_owned->trace) {
              m_owned->trace->finish();
          }
          endProgramAtOnce(comSerial, m_endStatus);
      }) {
    if (m_owned) {
        // Why a device would not open, with the remedy, belongs in the log next to the run.
        m_owned->comSerial.setDiagnostics([this](const std::string& text) { diagnostic(text); });
        startTrace();
    }
    m_timers->onTimer2 = [this] { cmdStart_Click(); };
    createControls();
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
        refreshPortToolTip(port);
        m_optCom[port - 1]->installEventFilter(this);
    }
    connectHandlers();
    Form_Load(argumentText);
}

frmMain::~frmMain() {
    // The lists die with the window's base class, after the procedure and the serial link;
    // nothing they still signal may reach the handlers by then.
    for (QObject* const list :
         std::initializer_list<QObject*>{m_drvDrive, m_dirDirectory, m_filFiles}) {
        list->disconnect(this);
    }
    // The port outlives the log and the rest of the window; what it says while closing goes to
    // standard error only.
    if (m_owned) {
        m_owned->comSerial.setDiagnostics(
            [](const std::string& text) { std::cerr << "flashupdate: " << text << std::endl; });
    }
}

void frmMain::startTrace() {
    const QString path = readTracePath(m_settingsPath);
    if (path.isEmpty()) {
        return;
    }
    const std::string named = QFile::encodeName(path).toStdString();
    auto trace = std::make_unique<TraceFile>(
        named, TraceFile::Start{std::string("flashupdate ") + programVersion()});
    if (!trace->ok()) {
        diagnostic("cannot write the trace " + named + ": " + trace->error());
        return;
    }
    // Told on the main thread, where the port records.
    trace->setFailureHandler([this, named](const std::string& error) {
        diagnostic("writing the trace " + named + " failed: " + error +
                   "; the trace is incomplete");
    });
    m_owned->trace = std::move(trace);
    SerialControl& control = m_owned->comSerial;
    control.setObserver([&control, &trace = *m_owned->trace](SerialControl::Direction direction,
                                                             EventLoop::Nanos at,
                                                             std::string_view bytes, int baudRate) {
        trace.record(control.devicePath(), direction == SerialControl::Direction::Sent, at, bytes,
                     baudRate);
    });
}

void frmMain::setEndProgram(std::function<void()> endProgram) {
    m_endProgram = std::move(endProgram);
}

void frmMain::connectHandlers() {
    connect(m_cmdStart, &QPushButton::clicked, this, &frmMain::cmdStart_Click);
    connect(m_cmdExit, &QPushButton::clicked, this, &frmMain::cmdExit_Click);
    connect(m_drvDrive, &DriveListBox::driveChanged, this, &frmMain::drvDrive_Change);
    connect(m_dirDirectory, &DirListBox::pathChanged, this, &frmMain::dirDirectory_Change);
    connect(m_dirDirectory, &DirListBox::openFailed, this, &frmMain::reportUnreadableDirectory);
    connect(m_filFiles, &FileListBox::fileClicked, this, &frmMain::filFiles_Click);
}

void frmMain::Form_Load(const QString& argumentText) {
    openAtStart(QDir::currentPath());
    m_lblDirNam->setText(QDir::toNativeSeparators(m_dirDirectory->Path()));
    try {
        m_filFiles->setPattern(QStringLiteral("*.*"));
        m_filFiles->setPath(m_dirDirectory->Path());
    } catch (const DirectoryReadError& error) {
        reportUnreadableDirectory(error.path(), error.reason());
    }

    const CommandLineRequest request = readCommandLine(argumentText);
    switch (request.kind) {
        case CommandLineRequest::Kind::Prompt:
            m_lblStatus->setText(displayText(texts::kSelectionPrompt));
            m_lblStatus->setVisible(true);
            m_timers->events.pumpOnce();
            break;
        case CommandLineRequest::Kind::Ignore:
            break;
        case CommandLineRequest::Kind::Preselect:
            m_txtFileName->setText(request.fileName);
            m_optCom[request.port - 1]->setChecked(true);
            break;
    }
}

void frmMain::openAtStart(const QString& workingDirectory) {
    try {
        m_dirDirectory->setPath(workingDirectory);
        return;
    } catch (const DirectoryReadError& error) {
        reportUnreadableDirectory(error.path(), error.reason());
    }
    // Started in a directory it may not list: the lists open on that directory's drive instead,
    // so that the operator has somewhere to go from.
    try {
        m_drvDrive->showDriveOf(workingDirectory);
        m_dirDirectory->setPath(m_drvDrive->Drive());
    } catch (const DirectoryReadError& error) {
        reportUnreadableDirectory(error.path(), error.reason());
    }
}

void frmMain::cmdStart_Click() {
    // Start pressed inside one of the run's own waits starts nothing, so there is nothing to log.
    if (m_procedure->running()) {
        return;
    }
    // Taken as the procedure takes it, before the run: the operator may change it during the run.
    m_run = RunRecord{};
    m_run.runId = newRunId();
    m_run.frontEnd = "window";
    m_runPort = chosenPort(*this);
    m_run.port = runPortName();
    m_run.device = resolvedDevice(m_portMap.devicePath(m_runPort));
    m_run.adapterSerial = adapterSerialOf(m_run.device, listSerialDevices());
    m_runStarted = std::chrono::steady_clock::now();
    m_runLogged = false;
    m_runWroteStatus = false;
    m_procedure->cmdStart_Click();
    if (m_owned && m_owned->trace) {
        m_owned->trace->endRun(m_owned->comSerial.devicePath());
    }
    logRun({});
}

void frmMain::cmdExit_Click() {
    logRun("Exit");
    m_endProgram();
}

void frmMain::stopBySignal(int signal) {
    if (m_procedure->running()) {
        logRun(signalName(signal));
        // As a shell reports a program that a signal ended.
        m_endStatus = 128 + signal;
        m_endProgram();
        return;
    }
    QCoreApplication::exit(128 + signal);
}

std::string frmMain::runPortName() const {
    return "Com" + std::to_string(m_runPort);
}

void frmMain::logRun(const std::string& endedBy) {
    if (m_runLogged) {
        return;
    }
    m_runLogged = true;
    m_run.result = m_procedure->result();
    if (m_run.result.portError == PortErrorKind::Missing) {
        const std::string advice = "Com1 to Com4 may name other devices: see flashupdate --help";
        UpdateView::diagnostic(advice);
        m_log.diagnostic(m_run.runId, m_run.port, advice);
    }
    m_run.imagePath = loggedImagePath(m_run.result.imagePath);
    m_run.endedBy = endedBy;
    if (!m_procedure->image().empty() || m_run.result.stage != UpdateResult::Stage::Checks) {
        m_run.imageSha256 = sha256Hex(m_procedure->image());
        m_run.imageBytes = m_procedure->image().size();
    }
    // Where the procedure looks for it; the run has just looked there.
    const std::filesystem::path bootLoader =
        locateBootLoader(bootLoaderPlaces(m_executableDirectory), UpdateProcedure::kBootLoaderName);
    m_run.bootLoaderPath = textFromPath(bootLoader);
    m_run.bootLoaderSha256 = fileSha256Hex(m_run.bootLoaderPath);
    m_run.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_runStarted).count();
    m_log.record(m_run);
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    // Asked afresh each time: adapters come and go while the window is open.
    if (event->type() == QEvent::ToolTip) {
        for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
            if (watched == m_optCom[port - 1]) {
                refreshPortToolTip(port);
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void frmMain::refreshPortToolTip(int port) {
    m_optCom[port - 1]->setToolTip(
        portToolTip(port, m_portMap, m_settingsPath, probeDevice(m_portMap.devicePath(port))));
}

void frmMain::ABout_Click() {
    frmAbout::showInstance();
}

void frmMain::drvDrive_Change() {
    try {
        m_dirDirectory->setPath(m_drvDrive->currentDirectory());
    } catch (const DirectoryReadError& error) {
        diagnostic(error.what());
        QMessageBox box(QMessageBox::Warning, QString::fromUtf8(texts::kDriveErrorTitle),
                        QString::fromUtf8(texts::kDriveError), QMessageBox::Ok, this);
        box.exec();
        // The directory list did not move, so its drive is the one shown before. Going back
        // announces a change only if the list had moved on, which bounds the recovery to one
        // more attempt.
        m_drvDrive->setDrive(m_dirDirectory->Path());
    }
}

void frmMain::dirDirectory_Change() {
    const QString path = m_dirDirectory->Path();
    m_drvDrive->showDriveOf(path);
    try {
        m_filFiles->setPath(path);
    } catch (const DirectoryReadError& error) {
        reportUnreadableDirectory(error.path(), error.reason());
    }
    m_lblDirNam->setText(QDir::toNativeSeparators(path));
}

void frmMain::filFiles_Click() {
    m_txtFileName->setText(m_filFiles->FileName());
    m_lblStatus->setText(QString::fromUtf8(texts::kPressStart));
}

void frmMain::reportUnreadableDirectory(const QString& path, const QString& reason) {
    diagnostic("cannot read directory " + QFile::encodeName(path).toStdString() + ": " +
               reason.toStdString());
    m_lblStatus->setText(QString::fromUtf8(texts::kCannotReadDirectory) +
                         QDir::toNativeSeparators(path));
    m_lblStatus->setVisible(true);
}

void frmMain::closeEvent(QCloseEvent* event) {
    // A run is suspended in one of its waits below this event: the window cannot go and leave it
    // driving the port, and it cannot be unwound, so the program ends as Exit ends it.
    if (m_procedure->running()) {
        logRun("closing the window");
        m_endProgram();
    }
    QMainWindow::closeEvent(event);
}

std::string frmMain::fileNameText() const {
    return m_txtFileName->text().toStdString();
}

std::string frmMain::filesPath() const {
    return QDir::toNativeSeparators(m_filFiles->Path()).toStdString();
}

std::string frmMain::filesFileName() const {
    return m_filFiles->FileName().toStdString();
}

bool frmMain::comOptionSelected(int port) const {
    return port >= PortMap::kFirstPort && port <= PortMap::kLastPort &&
           m_optCom[port - 1]->isChecked();
}

void frmMain::setLabelVisible(Label which, bool visible) {
    label(which)->setVisible(visible);
}

void frmMain::setLabelCaption(Label which, const std::string& caption) {
    if (which == Label::lblStatus) {
        m_runWroteStatus = true;
    }
    label(which)->setText(displayText(caption));
}

void frmMain::showMessage(const std::string& text, MessageIcon icon) {
    // Once a run has gone for the port, its box is its last word, and the box waits for OK as
    // long as the operator takes: the run's line goes to the log first, for whoever looks there
    // because the box says only "Error opening Com Port", and whether or not the program ever gets
    // past the box. A refusal of the files comes earlier and is completed after its box (where
    // the boot loader was looked for), so it is logged when the run returns.
    const UpdateResult& run = m_procedure->result();
    if (m_procedure->running() && run.stage != UpdateResult::Stage::Checks) {
        logRun({});
    }
    // A run that fails before its first status (a file, the boot loader, a port that does not
    // open) would leave the last run's verdict in the status line, a success for an instrument it
    // never touched: the box's text goes there too. Only the missing choice of a file, which
    // names no file, leaves the status line as it was.
    const bool nothingChosen = run.stage == UpdateResult::Stage::Checks && run.imagePath.empty();
    if (m_procedure->running() && !m_runWroteStatus && !nothingChosen) {
        m_lblStatus->setText(displayText(text));
        m_lblStatus->setVisible(true);
    }
    QMessageBox box(icon == MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                    QString::fromUtf8(texts::kApplicationTitle), displayText(text), QMessageBox::Ok,
                    this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void frmMain::progress(Progress what, const UpdateResult& run) {
    if (what != Progress::StageEntered || !m_owned || !m_owned->trace) {
        return;
    }
    TraceFile& trace = *m_owned->trace;
    // Each run may read another image: the trace names it as the run's first stage begins.
    if (run.stage == UpdateResult::Stage::BootLoader) {
        trace.image(loggedImagePath(run.imagePath),
                    m_procedure->image().empty() ? std::string()
                                                 : sha256Hex(m_procedure->image()).toStdString());
    }
    trace.stage(m_owned->comSerial.devicePath(), m_owned->events.monotonicTime(),
                nameOf(run.stage));
}

void frmMain::diagnostic(const std::string& text) {
    UpdateView::diagnostic(text);
    // Tied to its run, when the reason belongs to one.
    if (m_procedure->running()) {
        m_log.diagnostic(m_run.runId, m_run.port, text);
    } else {
        m_log.diagnostic({}, {}, text);
    }
}

QLabel* frmMain::label(Label which) const {
    switch (which) {
        case Label::lblStatus:
            return m_lblStatus;
        case Label::lblCheckSum1:
            return m_lblCheckSum1;
        case Label::lblCheckSum2:
            return m_lblCheckSum2;
        case Label::lblCheckSum3:
            return m_lblCheckSum3;
        case Label::lblCheckSum4:
            return m_lblCheckSum4;
        case Label::lblBytesTransmitted:
            return m_lblBytesTransmitted;
        case Label::lblFileSize:
            return m_lblFileSize;
        case Label::lblBytesT:
            return m_lblBytesT;
        case Label::lblFileB:
            return m_lblFileB;
    }
    return m_lblStatus;
}

}  // namespace flashupdate
