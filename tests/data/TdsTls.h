// The server side of TLS as SQL Server speaks it, for the TDS stand-in: the handshake's records travel inside
// PRELOGIN packets, then TLS runs straight on the socket (for the login alone when the server answered ENCRYPT_OFF,
// for everything with ENCRYPT_ON). The certificate and key are PEM files a test made with openssl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace enlistor::test {

// A self-signed certificate (P-256 key, valid for a day) for the given subjectAltName ("IP:127.0.0.1",
// "DNS:db.example,IP:198.18.0.1"), written as dir/<name>.crt and dir/<name>.key. The certificate is its own CA: as
// --ca-file it verifies the stand-in with the host name checked. Throws std::runtime_error when OpenSSL fails.
struct TestCertificate {
    std::string certFile;
    std::string keyFile;
};
TestCertificate MakeSelfSignedCertificate(const std::string& dir, const std::string& name,
                                          const std::string& subjectAltName = "IP:127.0.0.1");
// The SHA-256 fingerprint of a PEM certificate file as "AB:CD:..." (openssl x509 -fingerprint -sha256).
std::string Sha256Fingerprint(const std::string& certFile);

class TdsServerChannel {
public:
    explicit TdsServerChannel(int fd);
    ~TdsServerChannel();
    TdsServerChannel(const TdsServerChannel&) = delete;
    TdsServerChannel& operator=(const TdsServerChannel&) = delete;

    // Runs the server's handshake inside PRELOGIN packets with this certificate and key; true when it completed. A
    // client that refuses the certificate ends it with false.
    bool StartTls(const std::string& certFile, const std::string& keyFile);
    // Back to plain TDS (after the login, when the server answered ENCRYPT_OFF).
    void StopTls();
    bool encrypted() const;

    // Reads exactly size bytes (through TLS when it runs); false at end of stream or after a minute of silence.
    bool ReadExactly(std::uint8_t* data, std::size_t size);
    bool Write(const std::uint8_t* data, std::size_t size);

private:
    struct Tls;
    int m_fd;
    std::unique_ptr<Tls> m_tls;
};

} // namespace enlistor::test
