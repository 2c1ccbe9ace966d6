#include "cipher/VLBase64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

CString encode(const std::string& bytes) {
    CVLBase64 codec;
    auto count = static_cast<std::int32_t>(bytes.size());
    const CString text = codec.Encode(reinterpret_cast<const unsigned char*>(bytes.data()), count);
    EXPECT_EQ(static_cast<std::size_t>(count), text.size());
    return text;
}

struct Decoded {
    int count;
    std::string bytes; // the first max(count, 0) bytes of the buffer afterwards
    std::vector<char> buffer;
};

Decoded decode(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    CVLBase64 codec;
    const int count = codec.Decode(buffer.data());
    return {count, std::string(buffer.data(), count > 0 ? static_cast<std::size_t>(count) : 0), buffer};
}

// RFC 4648 section 10 test vectors, both ways.
TEST(VLBase64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, text] : vectors) {
        EXPECT_EQ(encode(plain), text);
        const Decoded decoded = decode(text);
        EXPECT_EQ(decoded.count, static_cast<int>(std::strlen(plain)));
        EXPECT_EQ(decoded.bytes, plain);
    }
}

// Zero bytes encode to nothing and set the count to 0; a negative count is treated as no bytes.
TEST(VLBase64, EncodeNothing) {
    CVLBase64 codec;
    const unsigned char byte = 0;
    std::int32_t count = 0;
    EXPECT_EQ(codec.Encode(&byte, count), "");
    EXPECT_EQ(count, 0);
    count = -5;
    EXPECT_EQ(codec.Encode(&byte, count), "");
    EXPECT_EQ(count, 0);
}

// Every text the encoder writes is one line of 4 * ceil(n / 3) alphabet characters and decodes to the same bytes,
// for every length up to 200 and every byte value.
TEST(VLBase64, EncoderOutputAlwaysDecodesBack) {
    std::string bytes;
    unsigned seed = 12345;
    for (std::size_t length = 0; length <= 200; ++length) {
        const CString text = encode(bytes);
        ASSERT_EQ(text.size(), 4 * ((length + 2) / 3)) << length;
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  CString::npos);
        const Decoded decoded = decode(text);
        EXPECT_EQ(decoded.count, static_cast<int>(length));
        EXPECT_EQ(decoded.bytes, bytes) << length;
        seed = seed * 1103515245u + 12345u;
        bytes += static_cast<char>(seed >> 16);
    }
    std::string all;
    for (int value = 0; value < 256; ++value)
        all += static_cast<char>(value);
    EXPECT_EQ(decode(encode(all)).bytes, all);
    EXPECT_EQ(encode("\xff\xff\xff"), "////");
    EXPECT_EQ(encode("\xfb\xef\xbe"), "++++");
}

// Lengths that are not a multiple of four fail at the missing character, and so does a missing "=".
TEST(VLBase64, IncompleteGroupsFail) {
    EXPECT_EQ(decode("").count, 0);
    EXPECT_EQ(decode("QQ").count, -1);
    EXPECT_EQ(decode("QUI").count, -1);
    EXPECT_EQ(decode("QUJDR").count, -1);
    EXPECT_EQ(decode("QQ=").count, -1);
    EXPECT_EQ(decode("Q").count, -1);
}

// "=" is refused in the first or second place of a group; anything outside the alphabet is refused anywhere before
// the end: white space, line breaks, high-bit characters, other punctuation (URL-safe "-" and "_" included).
TEST(VLBase64, CharactersOutsideAlphabetFail) {
    for (const char* text : {"=QUJ", "Q=JD", "==", "====", "QU J", " QUJ", "QUJD\nQUJD", "QUJD QUJD", "QUJ\t",
                             "QU\x80J", "QUJ\xff", "QU-J", "QU_J", "QUJ.", "QUJD\r\n"}) {
        EXPECT_EQ(decode(text).count, -1) << text;
    }
}

// Decoding stops at the first group ending in "=": what follows is not read, not even a line break.
TEST(VLBase64, NothingAfterPaddedGroupIsRead) {
    EXPECT_EQ(decode("QQ==QUJD").count, 1);
    EXPECT_EQ(decode("QQ==\n\x01 junk").count, 1);
    EXPECT_EQ(decode("QUI=====").count, 2);
    const std::string padded44 = encode(std::string(32, 'x'));
    ASSERT_EQ(padded44.size(), 44u);
    EXPECT_EQ(decode(padded44 + "\n").count, 32);
    const std::string unpadded128 = encode(std::string(96, 'x'));
    ASSERT_EQ(unpadded128.size(), 128u);
    EXPECT_EQ(decode(unpadded128).count, 96);
    EXPECT_EQ(decode(unpadded128 + "\n").count, -1);
}

// The stated laxities: "=" third with an alphabet character fourth gives one byte (the fourth must still be valid),
// and the unused low bits of the last character need not be zero.
TEST(VLBase64, StatedLaxities) {
    const Decoded one = decode("QQ=B");
    EXPECT_EQ(one.count, 1);
    EXPECT_EQ(one.bytes, "A");
    EXPECT_EQ(decode("QQ= ").count, -1);
    EXPECT_EQ(decode("QR==").bytes, "A");
    EXPECT_EQ(decode("QUJ=").bytes, "AB");
    EXPECT_EQ(decode("QUL=").bytes, "AB");
}

// Decoding is in place: the bytes land at the start of the text's own buffer, and on failure the groups decoded
// before the bad one stay there.
TEST(VLBase64, DecodesInPlaceAndKeepsBytesBeforeFailure) {
    const Decoded ok = decode("QUJDREVG");
    EXPECT_EQ(ok.count, 6);
    EXPECT_EQ(std::string(ok.buffer.data(), 6), "ABCDEF");
    const Decoded failed = decode("QUJDREVG!!!!");
    EXPECT_EQ(failed.count, -1);
    EXPECT_EQ(std::string(failed.buffer.data(), 6), "ABCDEF");
}

} // namespace
