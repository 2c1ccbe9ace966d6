// The hive as a hostile local user meets it: private modes, planted links and odd files, huge value files.
#include "platform/registry/Registry.h"

#include "tests/registry/HiveTestSupport.h"

#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace enlistor::test;

namespace {

constexpr const char* settings_key = "SOFTWARE\\Velmora\\General";

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return 07777;
    return st.st_mode & 07777;
}

std::string file_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every directory (the root included) and file of the hive whose mode is not 0700 or 0600, as "path mode" lines.
std::string wider_than_private(const fs::path& root) {
    std::string found;
    auto check = [&](const fs::path& path, bool directory) {
        const unsigned mode = mode_of(path);
        if (mode != (directory ? 0700u : 0600u))
            found += path.lexically_relative(root).string() + " " + std::to_string(mode) + "\n";
    };
    check(root, true);
    for (const auto& entry : fs::recursive_directory_iterator(root))
        check(entry.path(), entry.is_directory());
    return found;
}

class HiveSafetyTest : public ::testing::Test {
protected:
    ScopedHive m_hive;
};

TEST_F(HiveSafetyTest, HiveIsPrivateWhateverTheUmaskAndAWriteNarrowsAWiderOne) {
    // A hive written under any umask has directories 0700 and files 0600 only; an old hive opened to all is
    // narrowed along the written key's path (the root too), and the key's other value files with it.
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        fs::remove_all(m_hive.root());
        const mode_t previous = ::umask(mask);
        const LONG first = SetText(settings_key, "DatabaseServer", REG_SZ, "db01");
        const LONG second = SetText(settings_key, "DBUserPassword", REG_SZ, "stored");
        ::umask(previous);
        ASSERT_EQ(first, ERROR_SUCCESS);
        ASSERT_EQ(second, ERROR_SUCCESS);
        EXPECT_EQ(wider_than_private(m_hive.root()), "");
    }

    OpenHiveToAll(m_hive);
    const mode_t previous = ::umask(0);
    const LONG status = SetText(settings_key, "DatabaseServer", REG_SZ, "db02");
    ::umask(previous);
    ASSERT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(wider_than_private(m_hive.root()), "");
}

TEST_F(HiveSafetyTest, AnotherUserCannotReadAnyValue) {
    // As nobody: the private hive refuses every key and value with ERROR_ACCESS_DENIED, even through the root.
    for (const char* name : {"DatabaseServer", "DatabaseName", "DBUserID", "DBUserPassword"})
        ASSERT_EQ(SetText(settings_key, name, REG_SZ, "secret"), ERROR_SUCCESS);
    ASSERT_EQ(SetText("", "RootValue", REG_SZ, "secret"), ERROR_SUCCESS);
    const std::string report = RunAsNobody([] {
        std::string out;
        for (const char* name : {"DatabaseServer", "DatabaseName", "DBUserID", "DBUserPassword"})
            out += std::to_string(GetValue(settings_key, name).status) + " ";
        out += std::to_string(GetValue("", "RootValue").status);
        DWORD size = 0;
        out +=
            " " + std::to_string(RegQueryValueExA(HKEY_LOCAL_MACHINE, "RootValue", nullptr, nullptr, nullptr, &size));
        return out;
    });
    EXPECT_EQ(report, "5 5 5 5 5 5");
}

// A planted entry: plant() puts it into the key's directory (given the decoy's path); then a read and a write of
// value "V" of the key give the codes listed, and the decoy stays as it was.
struct PlantRow {
    const char* name;
    std::function<void(const fs::path& key, const fs::path& decoy)> plant;
    LONG read;
    LONG write;
    std::string value_after; // what V reads afterwards, when the read succeeds
};

// Rows print as their names, so the test names carry no byte dumps.
void PrintTo(const PlantRow& row, std::ostream* out) {
    *out << row.name;
}

class PlantedEntries : public HiveSafetyTest, public ::testing::WithParamInterface<PlantRow> {};

TEST_P(PlantedEntries, AreNeverFollowedNorWrittenThrough) {
    // A link or odd file where the hive expects its own entry is refused or replaced, never followed: the decoy
    // it points at keeps its bytes and its mode, and nothing is created at a link's target.
    ASSERT_EQ(SetText("Key", "V", REG_SZ, "old"), ERROR_SUCCESS);
    TempDir outside;
    const fs::path decoy = outside.path() / "decoy";
    std::ofstream(decoy, std::ios::binary) << "decoy bytes";
    fs::permissions(decoy, fs::perms(0644), fs::perm_options::replace);
    const fs::path key = m_hive.localMachine() / "Key";
    GetParam().plant(key, decoy);

    const auto started = std::chrono::steady_clock::now();
    const LONG read = GetValue("Key", "V").status;
    const LONG write = SetText("Key", "V", REG_SZ, "new");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)); // no FIFO blocks a call
    EXPECT_EQ(read, GetParam().read);
    EXPECT_EQ(write, GetParam().write);
    const StoredValue after = GetValue("Key", "V");
    if (after.status == ERROR_SUCCESS) {
        EXPECT_EQ(AsText(after.data), GetParam().value_after);
    }

    EXPECT_EQ(file_text(decoy), "decoy bytes");
    EXPECT_EQ(mode_of(decoy), 0644u);
    std::vector<std::string> outside_entries;
    for (const auto& entry : fs::directory_iterator(outside.path()))
        outside_entries.push_back(entry.path().filename().string());
    EXPECT_EQ(outside_entries, std::vector<std::string>{"decoy"});
}

void replace_with_link(const fs::path& entry, const fs::path& target) {
    fs::remove_all(entry);
    fs::create_symlink(target, entry);
}

INSTANTIATE_TEST_SUITE_P(
    Hive, PlantedEntries,
    ::testing::Values(
        // The fixed temporary name of earlier writers, and a name of today's form: replaced, never written through.
        PlantRow{"LinkAsOldTemporary",
                 [](const fs::path& key, const fs::path& decoy) { fs::create_symlink(decoy, key / ".tmp"); },
                 ERROR_SUCCESS, ERROR_SUCCESS, "new"},
        PlantRow{"LinkAsTemporary",
                 [](const fs::path& key, const fs::path& decoy) {
                     fs::create_symlink(decoy, key / ".tmp-0123456789abcdef");
                 },
                 ERROR_SUCCESS, ERROR_SUCCESS, "new"},
        PlantRow{"LinkAsValueFile",
                 [](const fs::path& key, const fs::path& decoy) { replace_with_link(key / "@V", decoy); }, ERROR_BADKEY,
                 ERROR_BADKEY, ""},
        PlantRow{"FifoAsValueFile",
                 [](const fs::path& key, const fs::path&) {
                     fs::remove(key / "@V");
                     ASSERT_EQ(::mkfifo((key / "@V").c_str(), 0600), 0);
                 },
                 ERROR_BADKEY, ERROR_BADKEY, ""},
        PlantRow{"DirectoryAsValueFile",
                 [](const fs::path& key, const fs::path&) {
                     fs::remove(key / "@V");
                     fs::create_directory(key / "@V");
                 },
                 ERROR_BADKEY, ERROR_BADKEY, ""},
        // A dangling lock link would create its target: the write is refused instead; reads do not lock.
        PlantRow{"LinkAsLock",
                 [](const fs::path& key, const fs::path& decoy) {
                     replace_with_link(key / ".lock", decoy.parent_path() / "created-by-lock");
                 },
                 ERROR_SUCCESS, ERROR_BADKEY, "old"},
        PlantRow{"LinkAsKeyDirectory",
                 [](const fs::path& key, const fs::path& decoy) { replace_with_link(key, decoy.parent_path()); },
                 ERROR_BADKEY, ERROR_BADKEY, ""},
        PlantRow{"LinkAsLocalMachine",
                 [](const fs::path& key, const fs::path& decoy) {
                     replace_with_link(key.parent_path(), decoy.parent_path());
                 },
                 ERROR_BADKEY, ERROR_BADKEY, ""}),
    [](const ::testing::TestParamInfo<PlantRow>& info) { return std::string(info.param.name); });

TEST_F(HiveSafetyTest, ValuesOverTheCapAreRefusedOnWriteAndHugeFilesOnReadWithoutLoadingThem) {
    // 64 KiB of data is stored; one byte more is ERROR_INVALID_PARAMETER and leaves the old value. A sparse value
    // file of 100 MB or 4 GiB (header matching its size) reads as ERROR_BADKEY at once, in a child whose peak
    // memory stays far below the file's size.
    ASSERT_EQ(SetValue("Key", "V", REG_BINARY, std::vector<std::uint8_t>(65536, 1)), ERROR_SUCCESS);
    EXPECT_EQ(SetValue("Key", "V", REG_BINARY, std::vector<std::uint8_t>(65537, 2)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetValue("Key", "V").data, std::vector<std::uint8_t>(65536, 1));

    for (const std::uint64_t size : {std::uint64_t{100} << 20, std::uint64_t{4} << 30}) {
        SCOPED_TRACE(size);
        const fs::path file = m_hive.localMachine() / "Key" / "@Huge";
        {
            const std::uint64_t data_size = std::min<std::uint64_t>(size - 12, 0xFFFFFFFFu);
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out << "ERV1";
            for (std::uint64_t word : {std::uint64_t{REG_SZ}, data_size})
                for (int i = 0; i < 4; ++i)
                    out.put(static_cast<char>(word >> (8 * i)));
        }
        fs::resize_file(file, size);
        const std::string report = RunInChild(
            [] {
                rusage before{};
                ::getrusage(RUSAGE_SELF, &before);
                const auto started = std::chrono::steady_clock::now();
                const StoredValue value = GetValue("Key", "Huge");
                const auto took =
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
                rusage after{};
                ::getrusage(RUSAGE_SELF, &after);
                const bool quick = took < std::chrono::seconds(2);
                const bool small = after.ru_maxrss - before.ru_maxrss < 16 * 1024; // kilobytes
                return std::to_string(value.status) + (quick ? " quick" : " slow") + (small ? " small" : " large");
            },
            false);
        EXPECT_EQ(report, std::to_string(ERROR_BADKEY) + " quick small");
        fs::remove(file);
    }
}

} // namespace
