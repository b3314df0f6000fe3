#include "cli/port_target.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace flashupdate::cli {

namespace {

bool allDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return c >= '0' && c <= '9'; });
}

// Symlinks such as the simulator's --link name the same device as their target.
std::string sameDeviceKey(const std::string& path) {
    std::error_code error;
    const auto canonical = std::filesystem::weakly_canonical(path, error);
    return error ? path : canonical.string();
}

}  // namespace

ResolvedTargets resolveTargets(const std::vector<std::string>& ports, const PortMap& environment) {
    ResolvedTargets resolved;
    for (const std::string& port : ports) {
        PortTarget target;
        if (allDigits(port)) {
            const int number = port.size() > 2 ? 0 : std::stoi(port);
            if (number < PortMap::kFirstPort || number > PortMap::kLastPort) {
                resolved.error = "port " + port + " is not 1 to 4 nor a device path";
                return resolved;
            }
            target.label = "Com" + std::to_string(number);
            target.map = environment;
            target.comNumber = number;
            target.devicePath = environment.devicePath(number);
        } else {
            // A device of its own: its update has a map of its own with the device as Com1.
            target.label = port;
            target.map.setDevicePath(1, port);
            target.comNumber = 1;
            target.devicePath = port;
        }
        for (const PortTarget& earlier : resolved.targets) {
            if (sameDeviceKey(earlier.devicePath) == sameDeviceKey(target.devicePath)) {
                resolved.error = "port " + port + " names the device of " + earlier.label +
                                 " again (" + target.devicePath + ")";
                return resolved;
            }
        }
        resolved.targets.push_back(std::move(target));
    }
    return resolved;
}

}  // namespace flashupdate::cli
