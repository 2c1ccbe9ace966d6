#include "cli/Secret.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct file_closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

// A temporary stream holding the given bytes, positioned at its start.
std::unique_ptr<std::FILE, file_closer> stream_with(const std::string& bytes) {
    std::unique_ptr<std::FILE, file_closer> f(std::tmpfile());
    std::fwrite(bytes.data(), 1, bytes.size(), f.get());
    std::rewind(f.get());
    return f;
}

struct password_row {
    const char* name;
    std::string content;
    std::string password;
};

// Rows show as their names in test listings.
void PrintTo(const password_row& row, std::ostream* out) {
    *out << row.name;
}

class ReadPasswordFromStream : public testing::TestWithParam<password_row> {};

// Exactly one trailing line end is removed; everything else, blanks and inner line ends included, is the password.
TEST_P(ReadPasswordFromStream, StripsOneLineEnd) {
    SecretText password;
    CString error;
    ASSERT_TRUE(ReadPasswordFrom(stream_with(GetParam().content).get(), "test", password, error)) << error;
    EXPECT_EQ(password.Text(), GetParam().password);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadPasswordFromStream,
    testing::Values(password_row{"Plain", "pa;ss word", "pa;ss word"}, password_row{"NewLine", "secret\n", "secret"},
                    password_row{"CrLf", "secret\r\n", "secret"},
                    password_row{"OnlyOneNewLine", "secret\n\n", "secret\n"},
                    password_row{"LoneCarriageReturnKept", "secret\r", "secret\r"},
                    password_row{"Blanks", " s \n", " s "}, password_row{"Empty", "", ""},
                    password_row{"JustNewLine", "\n", ""},
                    password_row{"LongerThanOneChunk", std::string(5000, 'x') + "\n", std::string(5000, 'x')}),
    [](const testing::TestParamInfo<password_row>& info) { return info.param.name; });

// Input that cannot be a password is refused, and the reason does not quote it.
TEST(ReadPasswordFrom, RefusesZeroBytesAndHugeInput) {
    SecretText password;
    CString error;
    EXPECT_FALSE(ReadPasswordFrom(stream_with(std::string("se\0cret", 7)).get(), "test", password, error));
    EXPECT_EQ(error.find("cret"), CString::npos) << error;
    EXPECT_TRUE(password.Text().empty());

    error.clear();
    EXPECT_FALSE(
        ReadPasswordFrom(stream_with(std::string(kMaxPasswordFileSize + 1, 'y')).get(), "test", password, error));
    EXPECT_NE(error.find("longer"), CString::npos) << error;
}

// A file that cannot be opened is named in the reason, with the system's reason.
TEST(ReadPassword, NamesAMissingFile) {
    SecretText password;
    CString error;
    EXPECT_FALSE(ReadPassword("/nonexistent/enlistor-password", password, error));
    EXPECT_NE(error.find("/nonexistent/enlistor-password"), CString::npos) << error;
    EXPECT_NE(error.find("No such file"), CString::npos) << error;
}

// A FIFO without a writer is refused at once instead of holding the command; so is a device.
TEST(ReadPassword, RefusesWhatIsNoRegularFile) {
    char dir[] = "/tmp/enlistor-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/password";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/null")}) {
        SecretText password;
        CString error;
        EXPECT_FALSE(ReadPassword(path, password, error)) << path;
        EXPECT_NE(error.find("is not a regular file"), CString::npos) << error;
    }
    unlink(fifo.c_str());
    rmdir(dir);
}

struct mode_row {
    const char* name;
    mode_t mode;
    const char* warning; // a part of the warning, or "" for none
};

// Rows show as their names in test listings.
void PrintTo(const mode_row& row, std::ostream* out) {
    *out << row.name;
}

class ReadPasswordFileMode : public testing::TestWithParam<mode_row> {};

// A password file its group or others may read is still read, with a warning for the caller that names the file and
// its mode; a private one gives no warning.
TEST_P(ReadPasswordFileMode, WarnsWhenOthersCanRead) {
    char path[] = "/tmp/enlistor-password-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hunter22\n", 9), 9);
    close(fd);
    ASSERT_EQ(chmod(path, GetParam().mode), 0);

    SecretText password;
    CString error;
    CString warning = "marker";
    const bool ok = ReadPassword(path, password, error, &warning);
    unlink(path);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(password.Text(), "hunter22");
    if (*GetParam().warning == '\0') {
        EXPECT_EQ(warning, "");
    } else {
        EXPECT_NE(warning.find(GetParam().warning), CString::npos) << warning;
        EXPECT_NE(warning.find(path), CString::npos) << warning;
        EXPECT_EQ(warning.find("hunter22"), CString::npos) << warning;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReadPasswordFileMode,
                         testing::Values(mode_row{"OwnerOnly", 0600, ""}, mode_row{"ReadOnly", 0400, ""},
                                         mode_row{"GroupWritableOnly", 0620, ""},
                                         mode_row{"GroupReadable", 0640, "its group (mode 0640)"},
                                         mode_row{"WorldReadable", 0644, "other users (mode 0644)"},
                                         mode_row{"OthersOnly", 0604, "other users (mode 0604)"}),
                         [](const testing::TestParamInfo<mode_row>& info) { return info.param.name; });

// Wiping empties the text; moving a secret leaves nothing behind in the source.
TEST(SecretText, WipesAndMovesWithoutCopies) {
    CString text = "hunter22";
    WipeText(text);
    EXPECT_TRUE(text.empty());

    SecretText a(CString("hunter22"));
    SecretText b(std::move(a));
    EXPECT_EQ(b.Text(), "hunter22");
    EXPECT_TRUE(a.Text().empty()); // NOLINT(bugprone-use-after-move): the moved-from state is the contract
}

// A secret written in place keeps exactly the bytes the writer says it wrote, never more than it was given room for.
TEST(SecretText, BuildKeepsWhatTheWriterReports) {
    const auto build = [](std::size_t capacity, std::size_t reported) {
        return SecretText::Build(capacity, [&](char* bytes) {
            for (std::size_t i = 0; i < capacity; ++i)
                bytes[i] = static_cast<char>('a' + i);
            return reported;
        });
    };
    EXPECT_EQ(build(5, 5).Text(), "abcde");
    EXPECT_EQ(build(5, 2).Text(), "ab");
    EXPECT_EQ(build(5, 9).Text(), "abcde");
    EXPECT_TRUE(build(0, 0).empty());
}

// Every occurrence of a secret of four characters or more is replaced; shorter ones are left alone.
TEST(RedactSecrets, ReplacesLongSecretsOnly) {
    EXPECT_EQ(RedactSecrets("PWD=hunter22;x=hunter22", "hunter22"), "PWD=***;x=***");
    EXPECT_EQ(RedactSecrets("old abcd new wxyz", "wxyz", "abcd"), "old *** new ***");
    EXPECT_EQ(RedactSecrets("abc everywhere", "abc"), "abc everywhere");
    EXPECT_EQ(RedactSecrets("nothing", ""), "nothing");
}

} // namespace
