// The unattended commands through the real FreeTDS driver against the SQL Server stand-in (tests/data): the
// executable runs in this test's network namespace (loopback only), so the driver reaches nothing else.
#include "tests/data/TdsLoginServer.h"
#include "tests/data/TdsTls.h"
#include "tests/log/SyslogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace enlistor::test;
using Step = TdsLoginServer::Step;

namespace {

constexpr char kBinary[] = ENLISTOR_CLI_BINARY;
constexpr char kAddress[] = "198.18.0.5";

[[maybe_unused]] std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class FreeTdsCommandLineTest : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!EnterLoopbackOnlyNetwork(&why))
            GTEST_SKIP() << "no network namespace: " << why;
        m_registry = m_dir.path() / "registry";
        fs::create_directories(m_registry);
        setenv("ENLISTOR_REGISTRY", m_registry.c_str(), 1);
        UseTestOdbcConfig(m_dir.path());
        // The stand-in does TLS with a certificate of its own, which register is told to trust (--ca-file) and
        // stores for the runs after it: the login never travels in the clear.
        m_certificate = MakeSelfSignedCertificate(m_dir.path().string(), "standin");
        TdsLoginServer::Options options;
        options.certFile = m_certificate.certFile;
        options.keyFile = m_certificate.keyFile;
        m_server = std::make_unique<TdsLoginServer>(options);
    }

    void TearDown() override {
        for (const std::string& secret : m_secrets)
            for (const std::string& output : m_outputs)
                EXPECT_EQ(output.find(secret), std::string::npos) << "a password was printed: " << output;
    }

    std::string server() const { return "127.0.0.1," + std::to_string(m_server->port()); }

    fs::path password_file(const std::string& password) {
        const fs::path path = m_dir.path() / ("password-" + std::to_string(m_secrets.size()));
        std::ofstream(path, std::ios::binary) << password << "\n";
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
        if (password.size() > 2)
            m_secrets.push_back(password);
        return path;
    }

    ProcessResult run(std::vector<std::string> args, const std::map<std::string, std::string>& environment = {}) {
        args.insert(args.begin(), kBinary);
        ProcessOptions options;
        options.environment = environment;
        ProcessResult result = RunProcess(args, options);
        m_outputs.push_back(result.output);
        m_outputs.push_back(result.errors);
        return result;
    }

    std::vector<std::string> register_args(const std::string& login, const std::string& password,
                                           const std::string& database = "Suite") {
        return {"register",
                "--server",
                server(),
                "--database",
                database,
                "--login",
                login,
                "--password-file",
                password_file(password).string(),
                "--address",
                kAddress,
                "--ca-file",
                m_certificate.certFile};
    }

    TempDir m_dir;
    fs::path m_registry;
    TestCertificate m_certificate;
    std::unique_ptr<TdsLoginServer> m_server;
    std::vector<std::string> m_secrets;
    std::vector<std::string> m_outputs;
};

// register inserts the row once, a second register and check find it, unregister removes it; an address in
// tblServers stays where it is.
TEST_F(FreeTdsCommandLineTest, RegisterCheckUnregisterCycle) {
    const ProcessResult first = run(register_args("sa", "S3cret!"));
    ASSERT_EQ(first.exitCode, 0) << first.errors;
    EXPECT_EQ(first.output, "Server registered successfully\n");
    ASSERT_EQ(m_server->Registered().size(), 1u);
    EXPECT_EQ(m_server->Registered()[0].ip, kAddress);
    EXPECT_EQ(m_server->Registered()[0].type, "Windows");

    EXPECT_EQ(run({"register", "--address", kAddress}).exitCode, 0);
    EXPECT_EQ(m_server->Registered().size(), 1u);
    const ProcessResult check = run({"check", "--address", kAddress});
    EXPECT_EQ(check.exitCode, 0) << check.errors;
    EXPECT_NE(check.output.find("already registered"), std::string::npos) << check.output;

    const ProcessResult removed = run({"unregister", "--address", kAddress});
    EXPECT_EQ(removed.exitCode, 0) << removed.errors;
    EXPECT_TRUE(m_server->Registered().empty());

    m_server->AddServer(kAddress);
    const ProcessResult suiteOwn = run({"unregister", "--address", kAddress});
    EXPECT_EQ(suiteOwn.exitCode, 1);
    ASSERT_EQ(m_server->logins().size(), 5u);
    EXPECT_EQ(m_server->logins()[4], (TdsLoginServer::Login{"sa", "S3cret!", "Suite", true}));
}

} // namespace
