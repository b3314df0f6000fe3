#include "support/tls_certificates.h"

#include <QProcess>
#include <QStringList>
#include <filesystem>

namespace flashupdate::testing {

namespace {

// openssl ca takes the validity as dates; these put a certificate in, before and after now.
struct Validity {
    const char* start;
    const char* end;
};
constexpr Validity kValid{"20200101000000Z", "20991231000000Z"};
constexpr Validity kExpired{"20200101000000Z", "20210101000000Z"};
constexpr Validity kFuture{"20900101000000Z", "20910101000000Z"};

struct Issued {
    const char* name;
    const char* extensions;
    Validity validity;
};
constexpr Issued kIssued[] = {
    {"server", "subjectAltName=IP:127.0.0.1,DNS:localhost", kValid},
    {"elsewhere", "subjectAltName=DNS:elsewhere.invalid", kValid},
    {"expired", "subjectAltName=IP:127.0.0.1", kExpired},
    {"future", "subjectAltName=IP:127.0.0.1", kFuture},
    {"client", "extendedKeyUsage=clientAuth", kValid},
};

const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                          "-nodes"};

QStringList qtList(const std::vector<std::string>& words) {
    QStringList list;
    for (const std::string& word : words) {
        list << QString::fromStdString(word);
    }
    return list;
}

std::string openssl(const std::vector<std::string>& arguments, std::string* error) {
    QProcess process;
    process.start("openssl", qtList(arguments));
    if (!process.waitForFinished(30'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *error = "openssl " + arguments.front() +
                 " failed: " + process.readAllStandardError().toStdString() +
                 process.errorString().toStdString();
        return {};
    }
    return process.readAllStandardOutput().toStdString();
}

}  // namespace

const TlsCertificates& TlsCertificates::shared() {
    static const TlsCertificates certificates;
    return certificates;
}

TlsCertificates::TlsCertificates() {
    make();
}

bool TlsCertificates::run(const std::vector<std::string>& arguments) {
    if (m_error.empty()) {
        openssl(arguments, &m_error);
    }
    return m_error.empty();
}

void TlsCertificates::make() {
    std::vector<std::string> ca = {"req",   "-x509",       "-days",   "3650",
                                   "-subj", "/CN=Test CA", "-keyout", path("ca.key"),
                                   "-out",  path("ca.pem")};
    ca.insert(ca.begin() + 2, kNewKey.begin(), kNewKey.end());
    run(ca);
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
        std::vector<std::string> request = {"req",
                                            "-subj",
                                            "/CN=" + name,
                                            "-keyout",
                                            path(name + ".key"),
                                            "-out",
                                            path(name + ".csr")};
        request.insert(request.begin() + 1, kNewKey.begin(), kNewKey.end());
        writeFile(path(name + ".ext"), std::string(issued.extensions) + "\n");
        run(request);
        run({"ca", "-batch", "-notext", "-config", path("ca.cnf"), "-cert", path("ca.pem"),
             "-keyfile", path("ca.key"), "-in", path(name + ".csr"), "-out", path(name + ".pem"),
             "-startdate", issued.validity.start, "-enddate", issued.validity.end, "-extfile",
             path(name + ".ext")});
    }
    std::vector<std::string> selfSigned = {"req",     "-x509",
                                           "-days",   "3650",
                                           "-subj",   "/CN=self-signed",
                                           "-addext", "subjectAltName=IP:127.0.0.1",
                                           "-keyout", path("self-signed.key"),
                                           "-out",    path("self-signed.pem")};
    selfSigned.insert(selfSigned.begin() + 2, kNewKey.begin(), kNewKey.end());
    run(selfSigned);
    // ser2net trusts a client's certificate by its common name: the CAs hashed into
    // <authdir>/<name>/allowed_certs vouch for it.
    const std::string allowed = path("auth/client/allowed_certs");
    std::filesystem::create_directories(allowed);
    std::filesystem::copy_file(path("ca.pem"), allowed + "/ca.pem");
    run({"rehash", allowed});
    for (const char* key :
         {"ca", "server", "elsewhere", "expired", "future", "client", "self-signed"}) {
        std::error_code ignored;
        std::filesystem::permissions(
            path(std::string(key) + ".key"),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ignored);
    }
}

std::string TlsCertificates::pin(const std::string& name) const {
    std::string error;
    const std::string printed =
        openssl({"x509", "-in", path(name + ".pem"), "-noout", "-fingerprint", "-sha256"}, &error);
    // "sha256 Fingerprint=3F:2A:..."
    const std::size_t equals = printed.find('=');
    if (equals == std::string::npos) {
        return "sha256:none (" + error + ")";
    }
    std::string digits = printed.substr(equals + 1);
    while (!digits.empty() && (digits.back() == '\n' || digits.back() == '\r')) {
        digits.pop_back();
    }
    return "sha256:" + digits;
}

Ser2NetProcess::Tls TlsCertificates::ser2netTls(const std::string& name, bool clientAuth) const {
    return {"ssl(key=" + path(name + ".key") + ",cert=" + path(name + ".pem") +
                (clientAuth ? ",clientauth" : "") + ")",
            clientAuth ? path("auth") : std::string()};
}

}  // namespace flashupdate::testing
