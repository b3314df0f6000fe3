// Times complete updates against the instrument simulator taking bytes at the real pace of the
// line: wall time beside the floor (the waits the procedure prescribes plus the line time of the
// boot loader and the records, which no implementation can beat), and the program's CPU time as
// a share of its wall time.
//
//   bench-update [--runs N] [--records N]
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "cli/text_formats.h"
#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "update/protocol.h"
#include "update/update_procedure.h"

namespace {

using namespace flashupdate;

class QuietView final : public UpdateView {
public:
    std::string fileNameText() const override { return "BENCH.IMG"; }
    std::string filesPath() const override { return directory; }
    std::string filesFileName() const override { return "BENCH.IMG"; }
    bool comOptionSelected(int port) const override { return port == 1; }
    void setLabelVisible(Label, bool) override {}
    void setLabelCaption(Label label, const std::string& caption) override {
        if (label == Label::lblStatus) {
            status = caption;
        } else if (label == Label::lblBytesT && !caption.empty() && onProgress) {
            onProgress(std::stol(caption));
        }
    }
    void showMessage(const std::string& text, MessageIcon) override { messages += text + "; "; }

    std::string directory;
    std::string status;
    std::string messages;
    std::function<void(long)> onProgress;
};

// Bytes the instrument has received at 9600 baud so far, from the simulator's transcript.
long receivedAtCommandSpeed(const QString& transcript) {
    std::ifstream in(transcript.toStdString());
    std::string line;
    long count = 0;
    while (std::getline(in, line)) {
        count += line.find(" 9600 ") != std::string::npos ? 1 : 0;
    }
    return count;
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void writeBytes(const QString& path, std::size_t count, unsigned pattern) {
    std::ofstream out(path.toStdString(), std::ios::binary);
    for (std::size_t i = 0; i < count; ++i) {
        pattern = pattern * 1103515245u + 12345u;
        out.put(static_cast<char>(pattern >> 16));
    }
}

// A whole successful run on the line: what the command-line flasher expects at its start.
double floorSeconds(int records) {
    const auto floor = cli::timeLeft(UpdateResult::Stage::BootLoader, UpdateResult::Erased::No, 0,
                                     static_cast<std::uint64_t>(records) * protocol::kRecordBytes);
    return static_cast<double>(floor.count()) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    int runs = 3;
    int records = 3;
    const QStringList arguments = application.arguments();
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == "--runs") {
            runs = arguments[i + 1].toInt();
        } else if (arguments[i] == "--records") {
            records = arguments[i + 1].toInt();
        }
    }

    QTemporaryDir dir;
    writeBytes(dir.filePath("BOOTLOAD.IMG"), 511, 1);
    writeBytes(dir.filePath("BENCH.IMG"), static_cast<std::size_t>(records) * 16384, 2);

    QProcess simulator;
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The erase takes no time of its own, so the floor is the procedure's waits and the line.
    const QString transcript = dir.filePath("transcript.txt");
    simulator.start(QCoreApplication::applicationDirPath() + "/instrument-sim",
                    {"--erase-ms", "0", "--paced", "--transcript", transcript});
    if (!simulator.waitForStarted() || !simulator.waitForReadyRead(10'000)) {
        std::fprintf(stderr, "bench-update: instrument-sim does not start\n");
        return 1;
    }
    const std::string device = simulator.readLine().trimmed().toStdString();

    const double floor = floorSeconds(records);
    std::printf("%d runs, image of %d records (%d bytes), floor %.3f s\n", runs, records,
                records * 16384, floor);
    // Lead: how many data bytes the progress shown was ahead of what the instrument had.
    std::printf("%4s  %9s  %9s  %9s  %9s  %9s  %s\n", "run", "wall s", "floor s", "over s", "CPU %",
                "lead B", "verdict");
    int failures = 0;
    for (int run = 1; run <= runs; ++run) {
        PortMap map;
        map.setDevicePath(1, device);
        QtEventLoop events;
        SerialControl port(map, events, systemTransports());
        QuietView view;
        view.directory = dir.path().toStdString();
        UpdateProcedure procedure(view, port, events, dir.path().toStdString());
        QEventLoop loop;
        procedure.onEnded = [&loop] { loop.quit(); };
        // Every record but the current one has its command and block number on the line too.
        const long before = receivedAtCommandSpeed(transcript);
        long lead = 0;
        view.onProgress = [&](long shown) {
            const long records = (shown - 1) / static_cast<long>(protocol::kRecordBytes) + 1;
            const long data = receivedAtCommandSpeed(transcript) - before - 1 - 2 * records;
            lead = std::max(lead, shown - data);
        };

        const double cpuBefore = cpuSeconds();
        QElapsedTimer elapsed;
        elapsed.start();
        procedure.cmdStart_Click();
        if (procedure.running()) {
            loop.exec();
        }
        const double wall = static_cast<double>(elapsed.nsecsElapsed()) / 1e9;
        const double cpu = cpuSeconds() - cpuBefore;
        const bool ok = view.status == "FLASH updated successfully  " && view.messages.empty();
        failures += ok ? 0 : 1;
        std::printf("%4d  %9.3f  %9.3f  %9.3f  %9.2f  %9ld  %s\n", run, wall, floor, wall - floor,
                    100.0 * cpu / wall, lead,
                    ok ? "updated" : (view.status + " " + view.messages).c_str());
    }
    simulator.terminate();
    simulator.waitForFinished();
    return failures == 0 ? 0 : 1;
}
