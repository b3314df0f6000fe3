// Names a technician may give a port besides a device path: the stable alias a USB adapter has
// under /dev/serial/by-id, or "usb:VID:PID[:SERIAL]". They are resolved against a listing of the
// serial devices present, which tests can fake.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flashupdate {

// One serial device the system knows.
struct SerialDeviceInfo {
    std::string path;      // "/dev/ttyUSB0"
    std::string byIdPath;  // "/dev/serial/by-id/usb-FTDI_..."; empty when udev made none
    std::string description;
    std::string manufacturer;
    std::string serialNumber;
    std::optional<std::uint16_t> vendorId;
    std::optional<std::uint16_t> productId;
};

// "0403:6001"; empty without both numbers.
std::string vidPidText(const SerialDeviceInfo& device);

struct PortNameResolution {
    std::string devicePath;  // what to open; empty on an error
    std::string error;       // a sentence for the technician
    // The name is well formed but no device present answers to it (an adapter not plugged in).
    bool absent = false;
};

// What a port name means:
// - "usb:0403:6001" or "usb:0403:6001:A9XK3LQD": the one device with those numbers (and serial);
// - "/dev/serial/by-id/NAME", or NAME alone: the device of that alias;
// - any other path: itself, untouched.
// Names that cannot mean a device here ("COM1" on Linux, "0403:6001") get a hint.
PortNameResolution resolvePortName(const std::string& name,
                                   const std::vector<SerialDeviceInfo>& devices);

// A serial line behind a serial device server: "rfc2217://HOST:PORT", or "rfc2217+tls://HOST:PORT"
// for the same over TLS; HOST a name, an IPv4 address or a bracketed IPv6 address
// ("rfc2217://[fd00::7]:4001").
struct NetworkPortName {
    std::string host;  // without brackets
    std::uint16_t port = 0;
    bool tls = false;
};
inline constexpr const char* kNetworkPortScheme = "rfc2217://";
inline constexpr const char* kSecureNetworkPortScheme = "rfc2217+tls://";
// Either scheme.
bool isNetworkPortName(const std::string& name);
bool isSecureNetworkPortName(const std::string& name);
// nullopt when the name is not of that form or has no usable host or port.
std::optional<NetworkPortName> parseNetworkPortName(const std::string& name);

// What the system opens for a device name: a name holding a "/" is a path, taken from the
// current directory when it does not start at the root ("dev/ttyX" is not "/dev/dev/ttyX"); a
// bare name ("ttyUSB0") is left to the serial control, which finds it under /dev.
std::string deviceToOpen(const std::string& name);

// The device a name leads to, for telling one device under two names and for the records: links
// (the by-id aliases, the simulator's --link) followed, a relative path from the current
// directory, a bare name under /dev. A serial device server's name stays as it is.
std::string resolvedDevice(const std::string& name);

// The serial number of the USB adapter that is this resolved device, where the system knows one;
// empty otherwise.
std::string adapterSerialOf(const std::string& device,
                            const std::vector<SerialDeviceInfo>& devices);

}  // namespace flashupdate
