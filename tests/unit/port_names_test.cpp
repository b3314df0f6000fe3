// Port names a technician gives besides a device path, resolved against a listing of devices.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "serial/port_map.h"
#include "serial/port_names.h"

namespace flashupdate {
namespace {

SerialDeviceInfo usbAdapter(std::string path, std::uint16_t product, std::string serial) {
    SerialDeviceInfo device;
    device.path = std::move(path);
    device.serialNumber = std::move(serial);
    device.byIdPath =
        "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_" + device.serialNumber + "-if00-port0";
    device.vendorId = 0x0403;
    device.productId = product;
    return device;
}

const std::vector<SerialDeviceInfo> kDevices = {
    {"/dev/ttyS0", "", "", "", "", std::nullopt, std::nullopt},
    usbAdapter("/dev/ttyUSB0", 0x6001, "A9XK3LQD"),
    usbAdapter("/dev/ttyUSB1", 0x6001, "B7QQ2M1C"),
    usbAdapter("/dev/ttyUSB2", 0x6015, "D30F9E2A"),
};

TEST(PortNames, UsbNumbersResolveToTheOneMatchingAdapterByItsStableAlias) {
    const std::string alias = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_D30F9E2A-if00-port0";
    EXPECT_EQ(resolvePortName("usb:0403:6015", kDevices).devicePath, alias);
    EXPECT_EQ(resolvePortName("USB:0403:6015", kDevices).devicePath, alias);
    EXPECT_EQ(resolvePortName("usb:403:6001:B7QQ2M1C", kDevices).devicePath,
              "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B7QQ2M1C-if00-port0");
    SerialDeviceInfo withoutAlias = usbAdapter("/dev/ttyACM0", 0x1234, "X");
    withoutAlias.byIdPath.clear();
    EXPECT_EQ(resolvePortName("usb:0403:1234", {withoutAlias}).devicePath, "/dev/ttyACM0");
}

TEST(PortNames, UsbNumbersMatchingNoneOrSeveralAdaptersAreErrorsThatNameWhatIsThere) {
    const PortNameResolution several = resolvePortName("usb:0403:6001", kDevices);
    EXPECT_TRUE(several.devicePath.empty());
    EXPECT_NE(several.error.find("matches 2 devices"), std::string::npos) << several.error;
    EXPECT_NE(several.error.find("usb:0403:6001:A9XK3LQD"), std::string::npos) << several.error;

    const PortNameResolution none = resolvePortName("usb:0403:6001:NOPE", kDevices);
    EXPECT_TRUE(none.devicePath.empty());
    EXPECT_NE(none.error.find("no serial device matches"), std::string::npos) << none.error;
    EXPECT_NE(none.error.find("/dev/ttyUSB2 (usb:0403:6015:D30F9E2A)"), std::string::npos);

    for (const char* malformed :
         {"usb:", "usb:0403", "usb:0403:xyz1", "usb:0403:6001:", "usb:1:2:3:4", "usb:12345:6001"}) {
        const PortNameResolution bad = resolvePortName(malformed, kDevices);
        EXPECT_TRUE(bad.devicePath.empty()) << malformed;
        EXPECT_NE(bad.error.find("is not usb:VID:PID"), std::string::npos) << malformed;
    }
}

TEST(PortNames, ByIdAliasesResolveWithOrWithoutTheirDirectory) {
    const std::string alias = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XK3LQD-if00-port0";
    EXPECT_EQ(resolvePortName(alias, kDevices).devicePath, alias);
    EXPECT_EQ(resolvePortName("usb-FTDI_FT232R_USB_UART_A9XK3LQD-if00-port0", kDevices).devicePath,
              alias);
    const PortNameResolution gone =
        resolvePortName("/dev/serial/by-id/usb-Prolific-if00-port0", kDevices);
    EXPECT_TRUE(gone.devicePath.empty());
    EXPECT_NE(gone.error.find("no serial device"), std::string::npos) << gone.error;
}

TEST(PortNames, PathsPassUntouchedAndLookalikesGetAHint) {
    EXPECT_EQ(resolvePortName("/dev/ttyUSB7", kDevices).devicePath, "/dev/ttyUSB7");
    EXPECT_EQ(resolvePortName("./sim-link", {}).devicePath, "./sim-link");
#ifndef _WIN32
    // Opened as given: from the current directory, not from /dev; a bare name is the system's.
    EXPECT_EQ(deviceToOpen("dev/ttyX"), (std::filesystem::current_path() / "dev/ttyX").string());
    EXPECT_EQ(deviceToOpen("ttyUSB0"), "ttyUSB0");
    for (const char* windows : {"COM1", "com4"}) {
        const PortNameResolution hint = resolvePortName(windows, kDevices);
        EXPECT_TRUE(hint.devicePath.empty());
        EXPECT_NE(hint.error.find("give 1 to 4"), std::string::npos) << hint.error;
        EXPECT_NE(hint.error.find("/dev/ttyUSB0"), std::string::npos) << hint.error;
    }
#endif
    const PortNameResolution ids = resolvePortName("0403:6001", kDevices);
    EXPECT_TRUE(ids.devicePath.empty());
    EXPECT_NE(ids.error.find("write usb:0403:6001"), std::string::npos) << ids.error;
}

// The records name the device a name led to, and its adapter's serial number where the listing
// has one: a by-id alias is followed to its device, a bare name is one under /dev.
TEST(PortNames, ResolvedDevicesFollowLinksAndFindTheirAdaptersSerialNumber) {
#ifndef _WIN32
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("port-names-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path device = folder / "ttyUSB9";
    const std::filesystem::path alias = folder / "usb-FTDI-A9XK3LQD-if00-port0";
    { std::ofstream{device}; }
    std::filesystem::create_symlink(device, alias);
    EXPECT_EQ(resolvedDevice(alias.string()), device.string());
    EXPECT_EQ(resolvedDevice("ttyS0"), "/dev/ttyS0");
    EXPECT_EQ(resolvedDevice("rfc2217://rack7:4001"), "rfc2217://rack7:4001");
    const std::vector<SerialDeviceInfo> devices = {usbAdapter(device.string(), 0x6001, "A9XK3LQD")};
    EXPECT_EQ(adapterSerialOf(resolvedDevice(alias.string()), devices), "A9XK3LQD");
    EXPECT_EQ(adapterSerialOf("/dev/ttyS0", devices), "");
    std::filesystem::remove_all(folder);
#endif
}

}  // namespace
}  // namespace flashupdate
