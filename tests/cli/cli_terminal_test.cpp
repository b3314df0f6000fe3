// flashupdate-cli with its output on a terminal, as an operator sees it: the live line with its
// bar, each result once, in colour unless NO_COLOR says otherwise, and plain lines on a dumb one.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QProcessEnvironment>
#include <QRegularExpression>
#include <map>
#include <optional>
#include <vector>

#include "processes.h"
#include "serial/pty_pair.h"

namespace flashupdate::cli::testing {
namespace {

using flashupdate::testing::PtyPair;

// The shell says so once flashupdate-cli has ended: everything it wrote is on the terminal by
// then, so the screen is read to this line and no further.
constexpr const char* kEnded = "[ended with ";

// flashupdate-cli run by a shell whose standard output and error are a pseudo-terminal, in a
// process group of its own that goes with this object, whatever happens to the test.
class TerminalRun {
public:
    // environment: variables to set; an empty value unsets one.
    TerminalRun(const QStringList& arguments, const std::map<QString, QString>& environment) {
        winsize size{};
        size.ws_col = 160;
        size.ws_row = 40;
        ::ioctl(m_terminal.master(), TIOCSWINSZ, &size);

        QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
        for (const auto& [name, value] : environment) {
            if (value.isEmpty()) {
                variables.remove(name);
            } else {
                variables.insert(name, value);
            }
        }
        std::vector<std::string> words{"sh", "-c", "\"$0\" \"$@\"; echo \"[ended with $?]\"",
                                       FLASHUPDATE_CLI_PATH};
        for (const QString& argument : arguments) {
            words.push_back(argument.toStdString());
        }
        std::vector<std::string> settings;
        for (const QString& setting : variables.toStringList()) {
            settings.push_back(setting.toStdString());
        }
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& setting : settings) {
            envp.push_back(setting.data());
        }
        envp.push_back(nullptr);

        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, m_terminal.slavePath().c_str(),
                                         O_WRONLY | O_NOCTTY, 0);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        const int failed =
            ::posix_spawn(&m_pid, "/bin/sh", &files, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
        if (failed != 0) {
            m_pid = -1;
        }
    }
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;
    ~TerminalRun() {
        if (m_pid > 0) {
            ::kill(-m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // Reads the screen until flashupdate-cli has ended; its exit status, or nullopt when it
    // did not end in time.
    std::optional<int> finish(int timeoutMs = 120'000) {
        if (m_pid <= 0) {
            return std::nullopt;
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::size_t end = std::string::npos;
        while ((end = m_screen.find(kEnded)) == std::string::npos ||
               m_screen.find(']', end) == std::string::npos) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::milliseconds(0)) {
                return std::nullopt;
            }
            m_screen += m_terminal.receive(
                1, static_cast<int>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
        }
        const int status = std::stoi(m_screen.substr(end + std::string(kEnded).size()));
        m_screen.erase(end);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return status;
    }

    // Every byte flashupdate-cli wrote to the terminal.
    const std::string& screen() const { return m_screen; }

private:
    PtyPair m_terminal;
    pid_t m_pid = -1;
    std::string m_screen;
};

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

using CliTerminal = CliFixture;

TEST_F(CliTerminal, TheLiveLineHasABarAndEachResultComesOnceInColourUnlessNoColorIsSet) {
    SimulatorProcess first;
    SimulatorProcess second;
    // Both at once, and a dumb terminal meanwhile: one update's time for all three.
    TerminalRun coloured(update(first.device()), {{"TERM", "xterm-256color"}, {"NO_COLOR", ""}});
    TerminalRun plain(update(second.device()), {{"TERM", "xterm-256color"}, {"NO_COLOR", "1"}});
    TerminalRun dumb(update(m_dir.filePath("no-such-tty")), {{"TERM", "dumb"}, {"NO_COLOR", ""}});

    EXPECT_EQ(dumb.finish(), 4);
    // Only the plain log lines: nothing that moves the cursor, nothing in colour.
    EXPECT_EQ(dumb.screen().find('\x1b'), std::string::npos) << dumb.screen();
    EXPECT_EQ(count(dumb.screen(), "Not updated (port-error)"), 1u) << dumb.screen();

    for (TerminalRun* run : {&coloured, &plain}) {
        const bool colour = run == &coloured;
        SCOPED_TRACE(colour ? "coloured" : "NO_COLOR=1");
        ASSERT_EQ(run->finish(), 0) << run->screen();
        const std::string& screen = run->screen();
        // The bar at each count the run reports: half of it at half the bytes, all at the end,
        // with the time still to go.
        EXPECT_NE(screen.find("  [##########..........] 8192/16384 bytes  50%  "),
                  std::string::npos)
            << screen;
        EXPECT_NE(screen.find("  [####################] 16384/16384 bytes  100%  "),
                  std::string::npos)
            << screen;
        EXPECT_TRUE(QRegularExpression(R"(50%  0:\d\d left)")
                        .match(QString::fromStdString(screen))
                        .hasMatch());
        // The result once, and not again as a live line.
        EXPECT_EQ(count(screen, "Updated; checksum "), 1u) << screen;
        EXPECT_EQ(count(screen, "\x1b[32mUpdated; checksum "), colour ? 1u : 0u) << screen;
        EXPECT_EQ(count(screen, "\x1b[0m"), colour ? 1u : 0u) << screen;
    }
}

}  // namespace
}  // namespace flashupdate::cli::testing
