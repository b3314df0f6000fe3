// Whole updates in real time: the engine on the real serial layer and Qt's event loop, the
// instrument simulator at the other end of a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <fstream>
#include <map>
#include <random>

#include "serial/qt_event_loop.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_link.h"
#include "serial/timers.h"
#include "simulator.h"
#include "update/update_procedure.h"

namespace flashupdate::testing {
namespace {

// A window that records; its message boxes are answered at once.
class RecordingView final : public UpdateView {
public:
    std::string fileNameText() const override { return fileName; }
    std::string filesPath() const override { return directory; }
    std::string filesFileName() const override { return fileName; }
    bool comOptionSelected(int port) const override { return port == 1; }
    void setLabelVisible(Label label, bool visible) override { this->visible[label] = visible; }
    void setLabelCaption(Label label, const std::string& caption) override {
        captions[label] = caption;
        if (label == Label::lblStatus) {
            statuses.push_back(caption);
        }
    }
    void showMessage(const std::string& text, MessageIcon) override { messages.push_back(text); }

    std::string fileName;
    std::string directory;
    std::map<Label, std::string> captions;
    std::map<Label, bool> visible;
    std::vector<std::string> statuses;
    std::vector<std::string> messages;
};

std::string randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

void writeFile(const QString& path, const std::string& bytes) {
    std::ofstream out(path.toStdString(), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class EngineE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_bootLoader = randomBytes(511, 1);
        writeFile(m_dir.filePath("BOOTLOAD.IMG"), m_bootLoader);
    }

    // Runs one update against a simulator; returns the wall time in seconds.
    double update(Simulator& simulator, const std::string& image) {
        writeFile(m_dir.filePath("PROG.IMG"), image);
        PortMap map;
        map.setDevicePath(1, simulator.devicePath());
        QtEventLoop events;
        QtSerialPort port(map);
        SerialLink link(port);
        Timers timers(events);
        view.directory = m_dir.path().toStdString();
        view.fileName = "PROG.IMG";
        UpdateProcedure procedure(view, link, timers, m_dir.path().toStdString());
        QElapsedTimer elapsed;
        elapsed.start();
        procedure.cmdStart_Click();
        portOpenAfter = port.portOpen();
        return static_cast<double>(elapsed.elapsed()) / 1000.0;
    }

    QTemporaryDir m_dir;
    std::string m_bootLoader;
    RecordingView view;
    bool portOpenAfter = true;
};

TEST_F(EngineE2E, MultiRecordImageIsFlashedAndVerified) {
    Simulator simulator;
    const std::string image = randomBytes(2 * 16384 + 100, 2);
    const double wall = update(simulator, image);

    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.captions[Label::lblStatus], "FLASH updated successfully  ");
    std::uint32_t sum = 0;
    std::string padded = image + std::string(3 * 16384 - image.size(), '\xFF');
    for (const char c : padded) {
        sum += static_cast<unsigned char>(c);
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", sum);
    EXPECT_EQ(view.captions[Label::lblCheckSum3], hex);
    EXPECT_EQ(view.captions[Label::lblCheckSum4], hex);
    EXPECT_EQ(view.captions[Label::lblBytesT], " 49152");
    EXPECT_EQ(view.captions[Label::lblFileB], " " + std::to_string(image.size()));
    EXPECT_FALSE(portOpenAfter);

    // On the line: the boot loader at 1200 baud, everything else at 9600.
    const std::string boot = simulator.receivedAt(1200);
    const std::string bootExpected = "\xFF" + m_bootLoader;
    const auto bootMismatch =
        std::mismatch(boot.begin(), boot.end(), bootExpected.begin(), bootExpected.end());
    EXPECT_TRUE(boot == bootExpected)
        << "boot differs at " << (bootMismatch.first - boot.begin()) << " of " << boot.size()
        << " expected " << bootExpected.size() << " loader " << m_bootLoader.size();
    std::string expected = "E";
    for (int k = 0; k < 3; ++k) {
        expected += 'P';
        expected += static_cast<char>(0x40 + 8 * k);
        expected += padded.substr(static_cast<std::size_t>(k) * 16384, 16384);
    }
    expected += "CX";
    const std::string received = simulator.receivedAt(9600);
    const auto mismatch =
        std::mismatch(received.begin(), received.end(), expected.begin(), expected.end());
    EXPECT_TRUE(received == expected)
        << "the 9600-baud bytes differ at " << (mismatch.first - received.begin()) << " of "
        << received.size() << "/" << expected.size();
    // The fixed waits alone take 1 + 2 + 1 + 1 + 1 + 2 + 1 s.
    EXPECT_GE(wall, 9.0);
    EXPECT_LT(wall, 30.0);
}

TEST_F(EngineE2E, SilentInstrumentGetsTwoEraseCommandsSixSecondsApart) {
    Simulator simulator({"--fault", "erase-silent"});
    update(simulator, randomBytes(100, 3));
    EXPECT_EQ(view.messages, std::vector<std::string>{" Programming Error\r\nFLASH not Updated"});
    EXPECT_EQ(view.captions[Label::lblStatus], "FLASH not Updated");
    EXPECT_FALSE(portOpenAfter);
    const auto erases = simulator.arrivals(9600, 'E');
    ASSERT_EQ(erases.size(), 2u);
    EXPECT_NEAR(erases[1] - erases[0], 6.0, 0.8);
    EXPECT_EQ(simulator.receivedAt(9600), "EE");
}

TEST_F(EngineE2E, BadChecksumIsReportedAfterFinishing) {
    Simulator simulator({"--fault", "bad-checksum"});
    update(simulator, randomBytes(1000, 4));
    EXPECT_EQ(view.messages,
              std::vector<std::string>{"FLASH not updated successfully : BAD CHECKSUM"});
    EXPECT_EQ(view.captions[Label::lblStatus], "FLASH not updated successfully ");
    EXPECT_NE(view.captions[Label::lblCheckSum3], view.captions[Label::lblCheckSum4]);
    const std::string received = simulator.receivedAt(9600);
    ASSERT_FALSE(received.empty());
    // "X" reached the instrument although the port was closed right after it.
    EXPECT_EQ(received.back(), 'X');
    EXPECT_FALSE(portOpenAfter);
}

TEST_F(EngineE2E, InstrumentVanishingMidTransferEndsTheRunWithoutHanging) {
    Simulator simulator;
    // Gone during the second record: far more of the image is left than the line can buffer.
    simulator.killOn("record 0x48");
    const double wall = update(simulator, randomBytes(24 * 16384, 5));
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0], "Can't open " + m_dir.filePath("PROG.IMG").toStdString());
    EXPECT_EQ(view.captions[Label::lblStatus], "Sending Program");
    EXPECT_LT(wall, 40.0);
}

}  // namespace
}  // namespace flashupdate::testing
