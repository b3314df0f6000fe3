// What a line over TLS checks on our side before connecting: the key file's permissions, the
// pin's form, settings given twice, and the port names that ask for TLS.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "serial/port_names.h"
#include "serial/tls_policy.h"
#include "support/test_files.h"

namespace flashupdate {
namespace {

namespace fs = std::filesystem;

struct KeyCase {
    fs::perms permissions;
    bool refused;
};

// As ssh: the owner alone may read or write a private key.
TEST(TlsPolicy, AKeyFileAnyoneButItsOwnerMayUseIsRefused) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows keeps who may read a file in its access lists, not in mode bits";
#endif
    using fs::perms;
    const KeyCase cases[] = {
        {perms::owner_read | perms::owner_write, false},
        {perms::owner_read, false},
        {perms::owner_read | perms::owner_write | perms::group_read, true},
        {perms::owner_read | perms::others_read, true},
        {perms::owner_read | perms::group_write, true},
        {perms::owner_read | perms::others_exec, true},
    };
    // Unique to this process, so that parallel runs do not share it.
    const fs::path key =
        fs::temp_directory_path() / ("tls-policy-test-" + std::to_string(::getpid()) + ".key");
    testing::writeFile(key, "not read, only its mode");
    TlsSettings settings;
    settings.certFile = "client.pem";
    settings.keyFile = key.string();
    for (const KeyCase& c : cases) {
        fs::permissions(key, c.permissions);
        const std::optional<SerialError> refusal = checkTlsSettings(settings);
        EXPECT_EQ(refusal.has_value(), c.refused) << static_cast<int>(c.permissions);
        if (refusal) {
            EXPECT_EQ(refusal->kind(), PortErrorKind::TlsKeyExposed);
        }
    }
    fs::remove(key);
    settings.keyFile = (fs::temp_directory_path() / "tls-policy-test-no-such.key").string();
    EXPECT_EQ(checkTlsSettings(settings)->kind(), PortErrorKind::TlsSettings);
}

TEST(TlsPolicy, PinsAreSha256AndTheirDigitsInEitherCaseWithOrWithoutColons) {
    const std::string digits(64, 'a');
    std::string colons = "sha256:";
    for (std::size_t i = 0; i < 32; ++i) {
        colons += std::string(i == 0 ? "" : ":") + "AA";
    }
    EXPECT_EQ(parsePin("sha256:" + digits), digits);
    EXPECT_EQ(parsePin("SHA256:" + std::string(64, 'A')), digits);
    EXPECT_EQ(parsePin(colons), digits);
    for (const std::string& bad : {digits, "sha1:" + digits, "sha256:" + digits.substr(1),
                                   "sha256:" + digits + "a", "sha256:" + digits.substr(1) + "g"}) {
        EXPECT_FALSE(parsePin(bad)) << bad;
    }
}

TEST(TlsPolicy, TheCommandLineWinsOverTheSettingsFileFieldByField) {
    const TlsSettings file{"file-ca.pem", "", "file.pem", "file.key"};
    const TlsSettings given{"", "sha256:00", "", "given.key"};
    EXPECT_EQ(file.overriddenBy(given),
              (TlsSettings{"file-ca.pem", "sha256:00", "file.pem", "given.key"}));
}

TEST(TlsPolicy, TlsPortNamesAreNetworkNamesThatAskForTls) {
    const auto secure = parseNetworkPortName("RFC2217+TLS://[fd00::7]:4001");
    ASSERT_TRUE(secure);
    EXPECT_TRUE(secure->tls);
    EXPECT_EQ(secure->host, "fd00::7");
    EXPECT_FALSE(parseNetworkPortName("rfc2217://server:4001")->tls);
    EXPECT_FALSE(parseNetworkPortName("rfc2217+tls://server"));
}

}  // namespace
}  // namespace flashupdate
