#include "cli/options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <QJsonArray>
#include <QJsonObject>

#include <system_error>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <tuple>

#include "cli/outcome.h"
#include "cli/text_formats.h"
#include "serial/qt/serial_devices.h"
#include "serial/qt/serial_diagnostics.h"

namespace flashupdate::cli {

namespace {

// Arguments are bytes, and a file name need not be UTF-8: each byte travels as the character
// of the same code through Qt's parser and back, so no name is changed on the way.
QString fromBytes(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string toBytes(const QString& text) {
    return text.toLatin1().toStdString();
}

// "--port" or "-p", as the command line named an option.
std::string dashed(const QString& name) {
    return (name.size() == 1 ? "-" : "--") + toBytes(name);
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    CliOptions& options = parsed.options;

    QCommandLineParser parser;
    // "-nj" is "-n -j"; "-p3" is "-p 3".
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    const QCommandLineOption help({"h", "help"}, {});
    const QCommandLineOption version({"V", "version"}, {});
    const QCommandLineOption listPorts("list-ports", {});
    const QCommandLineOption json({"j", "json"}, {});
    const QCommandLineOption dryRun({"n", "dry-run"}, {});
    const QCommandLineOption allowEmpty("allow-empty", {});
    const QCommandLineOption port({"p", "port"}, {}, "PORT");
    const QCommandLineOption bootLoader({"b", "bootloader"}, {}, "FILE");
    const QCommandLineOption retries("retries", {}, "N");
    const QCommandLineOption jobs({"J", "jobs"}, {}, "N");
    const QCommandLineOption quiet({"q", "quiet"}, {});
    const QCommandLineOption verbose({"v", "verbose"}, {});
    const QCommandLineOption trace("trace", {}, "FILE");
    const QCommandLineOption job("job", {}, "FILE");
    const QCommandLineOption report("report", {}, "FILE");
    const QCommandLineOption onlyFailed("only-failed", {}, "REPORT");
    parser.addOptions({help, version, listPorts, json, dryRun, allowEmpty, port, bootLoader,
                       retries, jobs, quiet, verbose, trace, job, report, onlyFailed});
    const std::pair<QCommandLineOption, std::string TlsSettings::*> tlsOptions[] = {
        {QCommandLineOption("tls-ca", {}, "FILE"), &TlsSettings::caFile},
        {QCommandLineOption("tls-pin", {}, "sha256:HEX"), &TlsSettings::pin},
        {QCommandLineOption("tls-cert", {}, "FILE"), &TlsSettings::certFile},
        {QCommandLineOption("tls-key", {}, "FILE"), &TlsSettings::keyFile},
    };
    for (const auto& [option, field] : tlsOptions) {
        parser.addOption(option);
    }

    QStringList words{QStringLiteral("flashupdate-cli")};
    for (const std::string& argument : arguments) {
        words << fromBytes(argument);
    }
    if (!parser.parse(words)) {
        if (!parser.unknownOptionNames().isEmpty()) {
            parsed.error = "unknown option " + dashed(parser.unknownOptionNames().front());
        } else {
            // The parser takes the word after an option as its value, whatever it is: only the
            // last word can be an option left without one ("-p", "--port", "-np").
            const QString last = words.back();
            parsed.error = (last.startsWith(QLatin1String("--")) ? toBytes(last)
                                                                 : "-" + toBytes(last.right(1))) +
                           " needs a value";
        }
        return parsed;
    }
    if (parser.isSet(help)) {
        options.help = true;
        return parsed;
    }
    if (parser.isSet(version)) {
        options.version = true;
        return parsed;
    }
    options.listPorts = parser.isSet(listPorts);
    options.json = parser.isSet(json);
    options.dryRun = parser.isSet(dryRun);
    options.allowEmpty = parser.isSet(allowEmpty);
    for (const QString& value : parser.values(port)) {
        if (value.isEmpty()) {
            parsed.error = "--port needs a value";
            return parsed;
        }
        options.ports.push_back(toBytes(value));
    }
    const QStringList bootLoaders = parser.values(bootLoader);
    if (bootLoaders.size() > 1) {
        parsed.error = "--bootloader given twice";
        return parsed;
    }
    if (!bootLoaders.isEmpty()) {
        if (bootLoaders.front().isEmpty()) {
            parsed.error = "--bootloader needs a value";
            return parsed;
        }
        options.bootLoader = toBytes(bootLoaders.front());
    }
    if (parser.isSet(retries)) {
        bool number = false;
        const int count = parser.value(retries).toInt(&number);
        if (!number || count < 0 || count > 99 || parser.value(retries).startsWith('+')) {
            parsed.error = "--retries takes a number from 0 to 99";
            return parsed;
        }
        options.retries = count;
    }
    if (parser.isSet(quiet) && parser.isSet(verbose)) {
        parsed.error = "--quiet and --verbose do not go together";
        return parsed;
    }
    options.verbosity = parser.isSet(quiet)     ? Verbosity::Quiet
                        : parser.isSet(verbose) ? Verbosity::Verbose
                                                : Verbosity::Normal;
    // Options that name one file.
    for (const auto& [option, name, value] :
         {std::tuple{&trace, "--trace", &options.trace}, std::tuple{&job, "--job", &options.job},
          std::tuple{&report, "--report", &options.report},
          std::tuple{&onlyFailed, "--only-failed", &options.onlyFailed}}) {
        if (!parser.isSet(*option)) {
            continue;
        }
        const QStringList files = parser.values(*option);
        if (files.size() > 1 || files.front().isEmpty()) {
            parsed.error =
                std::string(name) + (files.size() > 1 ? " given twice" : " needs a value");
            return parsed;
        }
        *value = toBytes(files.front());
    }
    for (const auto& [option, field] : tlsOptions) {
        const QStringList values = parser.values(option);
        const std::string name = dashed(option.names().front());
        if (values.size() > 1 || (values.size() == 1 && values.front().isEmpty())) {
            parsed.error = name + (values.size() > 1 ? " given twice" : " needs a value");
            return parsed;
        }
        if (!values.isEmpty()) {
            options.tls.*field = toBytes(values.front());
        }
    }
    if (!options.tls.pin.empty() && !parsePin(options.tls.pin)) {
        parsed.error =
            "--tls-pin takes sha256: and the 64 hex digits of a certificate's SHA-256 "
            "fingerprint";
        return parsed;
    }
    if (parser.isSet(jobs)) {
        bool number = false;
        const int count = parser.value(jobs).toInt(&number);
        if (!number || count < 1 || parser.value(jobs).startsWith('+')) {
            parsed.error = "--jobs takes a number from 1 up";
            return parsed;
        }
        options.jobs = static_cast<std::size_t>(count);
    }

    const QStringList images = parser.positionalArguments();
    if (options.listPorts) {
        if (options.dryRun || !options.ports.empty() || !images.isEmpty() || options.job ||
            options.onlyFailed || options.report) {
            parsed.error = "--list-ports takes no port, image, table or --dry-run";
        }
        return parsed;
    }
    if (options.dryRun && options.report) {
        parsed.error = "--dry-run writes no --report";
        return parsed;
    }
    if (options.job || options.onlyFailed) {
        if (options.job && options.onlyFailed) {
            parsed.error = "--job and --only-failed do not go together";
        } else if (!options.ports.empty() || !images.isEmpty()) {
            parsed.error = std::string(options.job ? "--job" : "--only-failed") +
                           " takes its ports and images from its table, not the command line";
        }
        return parsed;
    }
    if (images.size() != 1) {
        parsed.error = images.isEmpty() ? "no image given" : "more than one image given";
        return parsed;
    }
    if (options.ports.empty()) {
        parsed.error = "no --port given";
        return parsed;
    }
    options.image = toBytes(images.front());
    return parsed;
}

std::string usageText() {
    return std::string(
               "Usage: flashupdate-cli [OPTION...] --port PORT [--port PORT...] IMAGE\n"
               "  or:  flashupdate-cli [OPTION...] --job FILE\n"
               "  or:  flashupdate-cli [OPTION...] --only-failed REPORT\n"
               "  or:  flashupdate-cli --list-ports [--json]\n"
               "\n"
               "Rewrites the FLASH program memory of the instrument on each PORT with IMAGE,\n"
               "as the flashupdate window does. Several ports are updated at the same time.\n"
               "\n"
               "Options:\n"
               "  -p, --port PORT        where an instrument is, one of:\n"
               "                           1 to 4 for Com1 to Com4 of the window's map;\n"
               "                           a device path such as /dev/ttyUSB0;\n"
               "                           a stable alias under /dev/serial/by-id;\n"
               "                           usb:VID:PID or usb:VID:PID:SERIAL for the one USB\n"
               "                           adapter with those numbers (see --list-ports);\n"
               "                           rfc2217://HOST:PORT for a line behind a serial\n"
               "                           device server speaking RFC 2217 (ser2net);\n"
               "                           rfc2217+tls://HOST:PORT for the same over TLS.\n"
               "                         May be repeated.\n"
               "      --job FILE         update the instruments a CSV table lists, one a row,\n"
               "                         each with its own image: columns port and image,\n"
               "                         optionally label and bootloader, any others kept for\n"
               "                         the report; every row is checked before any port is\n"
               "                         touched (see JOB FILES in the manual page)\n"
               "      --report FILE      write a CSV table of what became of each instrument\n"
               "      --only-failed REPORT  update again the rows of REPORT that were not\n"
               "                         updated, each with its own image, and write a new\n"
               "                         report (--report, or REPORT-rerun-TIME.csv beside it)\n"
               "  -b, --bootloader FILE  the boot loader to load (default: BOOTLOAD.IMG next\n"
               "                         to this program, else in ~/.local/share/flashupdate,\n"
               "                         /usr/local/share/flashupdate or\n"
               "                         /usr/share/flashupdate)\n"
               "  -n, --dry-run          read the image and the boot loader and open and close\n"
               "                         each port, sending nothing; tell what an update would\n"
               "                         send and how long it would take\n"
               "      --retries N        update a port again from the start, up to N more\n"
               "                         times, after 3 s, when its update ended in a way\n"
               "                         another attempt may cure: no answer to the erase,\n"
               "                         a bad checksum, or a port that failed before the\n"
               "                         first record byte (default 0)\n"
               "  -J, --jobs N           update at most N ports at once; the others wait\n"
               "                         their turn in the order given (default: as many as\n"
               "                         the open-file limit allows)\n"
               "      --allow-empty      update even with an empty IMAGE, which leaves the\n"
               "                         instrument erased with nothing programmed\n"
               "  -q, --quiet            print only each port's result and the summary\n"
               "  -v, --verbose          also print every diagnostic (on standard output),\n"
               "                         each line's seconds since its port began, and a\n"
               "                         line per stage with the time the one before took\n"
               "      --trace FILE       record every byte sent and received, per port, with\n"
               "                         its time, direction and line speed, in FILE\n"
               "                         (see TRACE FORMAT in the manual page)\n"
               "      --tls-ca FILE      trust the servers whose certificates the CAs in FILE\n"
               "                         issued, instead of the system's CAs\n"
               "      --tls-pin sha256:HEX\n"
               "                         trust the one server certificate with this SHA-256\n"
               "                         fingerprint (a self-signed one), whoever issued it\n"
               "      --tls-cert FILE    our certificate, for a server that asks for one\n"
               "      --tls-key FILE     its private key, readable by its owner alone\n"
               "  -j, --json             one JSON object per line, for programs\n"
               "      --list-ports       list the serial devices and the Com1 to Com4 map\n"
               "  -h, --help             show this text\n"
               "  -V, --version          show the version\n"
               "\n"
               "Com1 to Com4 are /dev/ttyS0 to /dev/ttyS3 unless the settings file\n"
               "~/.config/Quenlid/flashupdate.conf names other devices (keys Com1 to Com4 under\n"
               "[General]); FLASHUPDATE_COM1 to FLASHUPDATE_COM4 in the environment override\n"
               "both. Opening a serial port needs membership of the dialout group.\n"
               "The settings file's TlsCa, TlsPin, TlsCert and TlsKey are used where the\n"
               "--tls options are not given. A server over TLS is always verified: its\n"
               "certificate and its name or address must match.\n"
               "\n"
               "On a terminal each port has a live progress line; otherwise every status\n"
               "and message is written as \"HH:MM:SS.mmm [PORT] text\". Ctrl-C stops every\n"
               "update cleanly and tells whether the instrument is left erased.\n"
               "\n") +
           exitCodeHelp();
}

namespace {

bool allDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

ResolvedTarget resolveTarget(const std::string& port, const PortMap& map,
                             const std::vector<SerialDeviceInfo>& devices) {
    ResolvedTarget resolved;
    PortTarget& target = resolved.target;
    target.given = port;
    if (allDigits(port)) {
        const int number = port.size() > 2 ? 0 : std::stoi(port);
        if (number < PortMap::kFirstPort || number > PortMap::kLastPort) {
            resolved.error = "port " + port + " is not 1 to 4 nor a device path";
            return resolved;
        }
        target.label = "Com" + std::to_string(number);
        target.map = map;
        target.comNumber = number;
        target.devicePath = map.devicePath(number);
    } else {
        const PortNameResolution named = resolvePortName(port, devices);
        if (!named.error.empty()) {
            resolved.error = named.error;
            resolved.absent = named.absent;
            return resolved;
        }
        // A device of its own: its update has a map of its own with the device as Com1.
        target.label = port;
        target.map.setDevicePath(1, named.devicePath);
        target.comNumber = 1;
        target.devicePath = named.devicePath;
    }
    target.device = resolvedDevice(deviceToOpen(target.devicePath));
    target.adapterSerial = adapterSerialOf(target.device, devices);
    return resolved;
}

ResolvedTargets resolveTargets(const std::vector<std::string>& ports, const PortMap& map,
                               const std::vector<SerialDeviceInfo>& devices) {
    ResolvedTargets resolved;
    for (const std::string& port : ports) {
        ResolvedTarget one = resolveTarget(port, map, devices);
        if (!one.error.empty()) {
            resolved.error = one.error;
            resolved.absent = one.absent;
            return resolved;
        }
        for (const PortTarget& earlier : resolved.targets) {
            if (earlier.device == one.target.device) {
                resolved.error = "port " + port + " names the device of " + earlier.label +
                                 " again (" + one.target.devicePath + ")";
                return resolved;
            }
        }
        resolved.targets.push_back(std::move(one.target));
    }
    return resolved;
}

void listPorts(const PortMap& map, const std::vector<SerialDeviceInfo>& devices,
               const std::string& settingsPath, bool json, std::FILE* out) {
    if (json) {
        QJsonArray found;
        for (const SerialDeviceInfo& device : devices) {
            found.append(QJsonObject{{"path", jsonText(device.path)},
                                     {"by_id", jsonTextOrNull(device.byIdPath)},
                                     {"description", jsonText(device.description)},
                                     {"manufacturer", jsonText(device.manufacturer)},
                                     {"serial_number", jsonText(device.serialNumber)},
                                     {"vid_pid", jsonTextOrNull(vidPidText(device))}});
        }
        QJsonArray ports;
        for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
            const std::string path = map.devicePath(port);
            ports.append(QJsonObject{{"port", port},
                                     {"name", QString("Com%1").arg(port)},
                                     {"device", jsonText(path)},
                                     {"source", nameOf(map.source(port))},
                                     {"exists", devicePresent(path)}});
        }
        writeJsonLine(
            QJsonObject{
                {"devices", found}, {"settings_file", jsonText(settingsPath)}, {"ports", ports}},
            out);
        return;
    }
    // Names come from the settings file, the environment and the devices' own descriptors: any
    // of them may hold what a terminal would obey, or a line feed that fakes another entry.
    std::fprintf(out, "Serial devices:\n");
    if (devices.empty()) {
        std::fprintf(out, "  none found\n");
    }
    for (const SerialDeviceInfo& device : devices) {
        std::string line = "  " + printable(device.path);
        for (const std::string& detail : {device.description, device.manufacturer}) {
            if (!detail.empty()) {
                line += "  " + printable(detail);
            }
        }
        if (const std::string ids = vidPidText(device); !ids.empty()) {
            line += "  usb:" + printable(ids) +
                    (device.serialNumber.empty() ? "" : ":" + printable(device.serialNumber));
        }
        if (!device.byIdPath.empty()) {
            line += "\n    " + printable(device.byIdPath);
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fprintf(out, "\nPorts (from %s, then FLASHUPDATE_COM1 to FLASHUPDATE_COM4):\n",
                 printable(settingsPath).c_str());
    for (int port = PortMap::kFirstPort; port <= PortMap::kLastPort; ++port) {
        const std::string path = map.devicePath(port);
        std::fprintf(out, "  %d  Com%d  %s  (%s%s)\n", port, port,
                     printable(describeDevice(path)).c_str(), nameOf(map.source(port)),
                     devicePresent(path) ? "" : ", missing");
    }
}

}  // namespace flashupdate::cli
