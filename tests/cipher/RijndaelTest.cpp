#include "cipher/Rijndael.h"

#include <gtest/gtest.h>
#include <ostream>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The chain block KeyExpansion takes (block-size bytes; ECB never reads it).
const char kChain[32] = {};

std::vector<char> from_hex(const std::string& hex) {
    std::vector<char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string to_hex(const char* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

struct KnownAnswer {
    std::string name;
    int key_bytes;
    int block_bytes;
    std::string key, plaintext, ciphertext; // hex
};

std::ostream& operator<<(std::ostream& out, const KnownAnswer& answer) {
    return out << answer.name;
}

std::string row_name(const testing::TestParamInfo<KnownAnswer>& info) {
    return info.param.name;
}

void expect_known_answer(const KnownAnswer& answer) {
    const std::vector<char> key = from_hex(answer.key);
    const std::vector<char> plain = from_hex(answer.plaintext);
    ASSERT_EQ(key.size(), static_cast<std::size_t>(answer.key_bytes));
    ASSERT_EQ(plain.size(), static_cast<std::size_t>(answer.block_bytes));
    const std::vector<char> chain(32, '\0');

    CRijndael cipher;
    cipher.KeyExpansion(key.data(), chain.data(), answer.key_bytes, answer.block_bytes);
    std::vector<char> out(plain.size(), '\x5a');
    cipher.EncryptOneBlock(plain.data(), out.data());
    EXPECT_EQ(to_hex(out.data(), out.size()), answer.ciphertext);

    const std::vector<char> cipher_bytes = from_hex(answer.ciphertext);
    std::vector<char> back(plain.size(), '\x5a');
    cipher.DecryptOneBlock(cipher_bytes.data(), back.data());
    EXPECT_EQ(to_hex(back.data(), back.size()), answer.plaintext);
}

// FIPS-197 Appendix C: the AES examples (16-byte block) for the three key sizes.
class RijndaelFips197 : public testing::TestWithParam<KnownAnswer> {};

TEST_P(RijndaelFips197, EncryptsAndDecryptsTheAppendixCExample) {
    expect_known_answer(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    AppendixC, RijndaelFips197,
    testing::Values(KnownAnswer{"C1_AES128", 16, 16, "000102030405060708090a0b0c0d0e0f",
                                "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
                    KnownAnswer{"C2_AES192", 24, 16, "000102030405060708090a0b0c0d0e0f1011121314151617",
                                "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
                    KnownAnswer{"C3_AES256", 32, 16, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
                                "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"}),
    row_name);

// Known answers for all nine key and block sizes from libmcrypt; the data file says how they were made.
std::vector<KnownAnswer> load_libmcrypt_answers() {
    std::vector<KnownAnswer> answers;
    std::ifstream in(ENLISTOR_SOURCE_DIR "/tests/cipher/rijndael_kat.txt");
    std::string line;
    int index = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        KnownAnswer answer;
        fields >> answer.key_bytes >> answer.block_bytes >> answer.key >> answer.plaintext >> answer.ciphertext;
        answer.name = "key" + std::to_string(answer.key_bytes) + "_block" + std::to_string(answer.block_bytes) + "_" +
                      std::to_string(index++ % 3);
        answers.push_back(answer);
    }
    return answers;
}

class RijndaelLibmcrypt : public testing::TestWithParam<KnownAnswer> {};

TEST_P(RijndaelLibmcrypt, MatchesIndependentImplementation) {
    expect_known_answer(GetParam());
}

INSTANTIATE_TEST_SUITE_P(AllSizes, RijndaelLibmcrypt, testing::ValuesIn(load_libmcrypt_answers()), row_name);

// The data file is present and covers every size combination three times.
TEST(RijndaelLibmcrypt, DataFileCoversAllNineSizes) {
    const auto answers = load_libmcrypt_answers();
    ASSERT_EQ(answers.size(), 27u);
    for (int key : {16, 24, 32})
        for (int block : {16, 24, 32}) {
            int rows = 0;
            for (const auto& answer : answers)
                rows += answer.key_bytes == key && answer.block_bytes == block;
            EXPECT_EQ(rows, 3) << key << "/" << block;
        }
}

struct Sizes {
    int key_bytes;
    int block_bytes;
    int rounds;
};

// The row as test names and failure messages show it.
void PrintTo(const Sizes& sizes, std::ostream* out) {
    *out << "key" << sizes.key_bytes << "_block" << sizes.block_bytes;
}

class RijndaelSizes : public testing::TestWithParam<Sizes> {};

std::string sizes_name(const testing::TestParamInfo<Sizes>& info) {
    return "key" + std::to_string(info.param.key_bytes) + "_block" + std::to_string(info.param.block_bytes);
}

std::vector<char> pattern(std::size_t size, unsigned seed) {
    std::vector<char> bytes(size);
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// Key set-up records the sizes and the round count of the table; encryption of many blocks decrypts back.
TEST_P(RijndaelSizes, RoundCountAndDecryptRoundTrip) {
    const auto [key_bytes, block_bytes, rounds] = GetParam();
    const std::vector<char> key = pattern(static_cast<std::size_t>(key_bytes), 7u * key_bytes + block_bytes);
    CRijndael cipher;
    cipher.KeyExpansion(key.data(), kChain, key_bytes, block_bytes);
    EXPECT_EQ(cipher.KeyLength(), key_bytes);
    EXPECT_EQ(cipher.BlockSize(), block_bytes);
    EXPECT_EQ(cipher.Rounds(), rounds);

    const std::size_t n = 64u * static_cast<std::size_t>(block_bytes);
    const std::vector<char> plain = pattern(n, 99u);
    std::vector<char> encrypted(n), decrypted(n);
    cipher.EncryptData(plain.data(), encrypted.data(), n);
    EXPECT_NE(encrypted, plain);
    cipher.DecryptData(encrypted.data(), decrypted.data(), n);
    EXPECT_EQ(decrypted, plain);
}

// Each block of the data operations is the single-block operation on that block alone: equal input blocks give
// equal output blocks, and changing one block changes no other.
TEST_P(RijndaelSizes, BlocksAreIndependent) {
    const auto [key_bytes, block_bytes, rounds] = GetParam();
    const auto block = static_cast<std::size_t>(block_bytes);
    const std::vector<char> key = pattern(static_cast<std::size_t>(key_bytes), 3u);
    CRijndael cipher;
    cipher.KeyExpansion(key.data(), kChain, key_bytes, block_bytes);

    std::vector<char> plain = pattern(block, 5u);
    plain.insert(plain.end(), plain.begin(), plain.end()); // two equal blocks
    std::vector<char> twice(2 * block);
    cipher.EncryptData(plain.data(), twice.data(), 2 * block);
    EXPECT_TRUE(std::equal(twice.begin(), twice.begin() + block_bytes, twice.begin() + block_bytes));

    std::vector<char> single(block);
    cipher.EncryptOneBlock(plain.data(), single.data());
    EXPECT_TRUE(std::equal(single.begin(), single.end(), twice.begin()));

    plain[block] ^= 1;
    std::vector<char> changed(2 * block);
    cipher.EncryptData(plain.data(), changed.data(), 2 * block);
    EXPECT_TRUE(std::equal(twice.begin(), twice.begin() + block_bytes, changed.begin()));
    EXPECT_FALSE(std::equal(twice.begin() + block_bytes, twice.end(), changed.begin() + block_bytes));
}

// The data operations give, for any number of blocks (odd counts included), exactly what the single-block
// operations give block by block.
TEST_P(RijndaelSizes, DataOperationsEqualSingleBlockOperations) {
    const auto [key_bytes, block_bytes, rounds] = GetParam();
    const auto block = static_cast<std::size_t>(block_bytes);
    const std::vector<char> key = pattern(static_cast<std::size_t>(key_bytes), 8u);
    CRijndael cipher;
    cipher.KeyExpansion(key.data(), kChain, key_bytes, block_bytes);
    for (std::size_t blocks : {1u, 2u, 3u, 5u}) {
        const std::vector<char> in = pattern(blocks * block, 9u + static_cast<unsigned>(blocks));
        std::vector<char> encrypted(in.size()), decrypted(in.size());
        cipher.EncryptData(in.data(), encrypted.data(), in.size());
        cipher.DecryptData(in.data(), decrypted.data(), in.size());
        for (std::size_t k = 0; k < blocks; ++k) {
            std::vector<char> one(block);
            cipher.EncryptOneBlock(in.data() + k * block, one.data());
            EXPECT_TRUE(std::equal(one.begin(), one.end(), encrypted.begin() + static_cast<long>(k * block)))
                << blocks << " " << k;
            cipher.DecryptOneBlock(in.data() + k * block, one.data());
            EXPECT_TRUE(std::equal(one.begin(), one.end(), decrypted.begin() + static_cast<long>(k * block)))
                << blocks << " " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllSizes, RijndaelSizes,
                         testing::Values(Sizes{16, 16, 10}, Sizes{16, 24, 12}, Sizes{16, 32, 14}, Sizes{24, 16, 12},
                                         Sizes{24, 24, 12}, Sizes{24, 32, 14}, Sizes{32, 16, 14}, Sizes{32, 24, 14},
                                         Sizes{32, 32, 14}),
                         sizes_name);

const char kMarker = '\xbd';

std::string message_of(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no exception)";
}

// An unkeyed object refuses every block operation before looking at the count, and writes nothing.
TEST(RijndaelFailures, UnkeyedObjectFailsEveryOperationFirst) {
    CRijndael cipher;
    const std::vector<char> in(64, 'a');
    std::vector<char> out(64, kMarker);
    EXPECT_EQ(message_of([&] { cipher.EncryptOneBlock(in.data(), out.data()); }), "Object not Initialized");
    EXPECT_EQ(message_of([&] { cipher.DecryptOneBlock(in.data(), out.data()); }), "Object not Initialized");
    for (std::size_t n : {0u, 33u, 64u}) {
        EXPECT_EQ(message_of([&] { cipher.EncryptData(in.data(), out.data(), n); }), "Object not Initialized") << n;
        EXPECT_EQ(message_of([&] { cipher.DecryptData(in.data(), out.data(), n); }), "Object not Initialized") << n;
    }
    EXPECT_EQ(out, std::vector<char>(64, kMarker));
}

// Counts of zero or not a whole number of blocks are refused before any output is written.
TEST(RijndaelFailures, CountMustBeWholeNonZeroBlocks) {
    const std::vector<char> key(32, 'k');
    CRijndael cipher;
    cipher.KeyExpansion(key.data(), kChain, 32, 32);
    const std::vector<char> in(96, 'a');
    std::vector<char> out(96, kMarker);
    for (std::size_t n : {0u, 1u, 31u, 33u, 48u, 95u}) {
        EXPECT_EQ(message_of([&] { cipher.EncryptData(in.data(), out.data(), n); }), "Data not multiple of Block Size")
            << n;
        EXPECT_EQ(message_of([&] { cipher.DecryptData(in.data(), out.data(), n); }), "Data not multiple of Block Size")
            << n;
    }
    EXPECT_EQ(out, std::vector<char>(96, kMarker));
    EXPECT_EQ(message_of([&] { cipher.EncryptData(in.data(), out.data(), 64); }), "(no exception)");
}

// A null key is refused with "Empty key" and leaves an unkeyed object unkeyed and a keyed one with its old key;
// the failure is catchable as std::exception and as CRijndaelError.
TEST(RijndaelFailures, NullKeyLeavesObjectUnchanged) {
    CRijndael fresh;
    EXPECT_EQ(message_of([&] { fresh.KeyExpansion(nullptr, nullptr, 32, 32); }), "Empty key");
    EXPECT_THROW(fresh.KeyExpansion(nullptr, nullptr), CRijndaelError);
    char block[32] = {};
    EXPECT_EQ(message_of([&] { fresh.EncryptOneBlock(block, block); }), "Object not Initialized");

    const std::vector<char> key(16, 'k');
    CRijndael keyed;
    keyed.KeyExpansion(key.data(), kChain, 16, 16);
    char before[16], after[16];
    keyed.EncryptOneBlock(block, before);
    EXPECT_EQ(message_of([&] { keyed.KeyExpansion(nullptr, key.data(), 32, 32); }), "Empty key");
    EXPECT_EQ(keyed.BlockSize(), 16);
    EXPECT_EQ(keyed.Rounds(), 10);
    keyed.EncryptOneBlock(block, after);
    EXPECT_EQ(std::memcmp(before, after, 16), 0);
}

// Sizes other than 16, 24 and 32 would index past the key schedule; they are refused and change nothing.
TEST(RijndaelFailures, UnsupportedSizesAreRefused) {
    const std::vector<char> key(64, 'k');
    CRijndael cipher;
    EXPECT_THROW(cipher.KeyExpansion(key.data(), kChain, 20, 16), std::exception);
    EXPECT_THROW(cipher.KeyExpansion(key.data(), kChain, 16, 64), std::exception);
    EXPECT_THROW(cipher.KeyExpansion(key.data(), kChain, 0, 0), std::exception);
    EXPECT_EQ(cipher.Rounds(), 0);
    char block[16] = {};
    EXPECT_EQ(message_of([&] { cipher.EncryptOneBlock(block, block); }), "Object not Initialized");
}

// KeyExpansion on a keyed object replaces key and sizes; the result is that of a fresh object with the new key.
TEST(Rijndael, RekeyingReplacesKeyAndSizes) {
    const std::vector<char> first = pattern(32, 1u), second = pattern(32, 2u);
    const std::vector<char> plain = pattern(24, 3u);
    CRijndael reused;
    reused.KeyExpansion(first.data(), kChain, 32, 32);
    reused.KeyExpansion(second.data(), kChain, 16, 24);
    CRijndael fresh;
    fresh.KeyExpansion(second.data(), kChain, 16, 24);
    char a[24], b[24];
    reused.EncryptOneBlock(plain.data(), a);
    fresh.EncryptOneBlock(plain.data(), b);
    EXPECT_EQ(std::memcmp(a, b, 24), 0);
    EXPECT_EQ(reused.Rounds(), 12);
}

// Input and output may be the same buffer, as the password operations' callers may use them.
TEST(Rijndael, InPlaceOperationGivesSameResult) {
    const std::vector<char> key = pattern(32, 4u);
    for (int block : {16, 24, 32}) {
        CRijndael cipher;
        cipher.KeyExpansion(key.data(), kChain, 32, block);
        std::vector<char> data = pattern(static_cast<std::size_t>(block) * 3, 6u);
        const std::vector<char> original = data;
        std::vector<char> separate(data.size());
        cipher.EncryptData(data.data(), separate.data(), data.size());
        cipher.EncryptData(data.data(), data.data(), data.size());
        EXPECT_EQ(data, separate) << block;
        cipher.DecryptData(data.data(), data.data(), data.size());
        EXPECT_EQ(data, original) << block;
    }
}

} // namespace
