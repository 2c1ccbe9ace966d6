#include "platform/registry/Registry.h"
#include "platform/registry/HiveFormat.h"

#include "tests/registry/HiveTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace enlistor::test;

namespace {

const HKEY marker_key = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0xdeadbeef));
constexpr DWORD marker_dword = 0xdeadbeef;
constexpr std::uint8_t marker_byte = 0xbd;

// unixODBC reads the location of odbcinst.ini once per process, so the test list is in place before any test.
class DriverListEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const fs::path file = m_dir.path() / "odbcinst.ini";
        std::ofstream(file) << "[SQLite3]\nDriver=libsqlite3odbc.so\n\n"
                               "[SQL Server Native Client 11.0]\nDriver=libtdsodbc.so\n\n"
                               "[ODBC Driver 17 for SQL Server]\nDriver=libtdsodbc.so\n";
        ::setenv("ODBCSYSINI", m_dir.path().c_str(), 1);
        ::setenv("ODBCINSTINI", "odbcinst.ini", 1);
    }

private:
    TempDir m_dir;
};
[[maybe_unused]] ::testing::Environment* const driver_list_environment =
    ::testing::AddGlobalTestEnvironment(new DriverListEnvironment);

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 31 + 7); // includes zero bytes
    return bytes;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class RegistryTest : public ::testing::Test {
protected:
    HKEY Create(const char* path, REGSAM access = KEY_READ | KEY_WRITE) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    LONG Open(const char* path, REGSAM access, HKEY* key) {
        *key = marker_key;
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
    }

    ScopedHive m_hive;
};

TEST_F(RegistryTest, MalformedPathsAreRefusedForOpenAndCreate) {
    // A path starting with "\" is ERROR_BAD_PATHNAME, a name too long to store ERROR_INVALID_PARAMETER; no handle.
    HKEY key = marker_key;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(Open("\\SOFTWARE", KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, std::string(86, '/').c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(fs::exists(m_hive.localMachine() / "SOFTWARE"));
}

TEST_F(RegistryTest, TrailingAndDoubledBackslashesAreAccepted) {
    // Empty components are skipped: "A\\\\B\\" is the key A\B.
    RegCloseKey(Create("A\\\\B\\"));
    EXPECT_TRUE(fs::is_directory(m_hive.localMachine() / "A" / "B"));
    HKEY key;
    ASSERT_EQ(Open("A\\B\\\\", KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, EmptyPathOpensTheKeyItself) {
    // "" (or no path) names the key the handle already stands for.
    HKEY parent = Create("A");
    HKEY writer = marker_key;
    ASSERT_EQ(RegOpenKeyExA(parent, "", 0, KEY_WRITE, &writer), ERROR_SUCCESS);
    ASSERT_NE(writer, parent);
    ASSERT_EQ(RegSetValueExA(writer, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 1), ERROR_SUCCESS);
    EXPECT_EQ(AsText(GetValue("A", "V").data), "x");
    HKEY again = marker_key;
    ASSERT_EQ(RegOpenKeyExA(parent, nullptr, 0, KEY_READ, &again), ERROR_SUCCESS);
    HKEY root = marker_key;
    ASSERT_EQ(Open("", KEY_READ, &root), ERROR_SUCCESS);
    for (HKEY key : {parent, writer, again, root})
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, SlashAndReservedCharactersAreOrdinaryNameCharacters) {
    // "/" does not separate keys; names with "%", a leading "." or "@" are keys and values like any other.
    RegCloseKey(Create("a/b"));
    HKEY key;
    EXPECT_EQ(Open("a", KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    ASSERT_EQ(Open("a/b", KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    for (const std::string name : {"100%", ".hidden", "@home", "..", ".lock", ".tmp", "x/y"}) {
        SCOPED_TRACE(name);
        const std::string path = "K\\" + name;
        const std::string value_name = name + "\\v/";
        ASSERT_EQ(SetText(path.c_str(), value_name.c_str(), REG_SZ, name), ERROR_SUCCESS);
        const StoredValue value = GetValue(path.c_str(), value_name.c_str());
        EXPECT_EQ(value.status, ERROR_SUCCESS);
        EXPECT_EQ(AsText(value.data), name);
    }
    EXPECT_EQ(GetValue("K\\..", "..\\v/").status, ERROR_SUCCESS);
    EXPECT_TRUE(fs::is_directory(m_hive.localMachine() / "K" / "%2E."));
}

TEST_F(RegistryTest, KeyNamesCompareCaseInsensitivelyAndKeepTheirCase) {
    // A key is found under any case of its name, keeps the case it was created with, and is never made twice.
    RegCloseKey(Create("SOFTWARE\\Velmora\\General"));
    HKEY key;
    ASSERT_EQ(Open("software\\VELMORA\\general", KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    DWORD disposition = marker_dword;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\velmora\\GENERAL", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(entries(m_hive.localMachine() / "SOFTWARE" / "Velmora"), std::vector<std::string>({".lock", "General"}));
}

TEST_F(RegistryTest, ValueNamesCompareCaseInsensitivelyAndKeepTheirCase) {
    // Writing "dbuserid" replaces "DBUserID", whose stored name keeps its first case.
    ASSERT_EQ(SetText("K", "DBUserID", REG_SZ, "first"), ERROR_SUCCESS);
    ASSERT_EQ(SetText("K", "dbuserid", REG_SZ, "second"), ERROR_SUCCESS);
    EXPECT_EQ(AsText(GetValue("K", "DBUSERID").data), "second");
    EXPECT_EQ(entries(m_hive.localMachine() / "K"), std::vector<std::string>({".lock", "@DBUserID"}));
}

TEST_F(RegistryTest, TypeAndBytesRoundTripAtAnyLength) {
    // Every type and length up to the 64 KiB cap comes back byte for byte, zero bytes included; nothing is added.
    for (DWORD type : {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_NONE, DWORD{0x12345678}}) {
        for (std::size_t size : {0, 1, 3, 255, 256, 257, 4096, 65536}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " size " << size);
            const std::vector<std::uint8_t> data = pattern(size);
            ASSERT_EQ(SetValue("K", "V", type, data), ERROR_SUCCESS);
            const StoredValue value = GetValue("K", "V");
            EXPECT_EQ(value.status, ERROR_SUCCESS);
            EXPECT_EQ(value.type, type);
            EXPECT_EQ(value.data, data);
        }
    }
}

TEST_F(RegistryTest, QueryWithoutBufferGivesTypeAndSizeOnly) {
    // Without a data buffer the call reports the type and the size needed.
    ASSERT_EQ(SetText("K", "V", REG_EXPAND_SZ, "%PATH%"), ERROR_SUCCESS);
    HKEY key;
    ASSERT_EQ(Open("K", KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = marker_dword, size = marker_dword;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, TooSmallBufferGivesMoreDataWithTheSizeAndLeavesTheBufferAlone) {
    // ERROR_MORE_DATA: the size needed and the type are reported, no byte of the buffer is written.
    const std::vector<std::uint8_t> data = pattern(300);
    ASSERT_EQ(SetValue("K", "V", REG_BINARY, data), ERROR_SUCCESS);
    HKEY key;
    ASSERT_EQ(Open("K", KEY_READ, &key), ERROR_SUCCESS);
    std::vector<std::uint8_t> buffer(400, marker_byte);
    DWORD type = marker_dword, size = 299;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(400, marker_byte));

    // An exact fit writes the data and nothing past it.
    size = 300;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 300u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + 300, buffer.end(), [](std::uint8_t b) { return b == marker_byte; }));
    RegCloseKey(key);
}

TEST_F(RegistryTest, MissingValueOrKeyIsFileNotFoundAndWritesNothing) {
    // A missing value or key gives ERROR_FILE_NOT_FOUND; no output is touched (the handle becomes null).
    RegCloseKey(Create("K"));
    HKEY key;
    ASSERT_EQ(Open("K", KEY_READ, &key), ERROR_SUCCESS);
    std::uint8_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), marker_byte);
    DWORD type = marker_dword, size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, marker_dword);
    EXPECT_EQ(size, sizeof buffer);
    EXPECT_TRUE(std::all_of(std::begin(buffer), std::end(buffer), [](std::uint8_t b) { return b == marker_byte; }));
    RegCloseKey(key);
    EXPECT_EQ(Open("K\\Missing", KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(fs::exists(m_hive.localMachine() / "K" / "Missing"));
}

TEST_F(RegistryTest, DefaultValueIsTheEmptyName) {
    // A null value name and "" are the same value, the key's default.
    HKEY key = Create("K");
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 1), ERROR_SUCCESS);
    EXPECT_EQ(AsText(GetValue("K", "").data), "d");
    RegCloseKey(key);
    EXPECT_TRUE(fs::is_regular_file(m_hive.localMachine() / "K" / "@"));
}

TEST_F(RegistryTest, CreateMakesMissingParentsAndReportsDisposition) {
    // RegCreateKeyExA makes every missing key on the path and says whether the last one was new.
    DWORD disposition = marker_dword;
    HKEY key = marker_key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A\\B\\C", 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A\\B\\C", 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);
    EXPECT_TRUE(fs::is_directory(m_hive.localMachine() / "A" / "B" / "C"));

    // Relative to an open key.
    HKEY a = Create("A");
    HKEY d = marker_key;
    ASSERT_EQ(RegCreateKeyExA(a, "B\\D", 0, nullptr, 0, KEY_WRITE, nullptr, &d, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ASSERT_EQ(RegSetValueExA(d, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("v"), 1), ERROR_SUCCESS);
    EXPECT_EQ(AsText(GetValue("A\\B\\D", "V").data), "v");
    RegCloseKey(d);
    RegCloseKey(a);
}

TEST_F(RegistryTest, HandleRightsAreEnforced) {
    // A KEY_WRITE handle cannot query (ERROR_ACCESS_DENIED, outputs untouched); a KEY_READ handle cannot set.
    ASSERT_EQ(SetText("K", "V", REG_SZ, "kept"), ERROR_SUCCESS);
    HKEY writer, reader;
    ASSERT_EQ(Open("K", KEY_WRITE, &writer), ERROR_SUCCESS);
    ASSERT_EQ(Open("K", KEY_READ, &reader), ERROR_SUCCESS);
    std::uint8_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), marker_byte);
    DWORD type = marker_dword, size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(writer, "V", nullptr, &type, buffer, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(type, marker_dword);
    EXPECT_EQ(size, sizeof buffer);
    EXPECT_EQ(buffer[0], marker_byte);
    EXPECT_EQ(RegSetValueExA(reader, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("new"), 3), ERROR_ACCESS_DENIED);
    EXPECT_EQ(AsText(GetValue("K", "V").data), "kept");
    RegCloseKey(writer);
    RegCloseKey(reader);
}

TEST_F(RegistryTest, InvalidHandlesAreRefused) {
    // Null, closed and foreign handles give ERROR_INVALID_HANDLE; the predefined root closes successfully.
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    HKEY key = Create("K");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    int not_a_key = 0;
    const HKEY foreign = reinterpret_cast<HKEY>(&not_a_key);
    EXPECT_EQ(RegSetValueExA(foreign, "V", 0, REG_SZ, nullptr, 0), ERROR_INVALID_HANDLE);
    HKEY out = marker_key;
    EXPECT_EQ(RegOpenKeyExA(foreign, "K", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, ValueFileIsTheDocumentedFormatAndNoTemporaryRemains) {
    // The value file holds header, type and the exact bytes; the temporary is renamed away.
    ASSERT_EQ(SetText("K", "Name", REG_SZ, "abc"), ERROR_SUCCESS);
    std::ifstream in(m_hive.localMachine() / "K" / "@Name", std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(file, std::string("ERV1\x01\0\0\0\x03\0\0\0abc", 15));
    EXPECT_EQ(entries(m_hive.localMachine() / "K"), std::vector<std::string>({".lock", "@Name"}));
}

TEST_F(RegistryTest, RewritingTheStoredBytesLeavesTheValueFileAndAnyChangeReplacesIt) {
    // A write of the type and bytes already stored keeps the very file (nothing to sync); other bytes, another
    // length or another type replace it.
    const fs::path file = m_hive.localMachine() / "K" / "@Name";
    const auto inode = [&] {
        struct stat st {};
        return ::stat(file.c_str(), &st) == 0 ? st.st_ino : ino_t{0};
    };
    ASSERT_EQ(SetText("K", "Name", REG_SZ, "abc"), ERROR_SUCCESS);
    const ino_t first = inode();
    ASSERT_EQ(SetText("K", "Name", REG_SZ, "abc"), ERROR_SUCCESS);
    EXPECT_EQ(inode(), first);
    const std::pair<DWORD, std::string> changes[] = {{REG_SZ, "abd"}, {REG_SZ, "abcd"}, {REG_EXPAND_SZ, "abcd"}};
    for (const auto& [type, text] : changes) {
        const ino_t before = inode();
        ASSERT_EQ(SetText("K", "Name", type, text.c_str()), ERROR_SUCCESS);
        EXPECT_NE(inode(), before) << text;
        const StoredValue stored = GetValue("K", "Name");
        EXPECT_EQ(stored.type, type);
        EXPECT_EQ(std::string(stored.data.begin(), stored.data.end()), text);
    }
}

TEST_F(RegistryTest, CorruptValueFileIsBadKeyAndWritesNothing) {
    // A value file that is not in the stored form reads as ERROR_BADKEY, outputs untouched; a rewrite mends it.
    ASSERT_EQ(SetText("K", "V", REG_SZ, "abc"), ERROR_SUCCESS);
    const fs::path file = m_hive.localMachine() / "K" / "@V";
    std::string over_cap("ERV1\x01\0\0\0\x01\0\x01\0", 12); // 65537 bytes of data, every one present
    over_cap.append(65537, 'x');
    for (const std::string& bad : {std::string(""), std::string("ERV1\x01\0\0\0\x04\0\0\0abc", 15),
                                   std::string("XXXX\x01\0\0\0\x03\0\0\0abc", 15), std::string("ERV1"), over_cap}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bad;
        HKEY key;
        ASSERT_EQ(Open("K", KEY_READ, &key), ERROR_SUCCESS);
        DWORD type = marker_dword, size = marker_dword;
        EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, nullptr, &size), ERROR_BADKEY);
        EXPECT_EQ(type, marker_dword);
        EXPECT_EQ(size, marker_dword);
        RegCloseKey(key);
    }
    ASSERT_EQ(SetText("K", "V", REG_SZ, "mended"), ERROR_SUCCESS);
    EXPECT_EQ(AsText(GetValue("K", "V").data), "mended");
}

TEST_F(RegistryTest, LeftoversOfACrashedWriterAreIgnoredAndReplaced) {
    // A temporary left by a killed writer is invisible to readers and removed by the next write; entries not in
    // canonical stored form are not part of the hive.
    ASSERT_EQ(SetText("K", "V", REG_SZ, "old"), ERROR_SUCCESS);
    const fs::path dir = m_hive.localMachine() / "K";
    std::ofstream(dir / ".tmp", std::ios::binary) << "ERV1 torn";
    std::ofstream(dir / ".tmp-00000000000000ff", std::ios::binary) << "ERV1 torn";
    std::ofstream(dir / "@a%2fb", std::ios::binary) << std::string("ERV1\x01\0\0\0\x01\0\0\0x", 13);
    EXPECT_EQ(AsText(GetValue("K", "V").data), "old");
    EXPECT_EQ(GetValue("K", "a/b").status, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(SetText("K", "V", REG_SZ, "new"), ERROR_SUCCESS);
    EXPECT_EQ(AsText(GetValue("K", "V").data), "new");
    EXPECT_EQ(entries(dir), std::vector<std::string>({".lock", "@V", "@a%2fb"}));
}

TEST_F(RegistryTest, DriverListBranchAnswersFromInstalledDrivers) {
    // SOFTWARE\ODBC\ODBCINST.INI\NAME exists exactly when unixODBC lists the driver NAME (any case).
    HKEY key;
    for (const char* path : {"SOFTWARE\\ODBC\\ODBCINST.INI", "SOFTWARE\\ODBC\\ODBCINST.INI\\SQLite3",
                             "software\\odbc\\odbcinst.ini\\sql server native client 11.0\\",
                             "SOFTWARE\\ODBC\\ODBCINST.INI\\ODBC Driver 17 for SQL Server"}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(Open(path, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    for (const char* path : {"SOFTWARE\\ODBC\\ODBCINST.INI\\SQL Native Client",
                             "SOFTWARE\\ODBC\\ODBCINST.INI\\ODBC Driver 18 for SQL Server",
                             "SOFTWARE\\ODBC\\ODBCINST.INI\\SQLite3\\Deeper"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Open(path, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(key, nullptr);
    }
    // Relative to an open key of the hive, the branch is the same.
    HKEY software = Create("SOFTWARE");
    HKEY driver = marker_key;
    EXPECT_EQ(RegOpenKeyExA(software, "ODBC\\ODBCINST.INI\\SQLite3", 0, KEY_READ, &driver), ERROR_SUCCESS);
    RegCloseKey(driver);
    RegCloseKey(software);
}

TEST_F(RegistryTest, DriverListBranchIsNotInTheHiveAndRefusesWrites) {
    // Directories in the hive under that path do not count; creating, opening for writing and setting values are
    // refused with ERROR_ACCESS_DENIED; the driver keys hold no values.
    fs::create_directories(m_hive.localMachine() / "SOFTWARE" / "ODBC" / "ODBCINST.INI" / "Fake Driver");
    HKEY key;
    EXPECT_EQ(Open("SOFTWARE\\ODBC\\ODBCINST.INI\\Fake Driver", KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("SOFTWARE\\ODBC\\ODBCINST.INI\\SQLite3", KEY_WRITE, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    key = marker_key;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ODBC\\ODBCINST.INI\\New Driver", 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    ASSERT_EQ(Open("SOFTWARE\\ODBC\\ODBCINST.INI\\SQLite3", KEY_READ | KEY_WRITE, &key), ERROR_ACCESS_DENIED);
    ASSERT_EQ(Open("SOFTWARE\\ODBC\\ODBCINST.INI\\SQLite3", KEY_READ, &key), ERROR_SUCCESS);
    DWORD size = marker_dword;
    EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, marker_dword);
    RegCloseKey(key);
}

std::string codes(std::initializer_list<LONG> list) {
    std::string text;
    for (LONG code : list)
        text += std::to_string(code) + " ";
    return text;
}

TEST_F(RegistryTest, OperatingSystemRightsDecideAccessForAnUnprivilegedUser) {
    // As nobody, in a hive opened to others: KEY_READ needs read access to the key's directory, KEY_WRITE and
    // creation write access, and a value file that cannot be read cannot be queried; every refusal is
    // ERROR_ACCESS_DENIED.
    ASSERT_EQ(SetText("Open", "V", REG_SZ, "v"), ERROR_SUCCESS);
    ASSERT_EQ(SetText("Unreadable", "V", REG_SZ, "v"), ERROR_SUCCESS);
    ASSERT_EQ(SetText("Secret", "V", REG_SZ, "v"), ERROR_SUCCESS);
    OpenHiveToAll(m_hive);
    const fs::path lm = m_hive.localMachine();
    fs::permissions(lm / "Open", fs::perms(0555), fs::perm_options::replace);
    fs::permissions(lm / "Unreadable", fs::perms(0333), fs::perm_options::replace);
    fs::permissions(lm / "Secret" / "@V", fs::perms(0200), fs::perm_options::replace);
    fs::permissions(lm, fs::perms(0555), fs::perm_options::replace);

    const std::string report = RunAsNobody([] {
        HKEY key = nullptr;
        const LONG read_open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Open", 0, KEY_READ, &key);
        DWORD size = 0;
        const LONG query_open = RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size);
        RegCloseKey(key);
        const LONG write_open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Open", 0, KEY_WRITE, &key);
        const LONG read_unreadable = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Unreadable", 0, KEY_READ, &key);
        const LONG create_existing =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Open", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
        const LONG create_new =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Open\\New", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
        const LONG create_top =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Top", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
        const LONG set_root = RegSetValueExA(HKEY_LOCAL_MACHINE, "V", 0, REG_SZ, nullptr, 0);
        HKEY secret = nullptr;
        const LONG open_secret = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Secret", 0, KEY_READ, &secret);
        const LONG query_secret = RegQueryValueExA(secret, "V", nullptr, nullptr, nullptr, &size);
        RegCloseKey(secret);
        return codes({read_open, query_open, write_open, read_unreadable, create_existing, create_new, create_top,
                      set_root, open_secret, query_secret});
    });
    fs::permissions(lm, fs::perms(0755), fs::perm_options::replace);
    EXPECT_EQ(report, codes({ERROR_SUCCESS, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
                             ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
                             ERROR_SUCCESS, ERROR_ACCESS_DENIED}));
    EXPECT_FALSE(fs::exists(lm / "Open" / "New"));
    EXPECT_FALSE(fs::exists(lm / "Top"));
}

} // namespace

namespace {

TEST_F(RegistryTest, FailedWriteKeepsTheOldValueAndLeavesNoTemporary) {
    // A write the file system refuses part-way (a real file-size limit, RLIMIT_FSIZE) fails with
    // ERROR_CANTWRITE; the old value stays readable and the unfinished temporary is removed.
    ASSERT_EQ(SetText("K", "V", REG_SZ, "old"), ERROR_SUCCESS);
    const std::string report = RunInChild(
        [] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{64, 64};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                return std::string("setrlimit failed");
            return std::to_string(SetText("K", "V", REG_SZ, std::string(1000, 'n')));
        },
        false);
    EXPECT_EQ(report, std::to_string(ERROR_CANTWRITE));
    const StoredValue value = GetValue("K", "V");
    EXPECT_EQ(value.status, ERROR_SUCCESS);
    EXPECT_EQ(AsText(value.data), "old");
    EXPECT_FALSE(fs::exists(m_hive.localMachine() / "K" / ".tmp"));
}

} // namespace
