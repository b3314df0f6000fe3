#include "serial/qt/serial_diagnostics.h"

#include <QSerialPortInfo>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "serial/port_names.h"

namespace flashupdate {

namespace fs = std::filesystem;

std::string usbIds(const QSerialPortInfo& info) {
    if (!info.hasVendorIdentifier() || !info.hasProductIdentifier()) {
        return {};
    }
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB %04x:%04x", info.vendorIdentifier(),
                  info.productIdentifier());
    return ids;
}

std::string describeDevice(const std::string& devicePath) {
    std::string text = devicePath;
    if (isNetworkPortName(devicePath)) {
        return text + (isSecureNetworkPortName(devicePath)
                           ? ": a serial device server (RFC 2217 over TLS)"
                           : ": a serial device server (RFC 2217)");
    }
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(devicePath, error);
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const std::string location = info.systemLocation().toStdString();
        if (location != devicePath && (error || location != resolved.string())) {
            continue;
        }
        if (!info.description().isEmpty()) {
            text += ": " + info.description().toStdString();
        }
        if (const std::string ids = usbIds(info); !ids.empty()) {
            text += " (" + ids + ")";
        }
        break;
    }
    return text;
}

std::string deviceHolders(const std::string& devicePath) {
#ifdef __linux__
    std::error_code error;
    const fs::path device = fs::weakly_canonical(devicePath, error);
    if (error) {
        return {};
    }
    std::set<std::string> names;
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code fdError;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd.path(), linkError) == device) {
                std::ifstream comm(process.path() / "comm");
                std::string name;
                std::getline(comm, name);
                names.insert(name + " (pid " + pid + ")");
                break;
            }
        }
    }
    std::string text;
    for (const auto& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
#else
    (void)devicePath;
    return {};
#endif
}

std::string remedyForDevice(const std::string& devicePath, PortErrorKind kind) {
    switch (kind) {
        case PortErrorKind::Permission:
#ifdef __linux__
            return "Serial ports belong to the dialout group: add your user to it "
                   "(sudo usermod -aG dialout $USER), then log in again.";
#else
            return "Check that this account may use the port.";
#endif
        case PortErrorKind::Busy: {
            const std::string holders = deviceHolders(devicePath);
            std::string text = "Another program holds the port";
            text += holders.empty() ? "" : ": " + holders;
            text += ". Close it and try again.";
#ifdef __linux__
            if (holders.find("ModemManager") != std::string::npos) {
                text +=
                    " ModemManager probes serial adapters: stop it, or mark the adapter "
                    "with a udev rule setting ENV{ID_MM_DEVICE_IGNORE}=\"1\".";
            }
#endif
            return text;
        }
        case PortErrorKind::Missing:
#ifdef __linux__
            if (devicePath.find("ttyUSB") != std::string::npos ||
                devicePath.find("ttyACM") != std::string::npos ||
                devicePath.find("/dev/serial/") != std::string::npos) {
                return "Check that the USB adapter is plugged in. If it vanishes as soon as it is "
                       "plugged in, brltty may claim it (dmesg shows \"claimed by ... brltty\"): "
                       "remove brltty or disable its udev rule.";
            }
            return "Check the cable and the device name. Com1 to Com4 can name other devices in "
                   "~/.config/Quenlid/flashupdate.conf.";
#else
            return "Check that the port exists and the adapter is plugged in.";
#endif
        case PortErrorKind::TooManyFiles:
            return "The program has run out of open files: raise the limit (ulimit -n) or update "
                   "fewer instruments at once.";
        default:
            break;
    }
    return {};
}

}  // namespace flashupdate
