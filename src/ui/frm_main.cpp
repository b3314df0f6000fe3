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
#include "update/port_session.h"
#include "update/program_version.h"
#include "update/run_preparation.h"
#include "update/timers.h"
#include "update/update_procedure.h"

namespace flashupdate {

namespace {

// Runs write line breaks as the instrument's PCs always have, "\r\n".
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

frmMain::frmMain(EventLoop& events, LinePort& comSerial, PortMap portMap,
                 std::filesystem::path executableDirectory, const QString& argumentText,
                 QWidget* parent)
    : frmMain(events, comSerial, std::move(portMap), std::move(executableDirectory), argumentText,
              parent, nullptr) {}

frmMain::frmMain(EventLoop& events, LinePort& comSerial, PortMap portMap,
                 std::filesystem::path executableDirectory, const QString& argumentText,
                 QWidget* parent, std::unique_ptr<OwnedSeams>&& owned)
    : QMainWindow(parent),
      m_owned(std::move(owned)),
      m_events(events),
      m_port(comSerial),
      m_log(m_owned ? RunLog(runLogPath(), "flashupdate") : RunLog()),
      m_portMap(std::move(portMap)),
      m_executableDirectory(std::move(executableDirectory)),
      m_settingsPath(portSettingsPath()),
      m_timers(std::make_unique<Timers>(events)),
      m_session(std::make_unique<PortSession>(comSerial, events)),
      m_endProgram([this] { QCoreApplication::exit(m_endStatus); }),
      m_endLimit(events.createTimer()) {
    m_session->onEvent = [this](const RunEvent& event) {
        m_renderer.render(event, m_session->result(), m_session->machine().FileCheckSum);
    };
    m_session->onEnded = [this] { sessionEnded(); };
    m_release.onClosed = [this] { finishEnding(); };
    m_endLimit->setInterval(static_cast<int>(kEndLimit.count()));
    m_endLimit->setOnTick([this] {
        diagnostic("the port was not let go within " + std::to_string(kEndLimit.count() / 1000) +
                   " s; the program ends without waiting for it");
        finishEnding();
    });
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
    // The lists and a box still up die with the window's base class, after the session; nothing
    // they still signal may reach the handlers by then.
    for (QObject* const child : std::initializer_list<QObject*>{
             m_drvDrive, m_dirDirectory, m_filFiles, static_cast<QObject*>(m_runBox)}) {
        if (child != nullptr) {
            child->disconnect(this);
        }
    }
    m_session.reset();
    // The port outlives the window: it has no one to tell about itself from here on.
    m_port.setListener(nullptr);
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
    // Start pressed during a run (or while the program ends) starts nothing, so there is nothing
    // to log.
    if (m_session->running() || m_ending) {
        return;
    }
    // Taken before the run reads anything: the operator may change it during the run.
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
    m_image.clear();
    m_renderer.beginRun();

    m_image = startPrepared(prepareRun(runChoiceOf(*this, m_runPort, m_executableDirectory)),
                            m_renderer, *m_session);
}

void frmMain::sessionEnded() {
    if (m_owned && m_owned->trace) {
        m_owned->trace->endRun(m_port.devicePath());
    }
    logRun();
    if (m_ending) {
        letPortGo();
        return;
    }
    emit runEnded();
}

void frmMain::runBoxClosed() {
    m_runBox = nullptr;
    m_session->acknowledge();
}

void frmMain::cmdExit_Click() {
    endProgram(0, "Exit");
}

void frmMain::stopBySignal(int signal) {
    // As a shell reports a program that a signal ended.
    endProgram(128 + signal, signalName(signal));
}

void frmMain::endProgram(int status, const std::string& endedBy) {
    if (m_ending) {
        return;
    }
    m_ending = true;
    m_endStatus = status;
    m_endedBy = endedBy;
    m_endLimit->setEnabled(true);
    // The run's box would hold the run until OK; the run is stopped under it instead.
    if (m_runBox != nullptr) {
        m_runBox->disconnect(this);
        m_runBox->close();
        m_runBox = nullptr;
    }
    if (m_session->running()) {
        // Nothing more reaches the instrument; sessionEnded() follows once the port is let go.
        // The stop is taken before the run is logged, so that its line says it was stopped.
        m_session->stop();
        logRun();
        return;
    }
    letPortGo();
}

void frmMain::letPortGo() {
    // A port an earlier run left open is let go too; the session has no run to tell about it.
    if (!m_port.portOpen()) {
        finishEnding();
        return;
    }
    m_port.setListener(&m_release);
    try {
        m_port.purgeOutput();
    } catch (const SerialError& error) {
        // Letting the port go discards the rest all the same.
        diagnostic(std::string("discarding what was queued: ") + error.what());
    }
    m_port.beginClose();
}

void frmMain::finishEnding() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_endLimit->setEnabled(false);
    m_endProgram();
}

std::string frmMain::runPortName() const {
    return "Com" + std::to_string(m_runPort);
}

void frmMain::logRun() {
    if (m_runLogged) {
        return;
    }
    m_runLogged = true;
    m_run.result = m_session->result();
    if (m_run.result.portError == PortErrorKind::Missing) {
        const std::string advice = "Com1 to Com4 may name other devices: see flashupdate --help";
        UpdateView::diagnostic(advice);
        m_log.diagnostic(m_run.runId, m_run.port, advice);
    }
    m_run.imagePath = loggedImagePath(m_run.result.imagePath);
    m_run.endedBy = m_endedBy;
    if (!m_image.empty() || m_run.result.stage != UpdateResult::Stage::Checks) {
        m_run.imageSha256 = sha256Hex(m_image);
        m_run.imageBytes = m_image.size();
    }
    // Where a run looks for it; the run has just looked there.
    const std::filesystem::path bootLoader =
        locateBootLoader(bootLoaderPlaces(m_executableDirectory), kBootLoaderName);
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
        auto* const box =
            new QMessageBox(QMessageBox::Warning, QString::fromUtf8(texts::kDriveErrorTitle),
                            QString::fromUtf8(texts::kDriveError), QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        // Once OK is pressed: the directory list did not move, so its drive is the one shown
        // before. Going back announces a change only if the list had moved on, which bounds the
        // recovery to one more attempt.
        connect(box, &QDialog::finished, this,
                [this] { m_drvDrive->setDrive(m_dirDirectory->Path()); });
        box->open();
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
    // The window cannot go and leave a run driving the port: the program ends as Exit ends it,
    // once the run has stopped and the port is let go.
    if (m_session->running() || m_ending) {
        event->ignore();
        endProgram(0, "closing the window");
        return;
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
    // the boot loader was looked for), so it is logged when the run ends.
    const bool running = m_session->running();
    const UpdateResult& run = m_session->result();
    if (running && run.stage != UpdateResult::Stage::Checks) {
        logRun();
    }
    // A run that fails before its first status (a file, the boot loader, a port that does not
    // open) would leave the last run's verdict in the status line, a success for an instrument it
    // never touched: the box's text goes there too. Only the missing choice of a file, which
    // names no file, leaves the status line as it was.
    const bool nothingChosen = run.stage == UpdateResult::Stage::Checks && run.imagePath.empty();
    if (running && !m_runWroteStatus && !nothingChosen) {
        m_lblStatus->setText(displayText(text));
        m_lblStatus->setVisible(true);
    }
    auto* const box = new QMessageBox(
        icon == MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
        QString::fromUtf8(texts::kApplicationTitle), displayText(text), QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The run waits for OK; the window's loop goes on meanwhile.
    if (running) {
        m_runBox = box;
        connect(box, &QDialog::finished, this, &frmMain::runBoxClosed);
    }
    box->open();
}

void frmMain::progress(Progress what, const UpdateResult& run) {
    if (what != Progress::StageEntered || !m_owned || !m_owned->trace) {
        return;
    }
    TraceFile& trace = *m_owned->trace;
    // Each run may read another image: the trace names it as the run's first stage begins.
    if (run.stage == UpdateResult::Stage::BootLoader) {
        trace.image(loggedImagePath(run.imagePath),
                    m_image.empty() ? std::string() : sha256Hex(m_image).toStdString());
    }
    trace.stage(m_port.devicePath(), m_events.monotonicTime(), nameOf(run.stage));
}

void frmMain::diagnostic(const std::string& text) {
    UpdateView::diagnostic(text);
    // Tied to its run, when the reason belongs to one.
    if (m_session->running()) {
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
