// Lines over TLS through ser2net's ssl accepter, with certificates made at test time: a server
// that passes the check carries bytes unchanged, and each way the check fails is a port error of
// its own kind, within seconds, before a byte reaches the device.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <optional>

#include "pty_pair.h"
#include "run_until.h"
#include "serial/qt/qt_event_loop.h"
#include "serial/qt/system_transports.h"
#include "support/line_driver.h"
#include "support/ser2net_process.h"
#include "support/tls_certificates.h"

namespace flashupdate::testing {
namespace {

struct TlsCase {
    const char* name;
    const char* serverCertificate;  // nullptr: a plain server
    bool clientAuth;                // the server wants a certificate from our CA
    bool tlsName;                   // rfc2217+tls:// rather than rfc2217://
    bool ca;                        // --tls-ca with our CA, rather than the system's CAs
    const char* pinned;             // --tls-pin with the fingerprint of this certificate
    bool clientCertificate;         // --tls-cert and --tls-key
    std::optional<PortErrorKind> failure;
};

const TlsCase kCases[] = {
    {"VerifiedByTheCaGiven", "server", false, true, true, nullptr, false, std::nullopt},
    {"ClientCertificateRequiredAndGiven", "server", true, true, true, nullptr, true, std::nullopt},
    {"PinnedSelfSigned", "self-signed", false, true, false, "self-signed", false, std::nullopt},
    {"UntrustedBySystemCas", "server", false, true, false, nullptr, false,
     PortErrorKind::TlsUntrusted},
    {"SelfSignedNotPinned", "self-signed", false, true, true, nullptr, false,
     PortErrorKind::TlsUntrusted},
    {"NameMismatch", "elsewhere", false, true, true, nullptr, false,
     PortErrorKind::TlsNameMismatch},
    {"Expired", "expired", false, true, true, nullptr, false, PortErrorKind::TlsExpired},
    {"NotYetValid", "future", false, true, true, nullptr, false, PortErrorKind::TlsExpired},
    {"PinMismatchEvenWithTrust", "server", false, true, true, "self-signed", false,
     PortErrorKind::TlsPinMismatch},
    {"ClientCertificateWanted", "server", true, true, true, nullptr, false,
     PortErrorKind::TlsClientCertificate},
    {"PlainServerBehindTlsName", nullptr, false, true, true, nullptr, false,
     PortErrorKind::PlainServer},
    {"TlsServerBehindPlainName", "server", false, false, true, nullptr, false,
     PortErrorKind::TlsServer},
};

class TlsLine : public ::testing::TestWithParam<TlsCase> {};

TEST_P(TlsLine, OpensOnlyAVerifiedServerAndSaysWhyNot) {
    const TlsCase& c = GetParam();
    const TlsCertificates& certificates = TlsCertificates::shared();
    ASSERT_TRUE(certificates.ready()) << certificates.error();
    PtyPair pty;
    Ser2NetProcess server(pty.slavePath(),
                          c.serverCertificate == nullptr
                              ? Ser2NetProcess::Tls()
                              : certificates.ser2netTls(c.serverCertificate, c.clientAuth));
    ASSERT_TRUE(server.ready()) << server.error().toStdString();

    TlsSettings tls;
    tls.caFile = c.ca ? certificates.path("ca.pem") : "";
    tls.pin = c.pinned != nullptr ? certificates.pin(c.pinned) : "";
    tls.certFile = c.clientCertificate ? certificates.path("client.pem") : "";
    tls.keyFile = c.clientCertificate ? certificates.path("client.key") : "";
    PortMap map;
    map.setDevicePath(
        1, (c.tlsName ? "rfc2217+tls://" : "rfc2217://") + server.address().toStdString());
    QtEventLoop events;
    SerialControl port(map, events, systemTransports(tls));
    std::string diagnostics;
    port.setDiagnostics([&](const std::string& text) { diagnostics += text + "\n"; });
    port.setSettings("9600,N,8,1");
    port.setCommPort(1);

    QElapsedTimer elapsed;
    elapsed.start();
    LineDriver driver(port, events);
    const std::string bytes = everyByteValue();
    // Closing lets every byte written leave first.
    driver.run(bytes, LineDriver::Ending::AtOnce);
    ASSERT_TRUE(runUntil([&] { return !driver.told.empty(); }));
    if (!c.failure) {
        EXPECT_EQ(driver.told.front(), "opened") << diagnostics;
        // The device is read while the line runs, as an instrument takes its bytes: a server
        // that lets go of its device may discard what the device still holds unread.
        std::string received;
        ASSERT_TRUE(runUntil([&] {
            received += pty.receive(bytes.size() - received.size(), 1);
            return driver.done();
        }));
        received += pty.receive(bytes.size() - received.size());
        EXPECT_EQ(received, bytes);
        return;
    }
    EXPECT_EQ(driver.told.front(), std::string("open-failed:") + nameOf(*c.failure)) << diagnostics;
    EXPECT_LT(elapsed.elapsed(), 15'000);
    EXPECT_NE(diagnostics.find("\n  "), std::string::npos) << "no remedy: " << diagnostics;
    if (c.failure == PortErrorKind::TlsPinMismatch) {
        EXPECT_NE(diagnostics.find(certificates.pin(c.serverCertificate)), std::string::npos);
    }
    // A plain server passes our TLS greeting to its line as data: it never learns more.
    const std::string received = pty.receive(1, 500);
    if (c.failure != PortErrorKind::PlainServer) {
        EXPECT_EQ(received, "");
    } else if (!received.empty()) {
        EXPECT_EQ(received.front(), '\x16') << "not a TLS handshake record";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TlsLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace flashupdate::testing
