#include "platform/data/TlsProbe.h"
#include "platform/process/RuntimeLibrary.h"
#include "platform/registry/HiveKeys.h" // unique_fd

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <vector>

namespace enlistor::ado {
namespace {

using enlistor::registry::unique_fd;

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kTdsPrelogin = 0x12;
constexpr std::uint8_t kTdsEndOfMessage = 0x01;
constexpr std::size_t kTdsHeader = 8;
constexpr std::size_t kTdsPacketLimit = 4096;
constexpr std::uint8_t kTdsEncryptNotSupported = 0x02;

// OpenSSL is loaded by the first probe that needs it rather than with the program: most runs probe nothing (a SQLite
// file, a Unix socket, a data source whose driver verifies the server itself), and mapping libssl and libcrypto costs
// more than such a run's own work. These are the functions the probe calls; the library stays loaded once it is.
#define ENLISTOR_OPENSSL_FUNCTIONS(X)                                                                                  \
    X(ASN1_TIME_print)                                                                                                 \
    X(BIO_ctrl)                                                                                                        \
    X(BIO_free)                                                                                                        \
    X(BIO_new)                                                                                                         \
    X(BIO_s_mem)                                                                                                       \
    X(BIO_write)                                                                                                       \
    X(ERR_clear_error)                                                                                                 \
    X(ERR_error_string_n)                                                                                              \
    X(ERR_get_error)                                                                                                   \
    X(EVP_sha256)                                                                                                      \
    X(PEM_write_bio_X509)                                                                                              \
    X(SSL_CTX_free)                                                                                                    \
    X(SSL_CTX_get0_param)                                                                                              \
    X(SSL_CTX_load_verify_locations)                                                                                   \
    X(SSL_CTX_new)                                                                                                     \
    X(SSL_CTX_set_default_verify_paths)                                                                                \
    X(SSL_CTX_set_verify)                                                                                              \
    X(SSL_ctrl)                                                                                                        \
    X(SSL_do_handshake)                                                                                                \
    X(SSL_free)                                                                                                        \
    X(SSL_get0_param)                                                                                                  \
    X(SSL_get0_peer_certificate)                                                                                       \
    X(SSL_get_error)                                                                                                   \
    X(SSL_get_verify_result)                                                                                           \
    X(SSL_new)                                                                                                         \
    X(SSL_set1_host)                                                                                                   \
    X(SSL_set_bio)                                                                                                     \
    X(SSL_set_connect_state)                                                                                           \
    X(TLS_client_method)                                                                                               \
    X(X509_NAME_print_ex)                                                                                              \
    X(X509_VERIFY_PARAM_set1_ip_asc)                                                                                   \
    X(X509_VERIFY_PARAM_set_flags)                                                                                     \
    X(X509_digest)                                                                                                     \
    X(X509_get0_notAfter)                                                                                              \
    X(X509_get0_notBefore)                                                                                             \
    X(X509_get_default_cert_file)                                                                                      \
    X(X509_get_default_cert_file_env)                                                                                  \
    X(X509_get_issuer_name)                                                                                            \
    X(X509_get_subject_name)                                                                                           \
    X(X509_verify_cert_error_string)

// libssl as the build found it (platform/data/CMakeLists.txt); it brings libcrypto.
constexpr const char* kLibSsl = ENLISTOR_LIBSSL_SONAME;

struct OpenSsl {
#define ENLISTOR_OPENSSL_MEMBER(name) decltype(&::name) name = nullptr;
    ENLISTOR_OPENSSL_FUNCTIONS(ENLISTOR_OPENSSL_MEMBER)
#undef ENLISTOR_OPENSSL_MEMBER
};

// The loaded functions, or nullptr when the library or one of them cannot be found.
const OpenSsl* load_openssl() {
    static const std::unique_ptr<const OpenSsl> loaded = []() -> std::unique_ptr<const OpenSsl> {
        RuntimeLibrary library(kLibSsl);
        auto functions = std::make_unique<OpenSsl>();
#define ENLISTOR_OPENSSL_RESOLVE(name) library.Resolve(functions->name, #name);
        ENLISTOR_OPENSSL_FUNCTIONS(ENLISTOR_OPENSSL_RESOLVE)
#undef ENLISTOR_OPENSSL_RESOLVE
        if (!library.Failure().empty())
            return nullptr;
        return functions;
    }();
    return loaded.get();
}

// Only called once load_openssl() succeeded.
const OpenSsl& openssl() {
    return *load_openssl();
}

long mem_data(BIO* bio, char** data) {
    return openssl().BIO_ctrl(bio, BIO_CTRL_INFO, 0, data);
}

struct SslCtxFree {
    void operator()(SSL_CTX* p) const noexcept { openssl().SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const noexcept { openssl().SSL_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const noexcept { openssl().BIO_free(p); }
};

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd pfd{fd, events, 0};
        const int rc = ::poll(&pfd, 1, remaining_ms(deadline));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

// A TCP connection to the first address of host that accepts one before the deadline; -1 when none does.
int connect_tcp(const CString& host, int port, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return -1;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, at->ai_addr, at->ai_addrlen) == 0)
            return fd;
        int error = errno;
        if (error == EINPROGRESS && wait_for(fd, POLLOUT, deadline)) {
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
                return fd;
        }
        ::close(fd);
    }
    return -1;
}

bool send_all(int fd, const std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
        } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_for(fd, POLLOUT, deadline))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

bool recv_exactly(int fd, std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got > 0) {
            data += got;
            size -= static_cast<std::size_t>(got);
        } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_for(fd, POLLIN, deadline))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// Some bytes (at most size), waiting for the first; 0 at end of stream or on time-out.
std::size_t recv_some(int fd, std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
    for (;;) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got > 0)
            return static_cast<std::size_t>(got);
        if (got < 0 && (errno == EAGAIN || errno == EINTR) && wait_for(fd, POLLIN, deadline))
            continue;
        return 0;
    }
}

bool send_tds(int fd, const std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
    std::uint8_t id = 1;
    do {
        const std::size_t part = std::min(size, kTdsPacketLimit - kTdsHeader);
        const std::size_t length = part + kTdsHeader;
        std::vector<std::uint8_t> packet{kTdsPrelogin,
                                         static_cast<std::uint8_t>(part == size ? kTdsEndOfMessage : 0),
                                         static_cast<std::uint8_t>(length >> 8),
                                         static_cast<std::uint8_t>(length & 0xFF),
                                         0,
                                         0,
                                         id++,
                                         0};
        packet.insert(packet.end(), data, data + part);
        if (!send_all(fd, packet.data(), packet.size(), deadline))
            return false;
        data += part;
        size -= part;
    } while (size > 0);
    return true;
}

// The payload of one TDS packet (any type: servers answer the handshake in PRELOGIN or reply packets).
bool recv_tds_packet(int fd, std::vector<std::uint8_t>& payload, bool& last, Clock::time_point deadline) {
    std::array<std::uint8_t, kTdsHeader> header{};
    if (!recv_exactly(fd, header.data(), header.size(), deadline))
        return false;
    const std::size_t length = static_cast<std::size_t>(header[2] << 8 | header[3]); // big-endian
    if (length < kTdsHeader)
        return false;
    last = (header[1] & kTdsEndOfMessage) != 0;
    payload.resize(length - kTdsHeader);
    return recv_exactly(fd, payload.data(), payload.size(), deadline);
}

// PRELOGIN with VERSION and ENCRYPTION = ENCRYPT_ON; the server's ENCRYPTION answer, or nullopt when it gave none.
std::optional<std::uint8_t> tds_prelogin(int fd, Clock::time_point deadline) {
    // Option table (token, offset and length big-endian, from the payload's start), terminator, then the data.
    const std::uint8_t request[] = {0x00, 0x00, 11,   0x00, 6,    0x01, 0x00, 17,   0x00,
                                    1,    0xFF, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, // version 12.0.0.0, sub-build 0
                                    0x01};                                          // ENCRYPT_ON
    if (!send_tds(fd, request, sizeof request, deadline))
        return std::nullopt;
    std::vector<std::uint8_t> reply;
    std::vector<std::uint8_t> packet;
    bool last = false;
    while (!last) {
        // A PRELOGIN answer is a few dozen bytes: a server that keeps sending is not answering one.
        if (!recv_tds_packet(fd, packet, last, deadline) || reply.size() + packet.size() > kTdsPacketLimit)
            return std::nullopt;
        reply.insert(reply.end(), packet.begin(), packet.end());
    }
    for (std::size_t at = 0; at + 5 <= reply.size() && reply[at] != 0xFF; at += 5) {
        const std::size_t offset = static_cast<std::size_t>(reply[at + 1] << 8 | reply[at + 2]);
        const std::size_t length = static_cast<std::size_t>(reply[at + 3] << 8 | reply[at + 4]);
        if (reply[at] == 0x01 && length >= 1 && offset < reply.size())
            return reply[offset];
    }
    return std::nullopt;
}

CString bio_text(BIO* bio) {
    char* data = nullptr;
    const long size = mem_data(bio, &data);
    return size > 0 ? CString(data, static_cast<std::size_t>(size)) : CString();
}

CString name_text(const X509_NAME* name) {
    std::unique_ptr<BIO, BioFree> bio(openssl().BIO_new(openssl().BIO_s_mem()));
    if (!bio || openssl().X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0)
        return {};
    return bio_text(bio.get());
}

CString time_text(const ASN1_TIME* time) {
    std::unique_ptr<BIO, BioFree> bio(openssl().BIO_new(openssl().BIO_s_mem()));
    if (!bio || openssl().ASN1_TIME_print(bio.get(), time) != 1)
        return {};
    return bio_text(bio.get());
}

ServerCertificate describe(X509* cert) {
    ServerCertificate info;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (openssl().X509_digest(cert, openssl().EVP_sha256(), digest, &size) == 1) {
        static constexpr char kHex[] = "0123456789abcdef";
        CString hex;
        for (unsigned int i = 0; i < size; ++i) {
            hex += kHex[digest[i] >> 4];
            hex += kHex[digest[i] & 0x0F];
        }
        info.sha256 = ColonSha256(hex);
    }
    info.subject = name_text(openssl().X509_get_subject_name(cert));
    info.issuer = name_text(openssl().X509_get_issuer_name(cert));
    info.notBefore = time_text(openssl().X509_get0_notBefore(cert));
    info.notAfter = time_text(openssl().X509_get0_notAfter(cert));
    std::unique_ptr<BIO, BioFree> bio(openssl().BIO_new(openssl().BIO_s_mem()));
    if (bio && openssl().PEM_write_bio_X509(bio.get(), cert) == 1)
        info.pem = bio_text(bio.get());
    return info;
}

CString openssl_reason() {
    const unsigned long code = openssl().ERR_get_error();
    openssl().ERR_clear_error();
    if (code == 0)
        return "the connection closed during the handshake";
    char text[256];
    openssl().ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool is_ip_literal(const CString& host) {
    in6_addr any{};
    return ::inet_pton(AF_INET, host.c_str(), &any) == 1 || ::inet_pton(AF_INET6, host.c_str(), &any) == 1;
}

// The handshake over memory BIOs, the records carried in TDS packets or directly on the socket.
bool handshake(SSL* ssl, int fd, bool tds, Clock::time_point deadline) {
    BIO* in = openssl().BIO_new(openssl().BIO_s_mem());
    BIO* out = openssl().BIO_new(openssl().BIO_s_mem());
    if (in == nullptr || out == nullptr) {
        openssl().BIO_free(in);
        openssl().BIO_free(out);
        return false;
    }
    openssl().SSL_set_bio(ssl, in, out); // the SSL object owns both from here
    openssl().SSL_set_connect_state(ssl);
    std::vector<std::uint8_t> buffer(16384);
    for (;;) {
        const int rc = openssl().SSL_do_handshake(ssl);
        char* pending = nullptr;
        const long size = mem_data(out, &pending);
        if (size > 0) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(pending);
            const bool sent = tds ? send_tds(fd, bytes, static_cast<std::size_t>(size), deadline)
                                  : send_all(fd, bytes, static_cast<std::size_t>(size), deadline);
            (void)openssl().BIO_ctrl(out, BIO_CTRL_RESET, 0, nullptr);
            if (!sent)
                return false;
        }
        if (rc == 1)
            return true;
        if (openssl().SSL_get_error(ssl, rc) != SSL_ERROR_WANT_READ)
            return false;
        if (tds) {
            bool last = false;
            if (!recv_tds_packet(fd, buffer, last, deadline))
                return false;
            openssl().BIO_write(in, buffer.data(), static_cast<int>(buffer.size()));
            buffer.resize(16384);
        } else {
            const std::size_t got = recv_some(fd, buffer.data(), buffer.size(), deadline);
            if (got == 0)
                return false;
            openssl().BIO_write(in, buffer.data(), static_cast<int>(got));
        }
    }
}

} // namespace

std::optional<CString> NormaliseSha256(const CString& text) {
    CString hex;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ':' && i % 3 == 2 && i + 1 < text.size())
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64)
        return std::nullopt;
    return hex;
}

CString ColonSha256(const CString& hex) {
    CString text;
    for (std::size_t i = 0; i < hex.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            text += ':';
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
    }
    return text;
}

CString SystemCaBundle() {
    constexpr const char* kDebianBundle = "/etc/ssl/certs/ca-certificates.crt";
    const OpenSsl* functions = load_openssl();
    if (functions == nullptr)
        return kDebianBundle;
    if (const char* chosen = ::getenv(functions->X509_get_default_cert_file_env());
        chosen != nullptr && *chosen != '\0')
        return chosen;
    if (::access(kDebianBundle, R_OK) == 0)
        return kDebianBundle;
    return functions->X509_get_default_cert_file();
}

ProbeResult ProbeServer(const CString& host, int port, WireProtocol protocol, const TransportTrust& trust,
                        std::chrono::milliseconds timeout, ProbeCheck check) {
    ProbeResult result;
    const Clock::time_point deadline = Clock::now() + timeout;
    unique_fd socket(connect_tcp(host, port, deadline));
    if (socket.get() < 0) {
        result.reason = "no TCP connection";
        return result;
    }
    const bool tds = protocol == WireProtocol::Tds;
    if (tds) {
        const std::optional<std::uint8_t> offer = tds_prelogin(socket.get(), deadline);
        if (!offer) {
            result.reason = "the server gave no PRELOGIN answer";
            return result;
        }
        if (*offer == kTdsEncryptNotSupported) {
            result.status = ProbeStatus::NoTls;
            result.reason = "the server cannot encrypt";
            return result;
        }
    } else {
        const std::uint8_t request[] = {0, 0, 0, 8, 0x04, 0xD2, 0x16, 0x2F}; // SSLRequest: length 8, code 80877103
        std::uint8_t answer = 0;
        if (!send_all(socket.get(), request, sizeof request, deadline) ||
            !recv_exactly(socket.get(), &answer, 1, deadline)) {
            result.reason = "the server gave no answer to the SSL request";
            return result;
        }
        if (answer == 'N') {
            result.status = ProbeStatus::NoTls;
            result.reason = "the server refuses SSL";
            return result;
        }
        if (answer != 'S') {
            result.reason = "the server answered the SSL request with something else";
            return result;
        }
    }

    if (load_openssl() == nullptr) {
        result.status = ProbeStatus::HandshakeFailed;
        result.reason = CString(kLibSsl) + " cannot be loaded";
        return result;
    }
    openssl().ERR_clear_error();
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx(openssl().SSL_CTX_new(openssl().TLS_client_method()));
    if (!ctx) {
        result.status = ProbeStatus::HandshakeFailed;
        result.reason = openssl_reason();
        return result;
    }
    // Verification runs during the handshake but never aborts it: the result is read afterwards, so the certificate
    // is still there to be shown when it fails.
    openssl().SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    // Only a check that verifies by the CAs loads them: the system's bundle is parsed whole, which takes longer than
    // the rest of the probe.
    const bool verify = check == ProbeCheck::Verify && trust.pinSha256.empty();
    const bool trustLoaded =
        !verify ||
        (trust.caFile.empty() ? openssl().SSL_CTX_set_default_verify_paths(ctx.get()) == 1
                              : openssl().SSL_CTX_load_verify_locations(ctx.get(), trust.caFile.c_str(), nullptr) == 1);
    const CString trustFailure = trustLoaded ? CString() : "the CA file " + trust.caFile + " cannot be read";
    openssl().ERR_clear_error();
    // The CA file may hold the server's own certificate, which then anchors the chain by itself.
    openssl().X509_VERIFY_PARAM_set_flags(openssl().SSL_CTX_get0_param(ctx.get()), X509_V_FLAG_PARTIAL_CHAIN);
    std::unique_ptr<SSL, SslFree> ssl(openssl().SSL_new(ctx.get()));
    if (!ssl) {
        result.status = ProbeStatus::HandshakeFailed;
        result.reason = openssl_reason();
        return result;
    }
    if (is_ip_literal(host)) {
        openssl().X509_VERIFY_PARAM_set1_ip_asc(openssl().SSL_get0_param(ssl.get()), host.c_str());
    } else {
        openssl().SSL_ctrl(ssl.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                           const_cast<char*>(host.c_str()));
        openssl().SSL_set1_host(ssl.get(), host.c_str());
    }
    if (!handshake(ssl.get(), socket.get(), tds, deadline)) {
        result.status = ProbeStatus::HandshakeFailed;
        result.reason = openssl_reason();
        return result;
    }
    X509* peer = openssl().SSL_get0_peer_certificate(ssl.get());
    if (peer == nullptr) {
        result.status = ProbeStatus::HandshakeFailed;
        result.reason = "the server sent no certificate";
        return result;
    }
    result.certificate = describe(peer);
    if (check == ProbeCheck::CertificateOnly) {
        result.status = ProbeStatus::Unchecked;
        result.reason = "it was not checked";
        return result;
    }
    if (!trust.pinSha256.empty()) {
        const std::optional<CString> seen = NormaliseSha256(result.certificate->sha256);
        result.byPin = seen && *seen == trust.pinSha256;
        result.status = result.byPin ? ProbeStatus::Verified : ProbeStatus::Untrusted;
        if (!result.byPin)
            result.reason = "its fingerprint is not the pinned one";
        return result;
    }
    const long verdict = openssl().SSL_get_verify_result(ssl.get());
    if (trustLoaded && verdict == X509_V_OK) {
        result.status = ProbeStatus::Verified;
        return result;
    }
    result.status = ProbeStatus::Untrusted;
    result.reason = !trustLoaded ? trustFailure : CString(openssl().X509_verify_cert_error_string(verdict));
    return result;
}

} // namespace enlistor::ado
