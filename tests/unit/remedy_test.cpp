// What a technician is told to do about a port that failed, from the kind and the facts its
// medium gathered.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "common/failure.h"

namespace flashupdate::testing {
namespace {

using Medium = FailureFacts::Medium;

FailureFacts device(std::optional<FailureFacts::Access> access, std::string holders = {}) {
    return {Medium::Device, "/dev/ttyS0", std::move(access), std::move(holders), {}, {}, {}};
}

TEST(Remedy, FollowsFromTheKindAndWhatTheMediumKnows) {
    const std::string joinDialout =
        "The device belongs to the dialout group: add your user to it (sudo usermod -aG "
        "dialout $USER), then log in again.";
    const auto ownerAndMode = [](const char* owner, const char* group, const char* mode) {
        return std::string("/dev/ttyS0 is owned by ") + owner + ", group " + group + ", mode " +
               mode +
               ": this account may not open it. Ask whoever administers the computer for access "
               "(a udev rule can give the device a group).";
    };
    const FailureFacts network{Medium::Server, {}, {}, {}, {}, {}, {}};
    const FailureFacts keyGiven{Medium::Server, {}, {}, {}, {}, {}, "my key.pem"};
    const struct {
        const char* name;
        FailureKind kind;
        FailureFacts facts;
        std::string remedy;
    } cases[] = {
        // Joining the group is advised only where it would open the device.
        {"dialout", FailureKind::Permission, device({{"root", "dialout", false, 0660, false}}),
         joinDialout},
        {"uucp elsewhere", FailureKind::Permission, device({{"root", "uucp", false, 0660, false}}),
         "The device belongs to the uucp group: add your user to it (sudo usermod -aG uucp "
         "$USER), then log in again."},
        {"root's own", FailureKind::Permission, device({{"root", "root", true, 0600, false}}),
         ownerAndMode("root", "root", "0600")},
        {"root's group", FailureKind::Permission, device({{"root", "root", true, 0660, false}}),
         ownerAndMode("root", "root", "0660")},
        {"a group without access", FailureKind::Permission,
         device({{"root", "dialout", false, 0600, false}}),
         ownerAndMode("root", "dialout", "0600")},
        {"already in the group", FailureKind::Permission,
         device({{"root", "dialout", false, 0660, true}}), ownerAndMode("root", "dialout", "0660")},
        {"access unknown", FailureKind::Permission, device(std::nullopt),
         "Check that this account may use the port."},
        {"busy", FailureKind::Busy, device(std::nullopt, "minicom (pid 12)"),
         "Another program holds the port: minicom (pid 12). Close it and try again."},
        // A server's address that cannot mean one has nothing to check on the server.
        {"server refused", FailureKind::Refused, network,
         "Is the server running, is the port number right, is another client connected? The "
         "server must speak RFC 2217 (ser2net: accepter: telnet(rfc2217),tcp,...)."},
        {"not a server's address", FailureKind::Missing, network, ""},
        {"no files left, on a server too", FailureKind::TooManyFiles, network,
         "The program has run out of open files: raise the limit (ulimit -n) or update fewer "
         "instruments at once."},
        // TLS's own on any medium, with a path a shell would split quoted.
        {"a key file exposed", FailureKind::TlsKeyExposed, keyGiven,
         "Make the key readable by its owner alone: chmod 600 'my key.pem'"},
    };
    for (const auto& [name, kind, facts, remedy] : cases) {
        EXPECT_EQ(remedyOf(kind, facts), remedy) << name;
    }
}

}  // namespace
}  // namespace flashupdate::testing
