// Certificates for the tests of lines over TLS, made with openssl once per test binary in a
// temporary directory that goes with the binary: a CA, server certificates signed by it (one for
// 127.0.0.1, one for another name, one expired, one not yet valid), a self-signed server
// certificate, and a technician's certificate and key.
#pragma once

#include <QStringList>
#include <string>

#include "support/ser2net_process.h"
#include "support/simulator_process.h"

namespace flashupdate::testing {

class TlsCertificates {
public:
    // Made on first use; error() says why not.
    static const TlsCertificates& shared();

    bool ready() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    // "ca.pem"; NAME.pem and NAME.key for "server", "elsewhere", "expired", "future",
    // "self-signed" and "client".
    std::string path(const std::string& file) const { return m_dir.path(file); }
    // The certificate's pin: "sha256:" and its SHA-256 fingerprint in lower-case hex.
    std::string pin(const std::string& name) const;
    // ser2net serving the named certificate, asking its clients for a certificate from the CA
    // where clientAuth is set; the client's common name is "client".
    Ser2NetProcess::Tls ser2netTls(const std::string& name, bool clientAuth = false) const;

private:
    TlsCertificates();
    QString file(const std::string& name) const;
    // Runs openssl with arguments unless an earlier run failed; error() says why one did.
    void run(const QStringList& arguments);

    TempDir m_dir;
    std::string m_error;
};

}  // namespace flashupdate::testing
