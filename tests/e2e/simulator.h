// The instrument simulator as a child process: its pseudo-terminal, its event lines and the
// transcript of every byte it received, with the time and the line speed.
#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <string>
#include <vector>

namespace flashupdate::testing {

struct ReceivedByte {
    double seconds;
    int baud;
    unsigned char value;
};

class Simulator {
public:
    explicit Simulator(const QStringList& options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& devicePath() const { return m_devicePath; }
    std::vector<ReceivedByte> transcript() const;
    // The bytes received at the given speed.
    std::string receivedAt(int baud) const;
    // Times at which the given byte arrived at the given speed.
    std::vector<double> arrivals(int baud, unsigned char value) const;

    void kill();
    // Ends the simulator afterMs after it reports an event line starting with text, as a cable
    // pulled at that moment would.
    void killOn(const QString& text, int afterMs = 0);

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    std::string m_devicePath;
};

}  // namespace flashupdate::testing
