#include "serial/port_names.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>

namespace flashupdate {

namespace {

constexpr const char* kByIdDirectory = "/dev/serial/by-id/";

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<std::string> splitAtColons(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t colon; (colon = text.find(':', start)) != std::string::npos;
         start = colon + 1) {
        parts.push_back(text.substr(start, colon - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::optional<std::uint16_t> hexNumber(const std::string& text) {
    if (text.empty() || text.size() > 4) {
        return std::nullopt;
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

bool looksLikeVidPid(const std::string& name) {
    const auto parts = splitAtColons(name);
    return parts.size() == 2 && parts[0].size() == 4 && parts[1].size() == 4 &&
           hexNumber(parts[0]) && hexNumber(parts[1]);
}

// On Windows such a name is a device like any other.
#ifndef _WIN32
bool looksLikeWindowsPort(const std::string& name) {
    const std::string lower = lowered(name);
    return lower.size() > 3 && lower.starts_with("com") &&
           std::all_of(lower.begin() + 3, lower.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}
#endif

std::string whatIsPresent(const std::vector<SerialDeviceInfo>& devices) {
    if (devices.empty()) {
        return "no serial device is present";
    }
    std::string text = "present:";
    for (const SerialDeviceInfo& device : devices) {
        text += " " + device.path;
        if (const std::string ids = vidPidText(device); !ids.empty()) {
            text += " (usb:" + ids +
                    (device.serialNumber.empty() ? "" : ":" + device.serialNumber) + ")";
        }
        text += device.path == devices.back().path ? "" : ",";
    }
    return text;
}

// The path a match is opened by: its stable alias where it has one.
std::string pathToOpen(const SerialDeviceInfo& device) {
    return device.byIdPath.empty() ? device.path : device.byIdPath;
}

PortNameResolution fromUsbIds(const std::string& name,
                              const std::vector<SerialDeviceInfo>& devices) {
    const auto parts = splitAtColons(name.substr(4));
    const auto vendor = parts.size() >= 2 ? hexNumber(parts[0]) : std::nullopt;
    const auto product = parts.size() >= 2 ? hexNumber(parts[1]) : std::nullopt;
    if (!vendor || !product || parts.size() > 3 || (parts.size() == 3 && parts[2].empty())) {
        return {{}, name + " is not usb:VID:PID or usb:VID:PID:SERIAL, with VID and PID in hex"};
    }
    std::vector<const SerialDeviceInfo*> matches;
    for (const SerialDeviceInfo& device : devices) {
        if (device.vendorId == vendor && device.productId == product &&
            (parts.size() < 3 || device.serialNumber == parts[2])) {
            matches.push_back(&device);
        }
    }
    if (matches.size() == 1) {
        return {pathToOpen(*matches.front()), {}};
    }
    if (matches.empty()) {
        return {{}, "no serial device matches " + name + "; " + whatIsPresent(devices), true};
    }
    std::string error = name + " matches " + std::to_string(matches.size()) + " devices:";
    for (const SerialDeviceInfo* match : matches) {
        error += " " + match->path +
                 (match->serialNumber.empty()
                      ? " (no serial number)"
                      : " (usb:" + vidPidText(*match) + ":" + match->serialNumber + ")");
    }
    return {{}, error + "; name one by its serial number or its device path"};
}

}  // namespace

std::string vidPidText(const SerialDeviceInfo& device) {
    if (!device.vendorId || !device.productId) {
        return {};
    }
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", *device.vendorId, *device.productId);
    return text;
}

bool isNetworkPortName(const std::string& name) {
    return lowered(name).starts_with(kNetworkPortScheme) || isSecureNetworkPortName(name);
}

bool isSecureNetworkPortName(const std::string& name) {
    return lowered(name).starts_with(kSecureNetworkPortScheme);
}

std::optional<NetworkPortName> parseNetworkPortName(const std::string& name) {
    if (!isNetworkPortName(name)) {
        return std::nullopt;
    }
    const bool tls = isSecureNetworkPortName(name);
    std::string rest =
        name.substr(std::string_view(tls ? kSecureNetworkPortScheme : kNetworkPortScheme).size());
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return std::nullopt;
    }
    NetworkPortName parsed;
    parsed.tls = tls;
    parsed.host = rest.substr(0, colon);
    if (parsed.host.front() == '[') {
        if (parsed.host.size() < 3 || parsed.host.back() != ']') {
            return std::nullopt;
        }
        parsed.host = parsed.host.substr(1, parsed.host.size() - 2);
    } else if (parsed.host.find_first_of(":/[]") != std::string::npos) {
        return std::nullopt;
    }
    const std::string port = rest.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (error != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
        return std::nullopt;
    }
    parsed.port = static_cast<std::uint16_t>(value);
    return parsed;
}

PortNameResolution resolvePortName(const std::string& name,
                                   const std::vector<SerialDeviceInfo>& devices) {
    if (isNetworkPortName(name)) {
        if (!parseNetworkPortName(name)) {
            return {{},
                    name +
                        " is not a serial device server's address: write rfc2217://HOST:PORT, "
                        "or rfc2217+tls://HOST:PORT over TLS"};
        }
        return {name, {}};
    }
    if (lowered(name).starts_with("usb:")) {
        return fromUsbIds(name, devices);
    }
    const bool underById = name.starts_with(kByIdDirectory);
    const bool bareName = name.find('/') == std::string::npos;
    if (underById || bareName) {
        const std::string alias = underById ? name : kByIdDirectory + name;
        for (const SerialDeviceInfo& device : devices) {
            if (device.byIdPath == alias) {
                return {alias, {}};
            }
        }
        if (underById) {
            return {{}, "no serial device " + name + "; " + whatIsPresent(devices), true};
        }
    }
#ifndef _WIN32
    if (looksLikeWindowsPort(name)) {
        return {{},
                name +
                    " is a Windows name: give 1 to 4 for Com1 to Com4, or a device path such as "
                    "/dev/ttyUSB0 or /dev/serial/by-id/..., or usb:VID:PID (see --list-ports)"};
    }
#endif
    if (looksLikeVidPid(name)) {
        return {{}, name + " looks like a USB vendor and product: write usb:" + name};
    }
    return {name, {}};
}

std::string deviceToOpen(const std::string& name) {
#ifndef _WIN32
    if (name.find('/') != std::string::npos && !name.starts_with('/') && !isNetworkPortName(name)) {
        std::error_code error;
        const std::filesystem::path absolute = std::filesystem::absolute(name, error);
        if (!error) {
            return absolute.lexically_normal().string();
        }
    }
#endif
    return name;
}

std::string resolvedDevice(const std::string& name) {
    if (isNetworkPortName(name)) {
        return name;
    }
#ifndef _WIN32
    const std::string path = name.find('/') == std::string::npos ? "/dev/" + name : name;
#else
    const std::string& path = name;
#endif
    std::error_code error;
    const auto canonical = std::filesystem::weakly_canonical(path, error);
    return error ? path : canonical.string();
}

std::string adapterSerialOf(const std::string& device,
                            const std::vector<SerialDeviceInfo>& devices) {
    for (const SerialDeviceInfo& each : devices) {
        if (resolvedDevice(each.path) == device) {
            return each.serialNumber;
        }
    }
    return {};
}

}  // namespace flashupdate
