// A library opened when first needed: what it has is found, and what is missing (the library, or one of its names)
// is said once, in the loader's words or by name.
#include "platform/process/RuntimeLibrary.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct LibraryRow {
    const char* name;
    const char* soname;
    const char* symbol;
    bool found;
    const char* failure; // a part of Failure(); "" when there is none
};

void PrintTo(const LibraryRow& row, std::ostream* out) {
    *out << row.name;
}

class RuntimeLibraryTest : public ::testing::TestWithParam<LibraryRow> {};

TEST_P(RuntimeLibraryTest, FindsWhatItHasAndNamesWhatIsMissing) {
    const LibraryRow& row = GetParam();
    RuntimeLibrary library(row.soname);
    void* address = library.Find(row.symbol);
    EXPECT_EQ(address != nullptr, row.found);
    if (*row.failure == '\0') {
        EXPECT_EQ(library.Failure(), "");
    } else {
        EXPECT_NE(library.Failure().find(row.failure), std::string::npos) << library.Failure();
    }
    // A later miss does not replace the first reason.
    const std::string first = library.Failure();
    EXPECT_EQ(library.Find("enlistor_no_such_name_either"), nullptr);
    if (!first.empty()) {
        EXPECT_EQ(library.Failure(), first);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RuntimeLibraryTest,
                         ::testing::Values(LibraryRow{"FunctionOfTheLibrary", "libc.so.6", "strlen", true, ""},
                                           LibraryRow{"NameTheLibraryLacks", "libc.so.6", "enlistor_no_such_name",
                                                      false, "libc.so.6 has no enlistor_no_such_name"},
                                           LibraryRow{"LibraryThatIsNotInstalled", "libenlistor-none.so.0", "strlen",
                                                      false, "libenlistor-none.so.0"}),
                         [](const ::testing::TestParamInfo<LibraryRow>& info) { return std::string(info.param.name); });

// What Resolve sets is what the name is: calling it through the pointer does the library's work.
TEST(RuntimeLibrary, ResolvedFunctionIsTheLibrarys) {
    RuntimeLibrary library("libc.so.6");
    decltype(&std::strlen) length = nullptr;
    library.Resolve(length, "strlen");
    ASSERT_NE(length, nullptr);
    EXPECT_EQ(length("enlistor"), 8u);
}

} // namespace
