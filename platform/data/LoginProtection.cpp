#include "platform/data/LoginProtection.h"

#include "platform/data/TlsProbe.h"
#include "platform/registry/HiveKeys.h" // unique_fd

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace enlistor::ado {

using enlistor::registry::unique_fd;

class PrivateDriverFiles {
public:
    // Throws _com_error when the directory cannot be made.
    PrivateDriverFiles() {
        const char* base = std::getenv("TMPDIR");
        CString pattern = CString(base != nullptr && *base == '/' ? base : "/tmp") + "/enlistor-login.XXXXXX";
        std::vector<char> path(pattern.begin(), pattern.end());
        path.push_back('\0');
        if (::mkdtemp(path.data()) == nullptr)
            throw _com_error(E_FAIL, kConnectionSource, "Cannot make a private directory for the driver's files");
        m_path = path.data();
        m_dir = unique_fd(::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!m_dir.valid()) {
            ::rmdir(m_path.c_str());
            throw _com_error(E_FAIL, kConnectionSource, "Cannot open the private directory for the driver's files");
        }
    }
    ~PrivateDriverFiles() {
        for (const CString& name : m_names)
            ::unlinkat(m_dir.get(), name.c_str(), 0);
        m_dir.reset();
        ::rmdir(m_path.c_str());
    }
    PrivateDriverFiles(const PrivateDriverFiles&) = delete;
    PrivateDriverFiles& operator=(const PrivateDriverFiles&) = delete;

    // Writes a new file (mode 0600) and returns its path.
    CString Write(const CString& name, const CString& text) {
        const unique_fd fd(
            ::openat(m_dir.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid())
            throw _com_error(E_FAIL, kConnectionSource, "Cannot write the driver's file " + name);
        m_names.push_back(name);
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t wrote = ::write(fd.get(), text.data() + done, text.size() - done);
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0)
                throw _com_error(E_FAIL, kConnectionSource, "Cannot write the driver's file " + name);
            done += static_cast<std::size_t>(wrote);
        }
        return m_path + "/" + name;
    }

private:
    CString m_path;
    unique_fd m_dir;
    std::vector<CString> m_names;
};

namespace {

constexpr HRESULT kNotProtected = static_cast<HRESULT>(0x80004005u);

void fill_certificate(TransportReport& report, const ServerCertificate& certificate) {
    report.certificateSha256 = certificate.sha256;
    report.subject = certificate.subject;
    report.issuer = certificate.issuer;
    report.notBefore = certificate.notBefore;
    report.notAfter = certificate.notAfter;
}

// The probe's refusal, its reason the description (the report has the certificate), no SQLSTATE (not the driver's).
[[noreturn]] void refuse(const ProbeResult& probe) {
    const bool reached = probe.status != ProbeStatus::NotReached;
    throw _com_error(kNotProtected, kConnectionSource,
                     reached ? probe.reason : "the connection failed before TLS could be checked", {}, 0,
                     !reached                                 ? DataErrorCause::ServerUnreachable
                     : probe.status == ProbeStatus::NoTls     ? DataErrorCause::ServerCannotEncrypt
                     : probe.status == ProbeStatus::Untrusted ? DataErrorCause::CertificateUntrusted
                                                              : DataErrorCause::TlsFailed);
}

} // namespace

void PrepareLogin(OdbcTarget& target, const TransportTrust& trust, std::chrono::milliseconds budget,
                  PreparedLogin& prepared) {
    const WirePlan& plan = target.wire;
    TransportReport& report = prepared.report;
    report = {};
    if (plan.kind == WirePlan::Kind::Local)
        return;
    report.overNetwork = true;

    // The probe decides only for an Enforced plan. Otherwise it reads the certificate for the report, except where
    // the data source has the driver verify the server itself (verify-ca, verify-full): nothing is probed then
    // before the login, and the certificate is read only when the driver refuses it (DescribeRefusedServer).
    prepared.probeHost = plan.host;
    prepared.probePort = plan.port;
    prepared.protocol = plan.protocol;
    const bool driverVerifies = plan.kind == WirePlan::Kind::Explicit && plan.verifies;
    ProbeResult probe;
    if (!plan.host.empty() && plan.port > 0 && !driverVerifies)
        probe = ProbeServer(plan.host, plan.port, plan.protocol, trust, budget,
                            plan.kind == WirePlan::Kind::Enforced ? ProbeCheck::Verify : ProbeCheck::CertificateOnly);
    if (probe.certificate)
        fill_certificate(report, *probe.certificate);
    const bool offersTls = probe.certificate.has_value();

    if (plan.kind == WirePlan::Kind::Explicit) {
        report.setting = plan.setting;
        report.encrypted = plan.encrypts;
        prepared.verifiedByDriver = plan.verifies; // verify-ca/verify-full: the driver's own CAs, once it connects
        const bool stated = plan.setting.rfind("SSLMode=", 0) == 0 || plan.setting.rfind("Encryption=", 0) == 0;
        if (!plan.verifies)
            report.warning = stated ? "the data source sets " + plan.setting + ": the login is not protected"
                                    : plan.setting + " decides how the login is protected: the server is not "
                                                     "verified by enlistor";
        return;
    }
    if (plan.kind == WirePlan::Kind::OptedOut) {
        report.encrypted = offersTls;
        report.warning = "--insecure-login is set for this server: the login is sent without a verified certificate";
        return;
    }

    // Enforced: the login goes only to a server the probe verified. A server the probe could not reach is left to
    // the driver when the driver verifies by itself (it then reports the unreachable server as always).
    if (probe.status == ProbeStatus::NotReached && plan.verifies) {
        prepared.verifiedByDriver = true;
        prepared.pinned = !trust.pinSha256.empty();
    } else if (probe.status != ProbeStatus::Verified) {
        report.encrypted = offersTls;
        refuse(probe);
    } else {
        report.encrypted = true;
        report.verified = true;
        report.by = probe.byPin ? "pin" : "ca";
    }

    const bool pinned = !trust.pinSha256.empty();
    if (pinned && !probe.certificate)
        refuse(probe); // the pinned certificate is what the driver verifies against: it must be at hand
    if (pinned || plan.freeTdsSection)
        prepared.files = std::make_shared<PrivateDriverFiles>();
    const CString pinnedFile = pinned ? prepared.files->Write("pinned.pem", probe.certificate->pem) : CString();
    const CString conf = ProtectLogin(target, trust, pinnedFile);
    if (!conf.empty())
        prepared.freeTdsConf = prepared.files->Write("freetds.conf", conf);
}

void DescribeRefusedServer(DataErrorCause cause, std::chrono::milliseconds budget, PreparedLogin& prepared) {
    TransportReport& report = prepared.report;
    const bool certificateRefused = cause == DataErrorCause::CertificateUntrusted || cause == DataErrorCause::TlsFailed;
    if (!certificateRefused || !report.certificateSha256.empty() || prepared.probeHost.empty() ||
        prepared.probePort <= 0)
        return;
    const ProbeResult probe = ProbeServer(prepared.probeHost, prepared.probePort, prepared.protocol, TransportTrust{},
                                          budget, ProbeCheck::CertificateOnly);
    if (probe.certificate)
        fill_certificate(report, *probe.certificate);
}

namespace {
std::mutex& freetds_conf_mutex() {
    static std::mutex mutex;
    return mutex;
}
} // namespace

FreeTdsConfScope::FreeTdsConfScope(const CString& path) {
    if (path.empty())
        return;
    m_lock = std::unique_lock(freetds_conf_mutex());
    if (const char* previous = std::getenv("FREETDSCONF"); previous != nullptr) {
        m_hadValue = true;
        m_previous = previous;
    }
    ::setenv("FREETDSCONF", path.c_str(), 1);
    m_active = true;
}

FreeTdsConfScope::~FreeTdsConfScope() {
    if (!m_active)
        return;
    if (m_hadValue)
        ::setenv("FREETDSCONF", m_previous.c_str(), 1);
    else
        ::unsetenv("FREETDSCONF");
}

} // namespace enlistor::ado
