#include "support/tls_certificates.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QSslCertificate>
#include <filesystem>

namespace flashupdate::testing {

namespace {

// Signed by the CA; openssl ca takes the validity as dates, to put one before and one after now.
struct Issued {
    const char* name;
    const char* extensions;
    const char* start;
    const char* end;
};
constexpr Issued kIssued[] = {
    {"server", "subjectAltName=IP:127.0.0.1,DNS:localhost", "20200101000000Z", "20991231000000Z"},
    {"elsewhere", "subjectAltName=DNS:elsewhere.invalid", "20200101000000Z", "20991231000000Z"},
    {"expired", "subjectAltName=IP:127.0.0.1", "20200101000000Z", "20210101000000Z"},
    {"future", "subjectAltName=IP:127.0.0.1", "20900101000000Z", "20910101000000Z"},
    {"client", "extendedKeyUsage=clientAuth", "20200101000000Z", "20991231000000Z"},
};

const QStringList kNewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"};

}  // namespace

const TlsCertificates& TlsCertificates::shared() {
    static const TlsCertificates certificates;
    return certificates;
}

QString TlsCertificates::file(const std::string& name) const {
    return QString::fromStdString(path(name));
}

void TlsCertificates::run(const QStringList& arguments) {
    if (!m_error.empty()) {
        return;
    }
    QProcess openssl;
    openssl.start("openssl", arguments);
    if (!openssl.waitForFinished(30'000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        m_error = "openssl " + arguments.front().toStdString() +
                  " failed: " + openssl.readAllStandardError().toStdString() +
                  openssl.errorString().toStdString();
    }
}

TlsCertificates::TlsCertificates() {
    run(QStringList{"req", "-x509", "-days", "3650", "-subj", "/CN=Test CA"} + kNewKey +
        QStringList{"-keyout", file("ca.key"), "-out", file("ca.pem")});
    std::filesystem::create_directory(path("issued"));
    writeFile(path("index.txt"), "");
    writeFile(path("serial"), "1000\n");
    writeFile(path("ca.cnf"), "[ca]\ndefault_ca = test\n[test]\ndatabase = " + path("index.txt") +
                                  "\nnew_certs_dir = " + path("issued") +
                                  "\nserial = " + path("serial") +
                                  "\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
                                  "[any]\ncommonName = supplied\n");
    for (const Issued& issued : kIssued) {
        const std::string name = issued.name;
        writeFile(path(name + ".ext"), std::string(issued.extensions) + "\n");
        run(QStringList{"req", "-subj", QString::fromStdString("/CN=" + name)} + kNewKey +
            QStringList{"-keyout", file(name + ".key"), "-out", file(name + ".csr")});
        run({"ca", "-batch", "-notext", "-config", file("ca.cnf"), "-cert", file("ca.pem"),
             "-keyfile", file("ca.key"), "-in", file(name + ".csr"), "-out", file(name + ".pem"),
             "-startdate", issued.start, "-enddate", issued.end, "-extfile", file(name + ".ext")});
    }
    run(QStringList{"req", "-x509", "-days", "3650", "-subj", "/CN=self-signed", "-addext",
                    "subjectAltName=IP:127.0.0.1"} +
        kNewKey + QStringList{"-keyout", file("self-signed.key"), "-out", file("self-signed.pem")});
    // ser2net trusts a client's certificate by its common name: the CAs hashed into
    // <authdir>/<name>/allowed_certs vouch for it.
    const std::string allowed = path("auth/client/allowed_certs");
    std::filesystem::create_directories(allowed);
    std::filesystem::copy_file(path("ca.pem"), allowed + "/ca.pem");
    run({"rehash", QString::fromStdString(allowed)});
}

std::string TlsCertificates::pin(const std::string& name) const {
    const QList<QSslCertificate> certificate = QSslCertificate::fromPath(file(name + ".pem"));
    return certificate.isEmpty()
               ? "sha256:none"
               : "sha256:" +
                     certificate.front().digest(QCryptographicHash::Sha256).toHex().toStdString();
}

Ser2NetProcess::Tls TlsCertificates::ser2netTls(const std::string& name, bool clientAuth) const {
    return {"ssl(key=" + path(name + ".key") + ",cert=" + path(name + ".pem") +
                (clientAuth ? ",clientauth" : "") + ")",
            clientAuth ? path("auth") : std::string()};
}

}  // namespace flashupdate::testing
