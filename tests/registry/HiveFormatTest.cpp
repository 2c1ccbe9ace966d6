#include "platform/registry/HiveFormat.h"

#include <gtest/gtest.h>

using namespace enlistor::registry;

namespace {

TEST(HiveFormat, NamesEncodeToOneCanonicalFormAndBack) {
    // Reserved characters are escaped, everything else is kept; decoding accepts only the canonical form.
    struct Row {
        std::string name;
        std::string stored;
    };
    for (const Row& row : {Row{"General", "General"}, Row{"a/b", "a%2Fb"}, Row{"100%", "100%25"},
                           Row{".lock", "%2Elock"}, Row{"a.b", "a.b"}, Row{"@x@", "%40x@"}, Row{"", ""},
                           Row{"\xe4\xf6", "\xe4\xf6"}, Row{"back\\slash", "back\\slash"}}) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(encode_name(row.name), row.stored);
        EXPECT_EQ(decode_name(row.stored), row.name);
    }
    for (const char* stored : {"a%2fb", "%41", "%2", "%", "%G0", "a/b", ".lock", "@x", "%2E%2"})
        EXPECT_EQ(decode_name(stored), std::nullopt) << stored;
    EXPECT_EQ(decode_value_file_name("@DBUserID"), "DBUserID");
    EXPECT_EQ(decode_value_file_name("@"), "");
    EXPECT_EQ(decode_value_file_name("DBUserID"), std::nullopt);
    EXPECT_EQ(decode_key_entry_name("@DBUserID"), std::nullopt);
    EXPECT_EQ(decode_key_entry_name(".tmp"), std::nullopt);
}

TEST(HiveFormat, StoredNamesAreLimitedTo255Bytes) {
    // A name whose stored form would not fit a directory entry cannot be stored.
    EXPECT_TRUE(encode_name(std::string(255, 'a')).has_value());
    EXPECT_FALSE(encode_name(std::string(256, 'a')).has_value());
    EXPECT_FALSE(encode_name(std::string(86, '/')).has_value());
    EXPECT_TRUE(value_file_name(std::string(254, 'a')).has_value());
    EXPECT_FALSE(value_file_name(std::string(255, 'a')).has_value());
}

TEST(HiveFormat, NamesCompareCaseInsensitivelyOverAsciiOnly) {
    // ASCII letters fold; other bytes compare exactly.
    EXPECT_TRUE(names_equal("DBUserID", "dbuserid"));
    EXPECT_TRUE(names_equal("ODBCINST.INI", "odbcinst.ini"));
    EXPECT_FALSE(names_equal("General", "Genera"));
    EXPECT_FALSE(names_equal("\xc4", "\xe4"));
    EXPECT_FALSE(names_equal("[", "{"));
}

TEST(HiveFormat, KeyPathsSplitAsWindowsDoes) {
    // Leading "\" is a bad path; doubled and trailing "\" are skipped; "/" is kept.
    std::vector<std::string> parts;
    EXPECT_EQ(split_key_path("SOFTWARE\\Velmora\\General", parts), ERROR_SUCCESS);
    EXPECT_EQ(parts, (std::vector<std::string>{"SOFTWARE", "Velmora", "General"}));
    EXPECT_EQ(split_key_path("a\\\\b/c\\", parts), ERROR_SUCCESS);
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "b/c"}));
    EXPECT_EQ(split_key_path("", parts), ERROR_SUCCESS);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(split_key_path("\\a", parts), ERROR_BAD_PATHNAME);
    EXPECT_EQ(split_key_path("a\\" + std::string(256, 'x'), parts), ERROR_INVALID_PARAMETER);
}

TEST(HiveFormat, ValueFilesRoundTripAndRejectEveryMalformedLength) {
    // serialize/parse round-trip; a file one byte short or long, or with another magic, is corrupt.
    for (std::size_t size : {0, 1, 12, 300}) {
        std::vector<std::uint8_t> data(size, 0x5a);
        std::vector<std::uint8_t> file = serialize_value_file(REG_MULTI_SZ, data);
        ASSERT_EQ(file.size(), value_header_size + size);
        const auto parsed = parse_value_file(file);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->type, REG_MULTI_SZ);
        EXPECT_TRUE(std::equal(parsed->data.begin(), parsed->data.end(), data.begin(), data.end()));
        file.push_back(0);
        EXPECT_FALSE(parse_value_file(file).has_value());
        file.resize(file.size() - 2);
        EXPECT_FALSE(parse_value_file(file).has_value());
    }
    std::vector<std::uint8_t> other = serialize_value_file(REG_SZ, {});
    other[3] = '2';
    EXPECT_FALSE(parse_value_file(other).has_value());
    // A header within the cap parses; one past it is corrupt even when the file size agrees.
    const std::vector<std::uint8_t> at_cap = serialize_value_file(REG_SZ, std::vector<std::uint8_t>(max_value_size));
    EXPECT_TRUE(parse_value_header(at_cap, at_cap.size()).has_value());
    std::vector<std::uint8_t> past_cap = at_cap;
    past_cap[8] = 1; // 65537
    EXPECT_FALSE(parse_value_header(past_cap, past_cap.size() + 1).has_value());
}

} // namespace
