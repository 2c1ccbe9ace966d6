// What the operator trusts for the database connection's TLS, and what a connection found out about it.
//
// The rule: no password leaves the machine over TCP (loopback included) unless the connection is encrypted and the
// server verified, by a trusted CA with the host name checked or by a pinned certificate. A data source's own setting
// wins and is reported when it is weaker; the opt-out is per server and reported on every run.
#pragma once

#include "common/Text.h"

#include <optional>

namespace enlistor::ado {

enum class WireProtocol { Postgres, Tds };

// Empty caFile: the system's CA bundle. pinSha256: 64 lowercase hex digits, or empty.
struct TransportTrust {
    CString caFile;
    CString pinSha256;
    bool insecureLogin = false; // the operator allowed this server's login without a verified certificate
};

struct TransportReport {
    bool overNetwork = false; // false: a file database or a Unix socket, nothing to protect on the wire
    bool encrypted = false;
    bool verified = false;
    CString by = "none"; // "ca", "pin" or "none"
    CString certificateSha256;
    CString subject;
    CString issuer;
    CString notBefore;
    CString notAfter;
    CString setting; // the data source's own setting when it decides (e.g. "SSLMode=disable"), else empty
    // Why the login is not protected although it was sent (a weaker setting of the data source, the opt-out); empty
    // when it is protected or nothing crossed the network.
    CString warning;
};

// One word for the report, for the audit line and the output: "local" (nothing crossed the network),
// "verified-ca", "verified-pin", "encrypted-unverified" or "unprotected".
[[nodiscard]] inline const char* TransportWord(const TransportReport& report) noexcept {
    if (!report.overNetwork)
        return "local";
    if (report.verified)
        return report.by == "pin" ? "verified-pin" : "verified-ca";
    return report.encrypted ? "encrypted-unverified" : "unprotected";
}

// Normalises a fingerprint as --trust-cert takes it (hex, any case, with or without ':' between the pairs) to 64
// lowercase hex digits; nullopt when it is not a SHA-256 fingerprint.
[[nodiscard]] std::optional<CString> NormaliseSha256(const CString& text);
// "AB:CD:..." from 64 hex digits.
[[nodiscard]] CString ColonSha256(const CString& hex);

} // namespace enlistor::ado
