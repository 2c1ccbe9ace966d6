// The login never crosses the network unprotected: through the real FreeTDS driver, against the SQL Server stand-in
// doing TLS inside the prelogin with certificates this test makes with openssl, the password reaches the server only
// over TLS and only when the server is verified (a trusted CA with the host checked, or the pinned certificate).
// Every row runs with the server on loopback and on an address of a network namespace's own interface.
#include "platform/data/Ado.h"
#include "platform/data/Transport.h"
#include "tests/data/TdsLoginServer.h"
#include "tests/data/TdsTls.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

namespace {

using namespace enlistor::test;
namespace fs = std::filesystem;

constexpr char kNamespaceAddress[] = "198.18.0.1";
constexpr char kPassword[] = "Pw-over-TLS-4711";

// Runs openssl; throws with its output when it fails.
void openssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult result = RunProcess(argv);
    if (result.exitCode != 0)
        throw std::runtime_error("openssl failed: " + result.errors);
}

// A CA, and certificates for the stand-in: one from that CA for both test addresses, one from it for another host
// name, and one from a CA nobody trusts for both addresses.
struct TestCertificates {
    fs::path dir;
    fs::path ca, rogueCa;
    fs::path good, goodKey, otherHost, otherHostKey, unknownCa, unknownCaKey;

    explicit TestCertificates(const fs::path& where) : dir(where) {
        make_ca("ca", "Enlistor test CA");
        make_ca("rogue-ca", "Unknown CA");
        ca = dir / "ca.crt";
        rogueCa = dir / "rogue-ca.crt";
        std::tie(good, goodKey) = make_leaf("good", "ca", "IP:127.0.0.1,IP:198.18.0.1");
        std::tie(otherHost, otherHostKey) = make_leaf("other", "ca", "DNS:other.example");
        std::tie(unknownCa, unknownCaKey) = make_leaf("unknown", "rogue-ca", "IP:127.0.0.1,IP:198.18.0.1");
    }

    void make_ca(const std::string& name, const std::string& cn) const {
        openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                 "-subj", "/CN=" + cn, "-keyout", (dir / (name + ".key")).string(), "-out",
                 (dir / (name + ".crt")).string()});
    }

    std::pair<fs::path, fs::path> make_leaf(const std::string& name, const std::string& ca, const std::string& san) {
        const fs::path key = dir / (name + ".key");
        const fs::path csr = dir / (name + ".csr");
        const fs::path crt = dir / (name + ".crt");
        const fs::path ext = dir / (name + ".ext");
        std::ofstream(ext) << "subjectAltName=" << san << "\n";
        openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj",
                 "/CN=" + name + " database", "-keyout", key.string(), "-out", csr.string()});
        openssl({"x509", "-req", "-in", csr.string(), "-CA", (dir / (ca + ".crt")).string(), "-CAkey",
                 (dir / (ca + ".key")).string(), "-CAcreateserial", "-days", "2", "-extfile", ext.string(), "-out",
                 crt.string()});
        return {crt, key};
    }

    static std::string fingerprint(const fs::path& crt) { return Sha256Fingerprint(crt.string()); }
};

enum class Offer { NoTls, UnknownCa, OtherHost, Good };
enum class Trust { SystemCas, Pin, TestCaFile, RogueCaFile };

struct Row {
    const char* name;
    Offer offer;
    Trust trust;
    DataErrorCause refusal; // DataErrorCause::Other: the login is sent
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

constexpr DataErrorCause kSent = DataErrorCause::Other;

const Row kRows[] = {
    {"NoTls", Offer::NoTls, Trust::SystemCas, DataErrorCause::ServerCannotEncrypt},
    {"NoTlsWithAPin", Offer::NoTls, Trust::Pin, DataErrorCause::ServerCannotEncrypt},
    {"UnknownCa", Offer::UnknownCa, Trust::SystemCas, DataErrorCause::CertificateUntrusted},
    {"UnknownCaWithAnotherCaFile", Offer::UnknownCa, Trust::TestCaFile, DataErrorCause::CertificateUntrusted},
    {"UnknownCaPinned", Offer::UnknownCa, Trust::Pin, kSent},
    {"UnknownCaWithItsCaFile", Offer::UnknownCa, Trust::RogueCaFile, kSent},
    {"OtherHostName", Offer::OtherHost, Trust::TestCaFile, DataErrorCause::CertificateUntrusted},
    {"OtherHostNamePinned", Offer::OtherHost, Trust::Pin, kSent},
    {"GoodWithSystemCas", Offer::Good, Trust::SystemCas, DataErrorCause::CertificateUntrusted},
    {"GoodWithItsCaFile", Offer::Good, Trust::TestCaFile, kSent},
};

class LoginProtectionTest : public ::testing::TestWithParam<std::tuple<Row, bool>> {
protected:
    void SetUp() override {
        std::string why;
        if (!EnterLoopbackOnlyNetwork(&why))
            GTEST_SKIP() << "no network namespace: " << why;
        ASSERT_TRUE(AddNamespaceAddress(kNamespaceAddress, &why)) << why;
        fs::create_directories(m_dir.path() / "odbc");
        UseTestOdbcConfig(m_dir.path() / "odbc");
        fs::create_directories(m_dir.path() / "certs");
        m_certs = std::make_unique<TestCertificates>(m_dir.path() / "certs");
    }

    TempDir m_dir;
    std::unique_ptr<TestCertificates> m_certs;
};

TEST_P(LoginProtectionTest, ThePasswordReachesOnlyAVerifiedServerOverTls) {
    const auto& [row, onLoopback] = GetParam();
    const std::string address = onLoopback ? "127.0.0.1" : kNamespaceAddress;
    TdsLoginServer::Options options;
    options.address = address;
    fs::path served;
    if (row.offer == Offer::UnknownCa)
        served = m_certs->unknownCa, options.keyFile = m_certs->unknownCaKey;
    else if (row.offer == Offer::OtherHost)
        served = m_certs->otherHost, options.keyFile = m_certs->otherHostKey;
    else if (row.offer == Offer::Good)
        served = m_certs->good, options.keyFile = m_certs->goodKey;
    if (!served.empty())
        options.certFile = served;
    TdsLoginServer server(options);

    enlistor::ado::TransportTrust trust;
    if (row.trust == Trust::Pin)
        trust.pinSha256 =
            *enlistor::ado::NormaliseSha256(TestCertificates::fingerprint(served.empty() ? m_certs->good : served));
    else if (row.trust == Trust::TestCaFile)
        trust.caFile = m_certs->ca;
    else if (row.trust == Trust::RogueCaFile)
        trust.caFile = m_certs->rogueCa;

    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    connection.SetTransportTrust(trust);
    DataErrorCause cause = kSent;
    CString description;
    CString sqlState;
    try {
        connection.Open("Provider=SQLOLEDB; Server=" + address + "," + std::to_string(server.port()) +
                            "; Database=Suite; UID=sa; PWD=" + kPassword + ";",
                        "", "", 0);
    } catch (const _com_error& e) {
        description = e.Description().value_or("");
        sqlState = e.SqlState();
        // The stand-in hangs up after the login: any other failure comes after it.
        if (e.Cause() == DataErrorCause::ServerCannotEncrypt || e.Cause() == DataErrorCause::CertificateUntrusted ||
            e.Cause() == DataErrorCause::TlsFailed)
            cause = e.Cause();
    }
    const enlistor::ado::TransportReport tls = connection.Transport();
    EXPECT_EQ(cause, row.refusal) << description;
    EXPECT_EQ(description.find(kPassword), CString::npos);
    EXPECT_TRUE(tls.overNetwork);
    if (!served.empty()) {
        EXPECT_EQ(tls.certificateSha256, TestCertificates::fingerprint(served));
    }

    if (row.refusal != kSent) {
        // Nothing but the probe reached the server: no login at all. The refusal is the probe's (no SQLSTATE), and
        // the report has the certificate it saw, for the sentence that pins it.
        EXPECT_TRUE(server.logins().empty());
        EXPECT_FALSE(tls.verified);
        EXPECT_EQ(sqlState, "") << description;
        if (!served.empty()) {
            EXPECT_FALSE(tls.subject.empty());
            EXPECT_FALSE(tls.notAfter.empty());
        }
        return;
    }
    ASSERT_EQ(server.logins().size(), 1u) << description;
    EXPECT_EQ(server.logins()[0], (TdsLoginServer::Login{"sa", kPassword, "Suite", true}));
    EXPECT_TRUE(tls.encrypted);
    EXPECT_TRUE(tls.verified);
    EXPECT_EQ(tls.by, row.trust == Trust::Pin ? "pin" : "ca");
    EXPECT_TRUE(tls.warning.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, LoginProtectionTest, ::testing::Combine(::testing::ValuesIn(kRows), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Row, bool>>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "OnLoopback" : "OnANamespaceAddress");
                         });

// The operator's opt-out for this server sends the login as the driver would by default, and says so.
TEST_F(LoginProtectionTest, InsecureLoginForThisServerSendsTheLoginAndWarns) {
    TdsLoginServer server;
    enlistor::ado::TransportTrust trust;
    trust.insecureLogin = true;
    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    connection.SetTransportTrust(trust);
    try {
        connection.Open("Provider=SQLOLEDB; Server=127.0.0.1," + std::to_string(server.port()) +
                            "; Database=Suite; UID=sa; PWD=" + kPassword + ";",
                        "", "", 0);
    } catch (const _com_error&) {
    }
    ASSERT_EQ(server.logins().size(), 1u);
    EXPECT_FALSE(server.logins()[0].overTls);
    const enlistor::ado::TransportReport tls = connection.Transport();
    EXPECT_FALSE(tls.encrypted);
    EXPECT_FALSE(tls.verified);
    EXPECT_NE(tls.warning.find("--insecure-login"), CString::npos) << tls.warning;
}

} // namespace
