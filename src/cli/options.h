// The command line of flashupdate-cli: its options, the ports they name (a Com number of the
// window's map, a device path, a /dev/serial/by-id alias or usb:VID:PID[:SERIAL]), and
// --list-ports.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "serial/port_map.h"
#include "serial/port_names.h"
#include "serial/tls_policy.h"

namespace flashupdate::cli {

// How much the output says: only each port's result and the summary, what it says by default,
// or that and every diagnostic with each step's timing.
enum class Verbosity { Quiet, Normal, Verbose };

// The command line of flashupdate-cli.
struct CliOptions {
    bool help = false;
    bool version = false;
    bool listPorts = false;
    bool json = false;
    bool dryRun = false;
    // An empty image would have the instrument erased and nothing programmed.
    bool allowEmpty = false;
    // More attempts for a port whose update ended in a way another attempt may cure.
    int retries = 0;
    // At most this many updates at once (--jobs); as many as the limits allow when not given.
    std::optional<std::size_t> jobs;
    Verbosity verbosity = Verbosity::Normal;
    // Where every byte sent and received is recorded (--trace).
    std::optional<std::string> trace;
    std::optional<std::string> bootLoader;
    // --tls-ca, --tls-pin, --tls-cert, --tls-key: over the settings file's, field by field.
    TlsSettings tls;
    std::vector<std::string> ports;
    std::string image;
    // A table of instruments, each with its port and image (--job), or the rows of an earlier
    // report that were not updated (--only-failed), in place of the ports and the image.
    std::optional<std::string> job;
    std::optional<std::string> onlyFailed;
    // Where a table of what became of each instrument is written (--report).
    std::optional<std::string> report;
};

struct ParsedOptions {
    CliOptions options;
    std::string error;  // empty when the command line is usable
};

ParsedOptions parseOptions(const std::vector<std::string>& arguments);

std::string usageText();

// Where one update goes: a Com number of the window's map, or a device named outright.
struct PortTarget {
    std::string label;       // how the output names the port: "Com2", "/dev/ttyUSB0", "usb:..."
    std::string given;       // as the operator gave it: "2", "./com2", "usb:0403:6001"
    PortMap map;             // the map this port's update opens through
    int comNumber = 1;       // the button the update "selects"
    std::string devicePath;  // what is opened
    // The device that path leads to (a by-id alias or a link followed), for spotting the same
    // device named twice and for the records; and its USB adapter's serial number, where the
    // system knows one.
    std::string device;
    std::string adapterSerial;
    TlsSettings tls;  // for a line over TLS
};

struct ResolvedTarget {
    PortTarget target;
    std::string error;  // empty when the name is usable
    // The error is a device that is not there (a port error), not a malformed name.
    bool absent = false;
};

// One name, other than a Com number, resolved against devices, the serial devices present.
ResolvedTarget resolveTarget(const std::string& port, const PortMap& map,
                             const std::vector<SerialDeviceInfo>& devices);

struct ResolvedTargets {
    std::vector<PortTarget> targets;
    std::string error;  // empty when every PORT is usable
    // The error is a device that is not there (a port error), not a malformed command line.
    bool absent = false;
};

// Names other than a Com number are resolved against devices, the serial devices present.
ResolvedTargets resolveTargets(const std::vector<std::string>& ports, const PortMap& map,
                               const std::vector<SerialDeviceInfo>& devices);

// --list-ports: the serial devices present and where Com1 to Com4 point, as lines for a reader
// or as one JSON object.
void listPorts(const PortMap& map, const std::vector<SerialDeviceInfo>& devices,
               const std::string& settingsPath, bool json, std::FILE* out);

}  // namespace flashupdate::cli
