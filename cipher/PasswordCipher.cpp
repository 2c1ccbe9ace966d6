#include "cipher/Rijndael.h"
#include "cipher/VLBase64.h"
#include "common/Secret.h"

#include <cstring>
#include <iterator>
#include <limits>

// The password key. Changing any word makes every stored password unreadable, so the table is fixed for good.
// Words with zero bytes are intended: those bytes add nothing to the key text.
const std::uint32_t CRijndael::PasswordKeyTable[5][17] = {
    {0x6E4C4234, 0x504B233E, 0x476D3027, 0x47006E2B, 0x4A213F47, 0x56543B5C, 0x7E755055, 0x407B286A, 0x44513E3C,
     0x57782876, 0x244B7A63, 0x2D76567C, 0x282F006E, 0x7C7D007A, 0x66233F40, 0x50647D57, 0x67332A41},
    {0x4222707E, 0x7000002C, 0x5C51272A, 0x35606F79, 0x38457028, 0x68277B5A, 0x4B77792A, 0x56007A45, 0x3C4A3355,
     0x6D2A4D6D, 0x442B7026, 0x5D66727D, 0x40560066, 0x47623D37, 0x52507839, 0x57760024, 0x6A32496D},
    {0x7C3F645B, 0x64237028, 0x00672E59, 0x63442756, 0x3A217D7A, 0x45383841, 0x51267136, 0x2D214B34, 0x684A6050,
     0x41503C32, 0x6A4D7835, 0x225E4954, 0x787B4073, 0x7E584246, 0x5C655E5C, 0x4E4A6772, 0x48007369},
    {0x21796756, 0x47546F37, 0x437B4700, 0x272A0000, 0x6D33732A, 0x46782E54, 0x7B63654C, 0x5F2A605D, 0x682D6A6C,
     0x214D3A7D, 0x754C4D7B, 0x66003400, 0x0000367C, 0x46792200, 0x255E2372, 0x003D4100, 0x477D4C75},
    {0x30000037, 0x6C643956, 0x29386749, 0x31662F72, 0x323C5A00, 0x003D5B00, 0x34263153, 0x5B457B70, 0x2A212859,
     0x79245265, 0x247E6158, 0x25492156, 0x23236021, 0x27490069, 0x27793A5C, 0x2853256A, 0x006F002E},
};

namespace {

constexpr int password_key_length = 32;
constexpr int password_block_size = 32;
constexpr std::size_t password_block = 32;

// Appended after the seventeen words of a row.
constexpr char key_final_character = 'Q';

// Given to KeyExpansion as the chain block; electronic-codebook processing never reads it.
constexpr char password_chain_block[32] = {'E', 'n', 'l', 'i', 's', 't', 'o', 'r', 0, 0, 0, 0, 0, 0, 0, 0,
                                           0,   0,   0,   0,   0,   0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0};

// Padded plaintext size: one block at least, otherwise the password rounded up to whole blocks.
std::size_t padded_size(std::size_t length) {
    if (length <= password_block)
        return password_block;
    return (length + password_block - 1) / password_block * password_block;
}

// Keys the object with the row's key text; the key text is wiped on every way out.
void key_with_password_key(CRijndael& cipher, short keyRow) {
    const SecretText key{cipher.BuildPasswordKey(keyRow)};
    if (key.size() < static_cast<std::size_t>(password_key_length))
        throw CRijndaelError("Empty key");
    cipher.KeyExpansion(key.Text().data(), password_chain_block, password_key_length, password_block_size);
}

} // namespace

CString CRijndael::KeyWordText(std::uint32_t word) {
    // As "%c" formatting gave them, a zero byte giving no character; written directly, so that no formatting buffer
    // is left holding a byte of the key.
    CString text;
    for (int shift = 24; shift >= 0; shift -= 8)
        if (const char c = static_cast<char>((word >> shift) & 0xFF); c != '\0')
            text += c;
    return text;
}

// Rows outside 0 to 4 have no key: the empty text, which the password operations refuse as "Empty key".
CString CRijndael::BuildPasswordKey(short keyRow) {
    if (keyRow < 0 || keyRow >= 5)
        return {};
    // Sized once, so growing leaves no unwiped copy of the key text behind; each word's piece is wiped after use.
    CString key;
    key.reserve(4 * std::size(PasswordKeyTable[keyRow]) + 1);
    for (std::uint32_t word : PasswordKeyTable[keyRow]) {
        SecretText piece{KeyWordText(word)};
        key += piece.Text();
    }
    key += key_final_character;
    return key;
}

// The password is taken up to its first zero byte, as the stored form cannot carry one. Buffers are sized to the
// password, so any length is encrypted whole; up to 2047 bytes the text is the one the fixed-size design wrote.
CString CRijndael::EncryptPassword(const SecretText& password, short keyRow) {
    try {
        CVLBase64 codec;
        key_with_password_key(*this, keyRow);

        const std::size_t length = std::strlen(password.Text().c_str());
        const std::size_t n = padded_size(length);
        if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) / 2)
            return {};
        const SecretText plaintext = SecretText::Build(n, [&](char* bytes) {
            std::memcpy(bytes, password.Text().data(), length);
            return n;
        });
        // The ciphertext is the stored form's bytes: wiped like the password.
        const SecretText ciphertext = SecretText::Build(n, [&](char* bytes) {
            EncryptData(plaintext.Text().data(), bytes, n);
            return n;
        });

        auto count = static_cast<std::int32_t>(n);
        return codec.Encode(reinterpret_cast<const unsigned char*>(ciphertext.Text().data()), count);
    } catch (const std::exception&) {
        return {};
    }
}

// Accepts stored texts of any length; the text buffer holds the whole text and its terminator, and the plaintext
// buffer the whole ciphertext plus a zero byte, so a plaintext without a zero byte ends at its last byte.
SecretText CRijndael::DecryptPassword(const CString& stored, short keyRow) {
    try {
        CVLBase64 codec;
        key_with_password_key(*this, keyRow);

        int count = 0;
        const SecretText text = SecretText::Build(stored.size() + 1, [&](char* bytes) {
            std::memcpy(bytes, stored.data(), stored.size());
            count = codec.Decode(bytes);
            return stored.size() + 1;
        });
        const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;

        return SecretText::Build(n + 1, [&](char* bytes) {
            DecryptData(text.Text().data(), bytes, n);
            return std::strlen(bytes);
        });
    } catch (const std::exception&) {
        return {};
    }
}
