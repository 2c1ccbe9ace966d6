// How a database server protects the login on the wire, read by a small client of our own over OpenSSL before the
// driver is handed the password. The probe sends no login and no password: for PostgreSQL it sends the SSLRequest
// and, when the server agrees, does a TLS handshake; for SQL Server it sends a PRELOGIN asking for encryption and, when
// the server can encrypt, does the TLS handshake inside PRELOGIN packets as SQL Server clients do. It then closes.
//
// Verification is the one rule of the data layer: the server's certificate chains to a trusted CA (the system's
// bundle, or the operator's CA file, which may also be the server's own certificate) and names the host that was
// dialled (a DNS name or an IP address), or its SHA-256 fingerprint equals the pinned one (the host name is then
// not checked).
#pragma once

#include "common/Text.h"
#include "platform/data/Transport.h"

#include <chrono>
#include <optional>

namespace enlistor::ado {

struct ServerCertificate {
    CString sha256; // "AB:CD:..." (upper-case hex pairs joined by ':'), the form --trust-cert takes
    CString subject;
    CString issuer;
    CString notBefore;
    CString notAfter;
    CString pem; // the certificate itself, for a driver that must be given the pinned certificate as its root
};

enum class ProbeStatus {
    // No TCP connection (refused, no route, timed out), no answer, or an answer in another protocol: the driver
    // reports it as it always has.
    NotReached,
    NoTls,           // the server answered that it cannot encrypt
    HandshakeFailed, // the server agreed to TLS but the handshake failed
    Untrusted,       // a certificate came, but neither the trusted CAs nor the pin verify it for this host
    Verified,        // verified: by the CAs (host name checked) or by the pin
    Unchecked,       // a certificate came and was only read (ProbeCheck::CertificateOnly)
};

// What the probe does with the certificate the server shows.
enum class ProbeCheck {
    Verify,          // verifies it against the trust: Verified or Untrusted
    CertificateOnly, // only reads it, for a connection whose verification is the driver's (or nobody's) to do:
                     // Unchecked, and no CA is loaded
};

struct ProbeResult {
    ProbeStatus status = ProbeStatus::NotReached;
    std::optional<ServerCertificate> certificate; // whenever the handshake got that far
    bool byPin = false;                           // Verified through the pin
    CString reason;                               // why it is not Verified, in a few words (OpenSSL's own text)
};

// Probes host:port (a name, an IPv4 or an IPv6 literal) within the time limit, as described above.
[[nodiscard]] ProbeResult ProbeServer(const CString& host, int port, WireProtocol protocol, const TransportTrust& trust,
                                      std::chrono::milliseconds timeout, ProbeCheck check = ProbeCheck::Verify);

// The system's CA bundle as a path drivers read ("/etc/ssl/certs/ca-certificates.crt" on Debian).
[[nodiscard]] CString SystemCaBundle();

} // namespace enlistor::ado
