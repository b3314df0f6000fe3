// flashupdate-cli with its output on a terminal, as an operator sees it: the live line with its
// bar, each result once, in colour unless NO_COLOR says otherwise, and plain lines on a dumb one.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <memory>

#include "processes.h"
#include "serial/pty_pair.h"

namespace flashupdate::cli::testing {
namespace {

// flashupdate-cli with its standard output on a pseudo-terminal 160 columns wide; the process
// goes with this object.
struct TerminalRun {
    TerminalRun(const QStringList& arguments, const QString& term, bool noColor) {
        winsize size{};
        size.ws_col = 160;
        ::ioctl(terminal.master(), TIOCSWINSZ, &size);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TERM", term);
        environment.remove("NO_COLOR");
        if (noColor) {
            environment.insert("NO_COLOR", "1");
        }
        process.setProcessEnvironment(environment);
        const int screen = ::open(terminal.slavePath().c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        process.setChildProcessModifier([screen] { ::dup2(screen, STDOUT_FILENO); });
        process.start(FLASHUPDATE_CLI_PATH, arguments);
        ::close(screen);
    }
    // Reads the terminal up to the end of the result, which is the last thing written.
    int finish() {
        for (;;) {
            const auto result = output.rfind("(exit status ");
            if (result != std::string::npos && output.find('\n', result) != std::string::npos) {
                break;
            }
            const std::string more = terminal.receive(1, 120'000);
            if (more.empty()) {
                return -1;
            }
            output += more;
        }
        process.waitForFinished(30'000);
        output += terminal.receive(1 << 20, 200);
        return process.exitCode();
    }
    std::size_t count(const std::string& part) const {
        std::size_t found = 0;
        for (auto at = output.find(part); at != std::string::npos; at = output.find(part, at + 1)) {
            ++found;
        }
        return found;
    }

    flashupdate::testing::PtyPair terminal;
    QProcess process;
    std::string output;
};

using CliTerminal = CliFixture;

TEST_F(CliTerminal, TheLiveLineHasABarAndEachResultComesOnceInColourUnlessNoColorIsSet) {
    SimulatorProcess first;
    SimulatorProcess second;
    // Both at once, and a dumb terminal meanwhile: one update's time for all three.
    TerminalRun coloured(update(first.device()), "xterm-256color", false);
    TerminalRun plain(update(second.device()), "xterm-256color", true);
    TerminalRun dumb(update(m_dir.filePath("no-such-tty")), "dumb", false);

    EXPECT_EQ(dumb.finish(), 4);
    // Only the plain log lines: nothing that moves the cursor, nothing in colour.
    EXPECT_EQ(dumb.output.find('\x1b'), std::string::npos) << dumb.output;
    for (TerminalRun* run : {&coloured, &plain}) {
        const bool colour = run == &coloured;
        SCOPED_TRACE(colour ? "coloured" : "NO_COLOR=1");
        ASSERT_EQ(run->finish(), 0) << run->output;
        // The bar at each count the run reports, with the time still to go.
        EXPECT_GT(run->count("  [##########..........] 8192/16384 bytes  50%  0:"), 0u)
            << run->output;
        EXPECT_GT(run->count("  [####################] 16384/16384 bytes  100%  0:"), 0u);
        // The result once, and not again as a live line.
        EXPECT_EQ(run->count("Updated; checksum "), 1u) << run->output;
        EXPECT_EQ(run->count("\x1b[32mUpdated; checksum "), colour ? 1u : 0u);
        EXPECT_EQ(run->count("\x1b[0m"), colour ? 1u : 0u);
    }
}

}  // namespace
}  // namespace flashupdate::cli::testing
