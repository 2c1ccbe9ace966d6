#include "settings/VLReg.h"

#include "tests/registry/HiveTestSupport.h"

#include <gtest/gtest.h>
#include <ostream>

#include <climits>

namespace fs = std::filesystem;
using namespace enlistor::test;

namespace {

const char* const not_found_text = "The system cannot find the file specified.\r\n";
const char* const access_denied_text = "Access is denied.\r\n";
const char* const mismatch_text = "The type you specified mismatch with registry value type.";

class VLRegTest : public ::testing::Test {
protected:
    ScopedHive m_hive;
    CVLReg m_reg;
};

TEST_F(VLRegTest, ConstructionLeavesNoRootNoErrorAndTheFirstOperationPicksLocalMachine) {
    // A new object has a null root, code 0 and no text; any operation sets the root to HKEY_LOCAL_MACHINE.
    EXPECT_EQ(m_reg.m_hRootKey, nullptr);
    EXPECT_EQ(m_reg.m_dwLastError, 0u);
    EXPECT_EQ(m_reg.m_strLastError, "");
    EXPECT_FALSE(m_reg.KeyExists("Missing"));
    EXPECT_EQ(m_reg.m_hRootKey, HKEY_LOCAL_MACHINE);
}

TEST_F(VLRegTest, ReadFailuresKeepTheValueTextAndReportCodeAndText) {
    // Missing key, missing value: false, ERROR_FILE_NOT_FOUND and its text; the value text stays as passed.
    CString value = "untouched";
    EXPECT_FALSE(m_reg.ReadValue(value, "SOFTWARE\\Missing", "V"));
    EXPECT_EQ(m_reg.m_dwLastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_reg.m_strLastError, not_found_text);
    EXPECT_EQ(value, "untouched");

    ASSERT_EQ(SetText("K", "Other", REG_SZ, "x"), ERROR_SUCCESS);
    m_reg.m_strLastError.clear();
    EXPECT_FALSE(m_reg.ReadValue(value, "K", "V"));
    EXPECT_EQ(m_reg.m_dwLastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_reg.m_strLastError, not_found_text);
    EXPECT_EQ(value, "untouched");

    // A bad path gives the system's text for ERROR_BAD_PATHNAME.
    EXPECT_FALSE(m_reg.ReadValue(value, "\\K", "Other"));
    EXPECT_EQ(m_reg.m_dwLastError, static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(m_reg.m_strLastError, "The specified path is invalid.\r\n");
}

TEST_F(VLRegTest, NonTextTypeIsAMismatchWithCodeZero) {
    // REG_DWORD and REG_BINARY values are not read: false, code 0, the mismatch text.
    ASSERT_EQ(SetValue("K", "Number", REG_DWORD, {1, 0, 0, 0}), ERROR_SUCCESS);
    ASSERT_EQ(SetValue("K", "Blob", REG_BINARY, {'a', 'b'}), ERROR_SUCCESS);
    for (const char* name : {"Number", "Blob"}) {
        CString value = "untouched";
        m_reg.m_dwLastError = 99;
        EXPECT_FALSE(m_reg.ReadValue(value, "K", name));
        EXPECT_EQ(m_reg.m_dwLastError, 0u);
        EXPECT_EQ(m_reg.m_strLastError, mismatch_text);
        EXPECT_EQ(value, "untouched");
    }
}

struct TextRow {
    const char* label;
    DWORD type;
    std::string stored;
    std::string read;
};

// The row as test names and failure messages show it.
void PrintTo(const TextRow& row, std::ostream* out) {
    *out << row.label;
}

class VLRegTextTypes : public VLRegTest, public ::testing::WithParamInterface<TextRow> {};

TEST_P(VLRegTextTypes, ReadsTheTextUpToItsFirstZero) {
    // Text types read with or without a terminator; MULTI_SZ gives its first string; EXPAND_SZ stays unexpanded.
    ASSERT_EQ(SetText("K", "V", GetParam().type, GetParam().stored), ERROR_SUCCESS);
    CString value = "untouched";
    m_reg.m_dwLastError = 99;
    EXPECT_TRUE(m_reg.ReadValue(value, "K", "V"));
    EXPECT_EQ(value, GetParam().read);
    EXPECT_EQ(m_reg.m_dwLastError, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VLRegTextTypes,
    ::testing::Values(TextRow{"empty", REG_SZ, "", ""}, TextRow{"no_terminator", REG_SZ, "server", "server"},
                      TextRow{"terminated", REG_SZ, std::string("server\0", 7), "server"},
                      TextRow{"multi_sz", REG_MULTI_SZ, std::string("first\0second\0\0", 14), "first"},
                      TextRow{"expand_sz", REG_EXPAND_SZ, "%SystemRoot%\\x", "%SystemRoot%\\x"},
                      TextRow{"len_255", REG_SZ, std::string(255, 'a'), std::string(255, 'a')},
                      TextRow{"len_256", REG_SZ, std::string(256, 'b'), std::string(256, 'b')},
                      TextRow{"len_65536", REG_SZ, std::string(65536, 'c'), std::string(65536, 'c')}),
    [](const ::testing::TestParamInfo<TextRow>& info) { return std::string(info.param.label); });

TEST_F(VLRegTest, CorruptOrHugeValueFilesFailWithTheHiveCodeAndText) {
    // A value file that is not in the stored form, or far over the cap, is not read as empty: false,
    // ERROR_BADKEY and its system text, the value text unchanged.
    ASSERT_EQ(SetText("K", "V", REG_SZ, "v"), ERROR_SUCCESS);
    const fs::path file = m_hive.localMachine() / "K" / "@V";
    for (const std::uintmax_t size : {std::uintmax_t{5}, std::uintmax_t{100} << 20}) {
        SCOPED_TRACE(size);
        fs::resize_file(file, size);
        CString value = "untouched";
        EXPECT_FALSE(m_reg.ReadValue(value, "K", "V"));
        EXPECT_EQ(m_reg.m_dwLastError, static_cast<DWORD>(ERROR_BADKEY));
        EXPECT_EQ(m_reg.m_strLastError, "The configuration registry key is invalid.\r\n");
        EXPECT_EQ(value, "untouched");
    }
}

TEST_F(VLRegTest, SuccessClearsTheCodeButKeepsTheLastFailureText) {
    // m_dwLastError follows every operation; m_strLastError is only ever set by failures.
    ASSERT_EQ(SetText("K", "V", REG_SZ, "v"), ERROR_SUCCESS);
    CString value;
    EXPECT_FALSE(m_reg.ReadValue(value, "Missing", "V"));
    EXPECT_TRUE(m_reg.ReadValue(value, "K", "V"));
    EXPECT_EQ(m_reg.m_dwLastError, 0u);
    EXPECT_EQ(m_reg.m_strLastError, not_found_text);
    EXPECT_TRUE(m_reg.WriteValue("K", "W", "w", REG_SZ));
    EXPECT_TRUE(m_reg.KeyExists("K"));
    EXPECT_EQ(m_reg.m_strLastError, not_found_text);
}

// One object keeps the keys it opened for its next reads and writes: each read still sees what was written since, by
// the object or from outside, and another key or root is opened on its own.
TEST_F(VLRegTest, KeptKeysSeeEveryChange) {
    ASSERT_EQ(SetText("K", "V", REG_SZ, "first"), ERROR_SUCCESS);
    CString value;
    EXPECT_TRUE(m_reg.ReadValue(value, "K", "V"));
    EXPECT_EQ(value, "first");
    EXPECT_TRUE(m_reg.WriteValue("K", "V", "second", REG_SZ));
    EXPECT_TRUE(m_reg.ReadValue(value, "K", "V"));
    EXPECT_EQ(value, "second");
    ASSERT_EQ(SetText("K", "V", REG_SZ, "third"), ERROR_SUCCESS);
    EXPECT_TRUE(m_reg.ReadValue(value, "K", "V"));
    EXPECT_EQ(value, "third");
    EXPECT_TRUE(m_reg.WriteValue("K", "W", "w", REG_SZ));
    EXPECT_EQ(AsText(GetValue("K", "W").data), "w");

    EXPECT_FALSE(m_reg.ReadValue(value, "Other", "V"));
    EXPECT_EQ(m_reg.m_dwLastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(m_reg.WriteValue("Other", "V", "o", REG_SZ));
    EXPECT_TRUE(m_reg.ReadValue(value, "Other", "V"));
    EXPECT_EQ(value, "o");
    // Under another root the same path is another key: K\Other does not exist.
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &k), ERROR_SUCCESS);
    m_reg.m_hRootKey = k;
    EXPECT_FALSE(m_reg.ReadValue(value, "Other", "V"));
    m_reg.m_hRootKey = HKEY_LOCAL_MACHINE;
    EXPECT_TRUE(m_reg.ReadValue(value, "Other", "V"));
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(VLRegTest, WriteCreatesKeyAndParentsAndStoresTheCharactersOnly) {
    // The key and its parents are made; the data is the text's characters, no terminator; empty gives zero bytes.
    EXPECT_TRUE(m_reg.WriteValue("SOFTWARE\\Velmora\\General", "DatabaseServer", "db01", REG_SZ));
    EXPECT_EQ(m_reg.m_dwLastError, 0u);
    StoredValue stored = GetValue("SOFTWARE\\Velmora\\General", "DatabaseServer");
    EXPECT_EQ(stored.type, REG_SZ);
    EXPECT_EQ(AsText(stored.data), "db01");

    EXPECT_TRUE(m_reg.WriteValue("SOFTWARE\\Velmora\\General", "DatabaseServer", "", REG_SZ));
    stored = GetValue("SOFTWARE\\Velmora\\General", "DatabaseServer");
    EXPECT_EQ(stored.status, ERROR_SUCCESS);
    EXPECT_TRUE(stored.data.empty());
    CString value = "untouched";
    EXPECT_TRUE(m_reg.ReadValue(value, "SOFTWARE\\Velmora\\General", "DatabaseServer"));
    EXPECT_EQ(value, "");

    // The type given is the type stored, and a value of another type is replaced.
    ASSERT_EQ(SetValue("K", "V", REG_DWORD, {7, 0, 0, 0}), ERROR_SUCCESS);
    EXPECT_TRUE(m_reg.WriteValue("K", "V", "%TEMP%", REG_EXPAND_SZ));
    stored = GetValue("K", "V");
    EXPECT_EQ(stored.type, REG_EXPAND_SZ);
    EXPECT_EQ(AsText(stored.data), "%TEMP%");
}

TEST_F(VLRegTest, KeyExistsReportsTheCodeAndNeverTheText) {
    // true with code 0 for an existing key; false with the open's code otherwise; the text is left alone.
    ASSERT_EQ(SetText("K", "V", REG_SZ, "v"), ERROR_SUCCESS);
    m_reg.m_strLastError = "earlier";
    EXPECT_TRUE(m_reg.KeyExists("k"));
    EXPECT_EQ(m_reg.m_dwLastError, 0u);
    EXPECT_FALSE(m_reg.KeyExists("K\\Missing"));
    EXPECT_EQ(m_reg.m_dwLastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_reg.m_strLastError, "earlier");
}

TEST_F(VLRegTest, WritesToTheDriverListAreRefused) {
    // The installed-driver keys mirror unixODBC's list and cannot be written.
    EXPECT_FALSE(m_reg.WriteValue("SOFTWARE\\ODBC\\ODBCINST.INI\\Some Driver", "Driver", "x", REG_SZ));
    EXPECT_EQ(m_reg.m_dwLastError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m_reg.m_strLastError, access_denied_text);
}

TEST_F(VLRegTest, RefusedAccessAsAnUnprivilegedUser) {
    // As nobody: a key without read access does not exist for KeyExists (code 5); reading it and writing a
    // read-only key fail with the access-denied code and text; the value text is unchanged.
    ASSERT_EQ(SetText("Locked", "V", REG_SZ, "v"), ERROR_SUCCESS);
    ASSERT_EQ(SetText("ReadOnly", "V", REG_SZ, "v"), ERROR_SUCCESS);
    OpenHiveToAll(m_hive);
    fs::permissions(m_hive.localMachine() / "Locked", fs::perms(0333), fs::perm_options::replace);
    fs::permissions(m_hive.localMachine() / "ReadOnly", fs::perms(0555), fs::perm_options::replace);
    const std::string report = RunAsNobody([] {
        CVLReg reg;
        std::string out;
        out += reg.KeyExists("Locked") ? "exists" : "absent";
        out += " " + std::to_string(reg.m_dwLastError) + " [" + reg.m_strLastError + "]\n";
        CString value = "untouched";
        out += reg.ReadValue(value, "Locked", "V") ? "read" : "unread";
        out += " " + std::to_string(reg.m_dwLastError) + " [" + reg.m_strLastError + "] " + value + "\n";
        out += reg.WriteValue("ReadOnly", "V", "new", REG_SZ) ? "written" : "unwritten";
        out += " " + std::to_string(reg.m_dwLastError) + " [" + reg.m_strLastError + "]\n";
        out += reg.ReadValue(value, "ReadOnly", "V") ? "read " + value : "unread";
        return out;
    });
    EXPECT_EQ(report, "absent 5 []\n"
                      "unread 5 [Access is denied.\r\n] untouched\n"
                      "unwritten 5 [Access is denied.\r\n]\n"
                      "read v");
}

TEST_F(VLRegTest, SetErrorFromCodeUsesTheSystemTextOrTheFallback) {
    // A code with a system text gets it verbatim (line end included); any other code the fallback sentence with
    // the code as a signed 32-bit number.
    m_reg.SetErrorFromCode(234);
    EXPECT_EQ(m_reg.m_strLastError, "More data is available.\r\n");
    m_reg.SetErrorFromCode(1009);
    EXPECT_EQ(m_reg.m_strLastError, "The configuration registry database is corrupt.\r\n");
    m_reg.SetErrorFromCode(1014);
    EXPECT_EQ(m_reg.m_strLastError, "The system cannot find error message for error number 1014");
    m_reg.SetErrorFromCode(0x80040E14u);
    EXPECT_EQ(m_reg.m_strLastError, "The system cannot find error message for error number -2147217900");
    EXPECT_EQ(m_reg.m_dwLastError, 0u);
}

TEST(VLRegFormat, OnlyPercentCIAndSAreConversions) {
    // %c, %i and %s insert their argument; a '%' before any other character vanishes and that character stays.
    EXPECT_EQ(CVLReg::Format("number %i", 1009), "number 1009");
    EXPECT_EQ(CVLReg::Format("%i|%i|%i", -1, INT_MIN, INT_MAX), "-1|-2147483648|2147483647");
    EXPECT_EQ(CVLReg::Format("[%c][%s]", 'x', "text"), "[x][text]");
    EXPECT_EQ(CVLReg::Format("%d%x%%i 100%", 5), "dx5 100");
    EXPECT_EQ(CVLReg::Format("a%cb", 0), "ab");
    EXPECT_EQ(CVLReg::Format("no conversions"), "no conversions");
}

} // namespace
