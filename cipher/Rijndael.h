// Rijndael block cipher (block and key sizes of 16, 24 and 32 bytes; ECB over whole blocks) and the password
// operations that turn the database password into its stored text form and back.
#pragma once

#include "common/Secret.h"
#include "common/Text.h"

#include <cstddef>
#include <cstdint>
#include <exception>

// The failure raised by CRijndael. what() is one of:
//   "Empty key"                                  KeyExpansion got no key; the password operations' key row has none
//   "Key length or block size not 16, 24 or 32"  KeyExpansion got another size (refused before anything changes)
//   "Object not Initialized"                     a block or data operation before KeyExpansion
//   "Data not multiple of Block Size"            EncryptData/DecryptData with n zero or not whole blocks
// The password operations catch it and answer the empty text instead.
class CRijndaelError : public std::exception {
public:
    explicit CRijndaelError(const char* message) noexcept : m_szMessage(message) {}
    const char* what() const noexcept override { return m_szMessage; }

private:
    const char* m_szMessage;
};

// The key row that every reader and writer of stored passwords uses.
inline constexpr short kPasswordKeyRow = 2;

class CRijndael {
public:
    CRijndael() = default;
    virtual ~CRijndael();

    CRijndael(const CRijndael&) = delete;
    CRijndael& operator=(const CRijndael&) = delete;

    // Keys the object. key: keylength bytes; chain: blockSize bytes (kept, never read by ECB).
    // Throws CRijndaelError("Empty key") when key is null, and CRijndaelError("Key length or block size not 16, 24
    // or 32") for other sizes.
    void KeyExpansion(const char* key, const char* chain, int keylength = 16, int blockSize = 16);
    // One block of blockSize bytes. Throws CRijndaelError("Object not Initialized") before KeyExpansion.
    void EncryptOneBlock(const char* in, char* result);
    void DecryptOneBlock(const char* in, char* result);
    // n must be a non-zero multiple of the block size, else CRijndaelError("Data not multiple of Block Size"); every
    // block is processed by itself. Throws CRijndaelError("Object not Initialized") before KeyExpansion.
    void EncryptData(const char* in, char* result, std::size_t n);
    void DecryptData(const char* in, char* result, std::size_t n);

    // The stored text of a password (Base64 of the zero-padded password encrypted in 32-byte blocks), or the
    // empty text on failure. Never throws.
    CString EncryptPassword(const SecretText& password, short keyRow);
    // The password a stored text holds, or the empty text when it does not decrypt. Never throws.
    SecretText DecryptPassword(const CString& stored, short keyRow);
    // The key text of one row of PasswordKeyTable (at least 32 characters for every row 0 to 4).
    CString BuildPasswordKey(short keyRow);
    // The word's non-zero bytes, most significant first, as characters.
    static CString KeyWordText(std::uint32_t word);

    static const std::uint32_t PasswordKeyTable[5][17];

    // Sizes of the object's current key, for tests and benchmarks.
    int KeyLength() const { return m_keylength; }
    int BlockSize() const { return m_blockSize; }
    int Rounds() const { return m_iROUNDS; }

private:
    static constexpr int MAX_ROUNDS = 14;
    static constexpr int MAX_BC = 8;

    // Words are kept unsigned so that shifts and rotations are well defined; the bit patterns are those of the
    // signed words of the design.
    bool m_bKeyInit = false;
    std::uint32_t m_Ke[MAX_ROUNDS + 1][MAX_BC] = {};
    std::uint32_t m_Kd[MAX_ROUNDS + 1][MAX_BC] = {};
    int m_keylength = 0;
    int m_blockSize = 0;
    int m_iROUNDS = 0;
    char m_chain0[32] = {};
    char m_chain[32] = {};
    std::uint32_t tk[MAX_BC] = {}; // work area of KeyExpansion, cleared when it is done
    // The block operations keep their state in locals (no object work areas), so a keyed object may encrypt and
    // decrypt on several threads at once.
};
