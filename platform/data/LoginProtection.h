// The guard in front of every login the data objects send: it probes the server (TlsProbe), decides whether the
// login may go (the rule of Transport.h), adds what the driver needs to keep the rule itself (ProtectLogin), and says
// how the login was protected. Internal to platform/data.
#pragma once

#include "platform/data/ConnectionString.h"
#include "platform/data/Transport.h"

#include <chrono>
#include <memory>
#include <mutex>

namespace enlistor::ado {

// A private directory (mode 0700) with the files a driver reads for one connection: the generated freetds.conf
// (mode 0600, no secret in it) and a pinned certificate. Created with O_EXCL and never through a link; removed with
// everything in it when it goes away.
class PrivateDriverFiles;

struct PreparedLogin {
    TransportReport report;
    std::shared_ptr<PrivateDriverFiles> files;
    CString freeTdsConf; // the generated freetds.conf's path, empty when none
    // The probe could not reach the server, but the driver verifies it itself: a connection that succeeds was
    // verified (by the pin when pinned, else by the CAs).
    bool verifiedByDriver = false;
    bool pinned = false;
    // Where the probe dials (empty host: nowhere), also after the login when the driver refused the server.
    CString probeHost;
    int probePort = 0;
    WireProtocol protocol = WireProtocol::Postgres;
};

// After the driver refused the server's certificate or handshake (cause) where PrepareLogin read no certificate (the
// data source's verify-ca or verify-full leaves the verification to the driver), reads the server's certificate
// within budget into prepared.report, so that the refusal can name its fingerprint. Sends no login.
void DescribeRefusedServer(DataErrorCause cause, std::chrono::milliseconds budget, PreparedLogin& prepared);

// Prepares target for the login within budget, and fills prepared.report (with the certificate seen), also when it
// throws: _com_error (0x80004005, no SQLSTATE) with cause ServerCannotEncrypt, CertificateUntrusted or TlsFailed and
// the probe's reason, when the plan is Enforced and the probe does not verify the server (nothing is sent then).
void PrepareLogin(OdbcTarget& target, const TransportTrust& trust, std::chrono::milliseconds budget,
                  PreparedLogin& prepared);

// Points FreeTDS at the generated freetds.conf (FREETDSCONF) for the duration of one connect; connects of other
// threads wait, since the environment is the process's.
class FreeTdsConfScope {
public:
    explicit FreeTdsConfScope(const CString& path);
    ~FreeTdsConfScope();
    FreeTdsConfScope(const FreeTdsConfScope&) = delete;
    FreeTdsConfScope& operator=(const FreeTdsConfScope&) = delete;

private:
    std::unique_lock<std::mutex> m_lock;
    bool m_active = false;
    bool m_hadValue = false;
    CString m_previous;
};

} // namespace enlistor::ado
