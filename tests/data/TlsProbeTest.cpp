// What the TLS probe makes of the certificate a server shows, against the SQL Server stand-in doing TLS inside the
// prelogin: a probe that verifies judges it by the trust (the pin needing no CA file), a probe that only reads it
// reports it unchecked whatever the trust names, and a server without TLS is told apart either way.
#include "platform/data/TlsProbe.h"
#include "tests/data/TdsLoginServer.h"
#include "tests/data/TdsTls.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace enlistor::test;
using enlistor::ado::ProbeCheck;
using enlistor::ado::ProbeStatus;

enum class Trust { ItsCertificateAsCaFile, UnreadableCaFile, PinWithUnreadableCaFile };

struct ProbeRow {
    const char* name;
    bool serverHasTls;
    Trust trust;
    ProbeCheck check;
    ProbeStatus status;
};

void PrintTo(const ProbeRow& row, std::ostream* out) {
    *out << row.name;
}

class TlsProbeTest : public ::testing::TestWithParam<ProbeRow> {};

TEST_P(TlsProbeTest, JudgesOrOnlyReadsTheCertificate) {
    const ProbeRow& row = GetParam();
    TempDir dir;
    TdsLoginServer::Options options;
    const TestCertificate served = MakeSelfSignedCertificate(dir.path().string(), "served");
    if (row.serverHasTls) {
        options.certFile = served.certFile;
        options.keyFile = served.keyFile;
    }
    TdsLoginServer server(options);

    enlistor::ado::TransportTrust trust;
    trust.caFile = row.trust == Trust::ItsCertificateAsCaFile ? served.certFile : (dir.path() / "missing.pem").string();
    if (row.trust == Trust::PinWithUnreadableCaFile)
        trust.pinSha256 = *enlistor::ado::NormaliseSha256(Sha256Fingerprint(served.certFile));

    const enlistor::ado::ProbeResult probe = enlistor::ado::ProbeServer(
        "127.0.0.1", server.port(), enlistor::ado::WireProtocol::Tds, trust, std::chrono::seconds(5), row.check);
    EXPECT_EQ(probe.status, row.status) << probe.reason;
    EXPECT_TRUE(server.logins().empty()); // a probe never logs in
    if (!row.serverHasTls) {
        EXPECT_FALSE(probe.certificate);
        return;
    }
    ASSERT_TRUE(probe.certificate) << probe.reason;
    EXPECT_EQ(probe.certificate->sha256, Sha256Fingerprint(served.certFile));
    EXPECT_EQ(probe.byPin, row.status == ProbeStatus::Verified && row.trust == Trust::PinWithUnreadableCaFile);
    if (row.status == ProbeStatus::Untrusted) {
        EXPECT_NE(probe.reason.find("cannot be read"), CString::npos) << probe.reason;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, TlsProbeTest,
                         ::testing::Values(ProbeRow{"VerifiedByItsCertificate", true, Trust::ItsCertificateAsCaFile,
                                                    ProbeCheck::Verify, ProbeStatus::Verified},
                                           ProbeRow{"UnreadableCaFileVerifiesNothing", true, Trust::UnreadableCaFile,
                                                    ProbeCheck::Verify, ProbeStatus::Untrusted},
                                           ProbeRow{"PinNeedsNoCaFile", true, Trust::PinWithUnreadableCaFile,
                                                    ProbeCheck::Verify, ProbeStatus::Verified},
                                           ProbeRow{"ReadOnlyIgnoresTheCaFile", true, Trust::UnreadableCaFile,
                                                    ProbeCheck::CertificateOnly, ProbeStatus::Unchecked},
                                           ProbeRow{"ReadOnlyIgnoresThePin", true, Trust::PinWithUnreadableCaFile,
                                                    ProbeCheck::CertificateOnly, ProbeStatus::Unchecked},
                                           ProbeRow{"ReadOnlyTellsAServerWithoutTls", false, Trust::UnreadableCaFile,
                                                    ProbeCheck::CertificateOnly, ProbeStatus::NoTls}),
                         [](const ::testing::TestParamInfo<ProbeRow>& info) { return std::string(info.param.name); });

} // namespace
