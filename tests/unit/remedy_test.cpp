// What a technician is told when a device refuses this account.
#include <gtest/gtest.h>

#include <string>

#include "serial/qt/serial_diagnostics.h"

namespace flashupdate::testing {
namespace {

TEST(PermissionRemedy, JoiningTheGroupIsAdvisedOnlyWhereItWouldOpenTheDevice) {
    const std::string joinDialout =
        "The device belongs to the dialout group: add your user to it (sudo usermod -aG "
        "dialout $USER), then log in again.";
    const auto ownerAndMode = [](const char* owner, const char* group, const char* mode) {
        return std::string("/dev/ttyS0 is owned by ") + owner + ", group " + group + ", mode " +
               mode +
               ": this account may not open it. Ask whoever administers the computer for access "
               "(a udev rule can give the device a group).";
    };
    const struct {
        const char* name;
        DeviceAccess access;
        std::string remedy;
    } cases[] = {
        {"dialout", {"root", "dialout", false, 0660, false}, joinDialout},
        {"uucp elsewhere",
         {"root", "uucp", false, 0660, false},
         "The device belongs to the uucp group: add your user to it (sudo usermod -aG uucp "
         "$USER), then log in again."},
        {"root's own", {"root", "root", true, 0600, false}, ownerAndMode("root", "root", "0600")},
        {"root's group", {"root", "root", true, 0660, false}, ownerAndMode("root", "root", "0660")},
        {"a group without access",
         {"root", "dialout", false, 0600, false},
         ownerAndMode("root", "dialout", "0600")},
        {"already in the group",
         {"root", "dialout", false, 0660, true},
         ownerAndMode("root", "dialout", "0660")},
    };
    for (const auto& [name, access, remedy] : cases) {
        EXPECT_EQ(permissionRemedy("/dev/ttyS0", access), remedy) << name;
    }
}

}  // namespace
}  // namespace flashupdate::testing
