#include "tests/data/TdsTls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace enlistor::test {
namespace {

constexpr std::uint8_t kPrelogin = 0x12;
constexpr std::size_t kHeader = 8;

bool raw_read(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 60000) <= 0)
            return false;
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool raw_write(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool write_pem(const std::string& path, bool key, EVP_PKEY* pkey, X509* cert) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    const bool written = key ? PEM_write_PrivateKey(file, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1
                             : PEM_write_X509(file, cert) == 1;
    return std::fclose(file) == 0 && written;
}

} // namespace

TestCertificate MakeSelfSignedCertificate(const std::string& dir, const std::string& name,
                                          const std::string& subjectAltName) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
    if (!key || !cert)
        throw std::runtime_error("MakeSelfSignedCertificate: no key or certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(name.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), subject);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair<int, std::string>{NID_subject_alt_name, subjectAltName},
                                     {NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        if (extension == nullptr || X509_add_ext(cert.get(), extension, -1) != 1)
            throw std::runtime_error("MakeSelfSignedCertificate: bad extension " + value);
        X509_EXTENSION_free(extension);
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        throw std::runtime_error("MakeSelfSignedCertificate: cannot sign");
    TestCertificate made{dir + "/" + name + ".crt", dir + "/" + name + ".key"};
    if (!write_pem(made.certFile, false, key.get(), cert.get()) ||
        !write_pem(made.keyFile, true, key.get(), cert.get()))
        throw std::runtime_error("MakeSelfSignedCertificate: cannot write " + made.certFile);
    return made;
}

std::string Sha256Fingerprint(const std::string& certFile) {
    std::FILE* file = std::fopen(certFile.c_str(), "r");
    if (file == nullptr)
        throw std::runtime_error("Sha256Fingerprint: cannot read " + certFile);
    std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_X509(file, nullptr, nullptr, nullptr), &X509_free);
    std::fclose(file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!cert || X509_digest(cert.get(), EVP_sha256(), digest, &size) != 1)
        throw std::runtime_error("Sha256Fingerprint: no certificate in " + certFile);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0F];
    }
    return text;
}

struct TdsServerChannel::Tls {
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    BIO* in = nullptr;  // owned by ssl
    BIO* out = nullptr; // owned by ssl
    bool inPrelogin = true;
    ~Tls() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
};

TdsServerChannel::TdsServerChannel(int fd) : m_fd(fd) {}
TdsServerChannel::~TdsServerChannel() = default;

bool TdsServerChannel::encrypted() const {
    return m_tls != nullptr;
}

void TdsServerChannel::StopTls() {
    m_tls.reset();
}

bool TdsServerChannel::StartTls(const std::string& certFile, const std::string& keyFile) {
    auto tls = std::make_unique<Tls>();
    tls->ctx = SSL_CTX_new(TLS_server_method());
    if (tls->ctx == nullptr || SSL_CTX_use_certificate_chain_file(tls->ctx, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls->ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        return false;
    // TLS 1.2 at most, as SQL Server offers it to TDS 7 clients: a client's last handshake flight then comes before
    // the server's, so it reaches the server inside a PRELOGIN packet.
    SSL_CTX_set_max_proto_version(tls->ctx, TLS1_2_VERSION);
    tls->ssl = SSL_new(tls->ctx);
    tls->in = BIO_new(BIO_s_mem());
    tls->out = BIO_new(BIO_s_mem());
    SSL_set_bio(tls->ssl, tls->in, tls->out);
    SSL_set_accept_state(tls->ssl);
    for (;;) {
        const int rc = SSL_do_handshake(tls->ssl);
        char* pending = nullptr;
        const long size = BIO_get_mem_data(tls->out, &pending);
        if (size > 0) {
            // The server's flight, in PRELOGIN packets.
            std::vector<std::uint8_t> packet{kPrelogin,
                                             0x01,
                                             static_cast<std::uint8_t>((size + kHeader) >> 8),
                                             static_cast<std::uint8_t>((size + kHeader) & 0xFF),
                                             0,
                                             0,
                                             1,
                                             0};
            packet.insert(packet.end(), pending, pending + size);
            (void)BIO_reset(tls->out);
            if (!raw_write(m_fd, packet.data(), packet.size()))
                return false;
        }
        if (rc == 1)
            break;
        if (SSL_get_error(tls->ssl, rc) != SSL_ERROR_WANT_READ)
            return false;
        std::uint8_t header[kHeader];
        if (!raw_read(m_fd, header, sizeof header))
            return false;
        const std::size_t length = static_cast<std::size_t>(header[2] << 8 | header[3]);
        if (length < kHeader)
            return false;
        std::vector<std::uint8_t> payload(length - kHeader);
        if (!raw_read(m_fd, payload.data(), payload.size()))
            return false;
        BIO_write(tls->in, payload.data(), static_cast<int>(payload.size()));
    }
    tls->inPrelogin = false;
    m_tls = std::move(tls);
    return true;
}

bool TdsServerChannel::ReadExactly(std::uint8_t* data, std::size_t size) {
    if (!m_tls)
        return raw_read(m_fd, data, size);
    while (size > 0) {
        const int got = SSL_read(m_tls->ssl, data, static_cast<int>(size));
        if (got > 0) {
            data += got;
            size -= static_cast<std::size_t>(got);
            continue;
        }
        if (SSL_get_error(m_tls->ssl, got) != SSL_ERROR_WANT_READ)
            return false;
        std::uint8_t chunk[4096];
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, 60000) <= 0)
            return false;
        const ssize_t raw = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (raw <= 0)
            return false;
        BIO_write(m_tls->in, chunk, static_cast<int>(raw));
    }
    return true;
}

bool TdsServerChannel::Write(const std::uint8_t* data, std::size_t size) {
    if (!m_tls)
        return raw_write(m_fd, data, size);
    if (SSL_write(m_tls->ssl, data, static_cast<int>(size)) <= 0)
        return false;
    char* pending = nullptr;
    const long length = BIO_get_mem_data(m_tls->out, &pending);
    const bool sent = length <= 0 ||
                      raw_write(m_fd, reinterpret_cast<const std::uint8_t*>(pending), static_cast<std::size_t>(length));
    (void)BIO_reset(m_tls->out);
    return sent;
}

} // namespace enlistor::test
