#include "serial/qt/serial_diagnostics.h"

#include <QSerialPortInfo>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <vector>

#ifdef __linux__
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

namespace {

// Names of the processes that hold the device open, as far as the system lets us see.
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

// The device's access as the system tells it; nullopt when it cannot be read.
std::optional<FailureFacts::Access> deviceAccess(const std::string& devicePath) {
#ifdef __linux__
    struct stat status {};
    if (::stat(devicePath.c_str(), &status) != 0) {
        return std::nullopt;
    }
    FailureFacts::Access access;
    const passwd* const owner = ::getpwuid(status.st_uid);
    access.owner = owner != nullptr ? owner->pw_name : std::to_string(status.st_uid);
    const group* const named = ::getgrgid(status.st_gid);
    access.group = named != nullptr ? named->gr_name : std::to_string(status.st_gid);
    access.groupIsRoot = status.st_gid == 0;
    access.mode = status.st_mode & 07777;
    access.inGroup = ::getegid() == status.st_gid;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
    if (count > 0 && ::getgroups(count, groups.data()) == count) {
        access.inGroup = access.inGroup ||
                         std::find(groups.begin(), groups.end(), status.st_gid) != groups.end();
    }
    return access;
#else
    (void)devicePath;
    return std::nullopt;
#endif
}

}  // namespace

FailureFacts deviceFacts(const std::string& devicePath, PortErrorKind kind) {
    FailureFacts facts;
    facts.medium = FailureFacts::Medium::Device;
    facts.device = devicePath;
    if (kind == PortErrorKind::Permission) {
        facts.access = deviceAccess(devicePath);
    } else if (kind == PortErrorKind::Busy) {
        facts.holders = deviceHolders(devicePath);
    }
    return facts;
}

}  // namespace flashupdate
