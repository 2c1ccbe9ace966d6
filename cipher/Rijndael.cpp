#include "cipher/Rijndael.h"

#include "common/Secret.h"

#include <array>
#include <cstring>

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;

// GF(2^8) arithmetic modulo x^8 + x^4 + x^3 + x + 1 (0x11B), used only to build the tables at compile time.
constexpr u8 gf_double(u8 x) {
    return static_cast<u8>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr u8 gf_multiply(u8 x, u8 y) {
    u8 product = 0;
    while (y != 0) {
        if (y & 1)
            product ^= x;
        x = gf_double(x);
        y >>= 1;
    }
    return product;
}

// x^254 is the multiplicative inverse of x (and 0 for 0).
constexpr u8 gf_inverse(u8 x) {
    u8 result = 1;
    u8 power = x;
    for (int exponent = 254; exponent != 0; exponent >>= 1) {
        if (exponent & 1)
            result = gf_multiply(result, power);
        power = gf_multiply(power, power);
    }
    return x == 0 ? 0 : result;
}

constexpr u8 rotl8(u8 x, int n) {
    return static_cast<u8>((x << n) | (x >> (8 - n)));
}

constexpr u32 rotr32(u32 x, int n) {
    return n == 0 ? x : (x >> n) | (x << (32 - n));
}

constexpr u32 make_word(u8 b3, u8 b2, u8 b1, u8 b0) {
    return (u32{b3} << 24) | (u32{b2} << 16) | (u32{b1} << 8) | u32{b0};
}

constexpr u8 byte3(u32 w) {
    return static_cast<u8>(w >> 24);
}
constexpr u8 byte2(u32 w) {
    return static_cast<u8>(w >> 16);
}
constexpr u8 byte1(u32 w) {
    return static_cast<u8>(w >> 8);
}
constexpr u8 byte0(u32 w) {
    return static_cast<u8>(w);
}

using ByteTable = std::array<u8, 256>;
using WordTable = std::array<u32, 256>;

// SubBytes: the inverse in GF(2^8) followed by the affine map of FIPS-197 section 5.1.1.
constexpr ByteTable make_sbox() {
    ByteTable s{};
    for (int x = 0; x < 256; ++x) {
        const u8 inv = gf_inverse(static_cast<u8>(x));
        s[x] = static_cast<u8>(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63);
    }
    return s;
}

constexpr ByteTable invert(const ByteTable& s) {
    ByteTable inverse{};
    for (int x = 0; x < 256; ++x)
        inverse[s[x]] = static_cast<u8>(x);
    return inverse;
}

// Word of one byte through MixColumns (after SubBytes): (2•S[x], S[x], S[x], 3•S[x]).
constexpr WordTable make_encryption_table(const ByteTable& s, int rotation) {
    WordTable table{};
    for (int x = 0; x < 256; ++x) {
        const u8 v = s[x];
        table[x] = rotr32(make_word(gf_multiply(v, 2), v, v, gf_multiply(v, 3)), rotation);
    }
    return table;
}

// Word of one byte through InvMixColumns: (14•v, 9•v, 13•v, 11•v), with v = sub[x] (or x itself).
constexpr WordTable make_inverse_mix_table(const ByteTable* sub, int rotation) {
    WordTable table{};
    for (int x = 0; x < 256; ++x) {
        const u8 v = sub ? (*sub)[x] : static_cast<u8>(x);
        table[x] =
            rotr32(make_word(gf_multiply(v, 14), gf_multiply(v, 9), gf_multiply(v, 13), gf_multiply(v, 11)), rotation);
    }
    return table;
}

constexpr std::array<u8, 30> make_round_constants() {
    std::array<u8, 30> rc{};
    rc[0] = 0x01;
    for (std::size_t i = 1; i < rc.size(); ++i)
        rc[i] = gf_double(rc[i - 1]);
    return rc;
}

// The tables live together, cache-line aligned, so the round lookups touch as few lines as possible.
struct alignas(64) CipherTables {
    WordTable E0, E1, E2, E3;
    WordTable D0, D1, D2, D3;
    WordTable K0, K1, K2, K3;
    ByteTable S, Si;
    std::array<u8, 30> rc;
};

constexpr CipherTables make_tables() {
    const ByteTable s = make_sbox();
    const ByteTable si = invert(s);
    return CipherTables{
        make_encryption_table(s, 0),
        make_encryption_table(s, 8),
        make_encryption_table(s, 16),
        make_encryption_table(s, 24),
        make_inverse_mix_table(&si, 0),
        make_inverse_mix_table(&si, 8),
        make_inverse_mix_table(&si, 16),
        make_inverse_mix_table(&si, 24),
        make_inverse_mix_table(nullptr, 0),
        make_inverse_mix_table(nullptr, 8),
        make_inverse_mix_table(nullptr, 16),
        make_inverse_mix_table(nullptr, 24),
        s,
        si,
        make_round_constants(),
    };
}

constexpr CipherTables tables = make_tables();

static_assert(tables.S[0] == 0x63 && tables.S[1] == 0x7C && tables.Si[0] == 0x52);
static_assert(tables.E0[0] == 0xC66363A5 && tables.E1[0] == 0xA5C66363);
static_assert(tables.D0[0] == 0x51F4A750 && tables.K0[1] == 0x0E090D0B);
static_assert(tables.rc[7] == 0x80 && tables.rc[8] == 0x1B && tables.rc[9] == 0x36);

inline u32 load32_be(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return make_word(b[0], b[1], b[2], b[3]);
}

inline void store32_be(char* p, u32 w) {
    p[0] = static_cast<char>(byte3(w));
    p[1] = static_cast<char>(byte2(w));
    p[2] = static_cast<char>(byte1(w));
    p[3] = static_cast<char>(byte0(w));
}

using RoundKeys = const u32 (*)[8];

// One direction of the cipher: the round tables, the last round's substitution box, and the column offsets of rows
// 1, 2 and 3 (ShiftRows for encryption, its inverse for decryption).
struct Direction {
    const WordTable& T0;
    const WordTable& T1;
    const WordTable& T2;
    const WordTable& T3;
    const ByteTable& sub;
    int s1, s2, s3;
};

// ShiftRows offsets by block size (FIPS-197 for 16 bytes, the Rijndael proposal for 24 and 32); decryption shifts
// the other way, by Nb minus these.
constexpr int shift_1 = 1;
constexpr int shift_2(int nb) {
    return nb == 8 ? 3 : 2;
}
constexpr int shift_3(int nb) {
    return nb == 8 ? 4 : 3;
}

template <int Nb>
constexpr Direction encryption{tables.E0, tables.E1, tables.E2, tables.E3, tables.S, shift_1, shift_2(Nb), shift_3(Nb)};
template <int Nb>
constexpr Direction decryption{tables.D0, tables.D1,    tables.D2,        tables.D3,
                               tables.Si, Nb - shift_1, Nb - shift_2(Nb), Nb - shift_3(Nb)};

// One block of Nb columns, the table-driven form of the rounds: every inner round computes column c as
// T0[b3 of a[c]] ^ T1[b2 of a[c + s1]] ^ T2[b1 of a[c + s2]] ^ T3[b0 of a[c + s3]] ^ key[c] (SubBytes, ShiftRows and
// MixColumns in one lookup per byte); the last round has no MixColumns and takes the bytes through the S-box.
template <int Nb, bool Decrypt>
void process_block(RoundKeys keys, int rounds, const char* in, char* out) {
    constexpr const Direction& d = Decrypt ? decryption<Nb> : encryption<Nb>;
    u32 a[Nb];
    u32 t[Nb];
    for (int c = 0; c < Nb; ++c)
        a[c] = load32_be(in + 4 * c) ^ keys[0][c];
    for (int r = 1; r < rounds; ++r) {
        for (int c = 0; c < Nb; ++c)
            t[c] = d.T0[byte3(a[c])] ^ d.T1[byte2(a[(c + d.s1) % Nb])] ^ d.T2[byte1(a[(c + d.s2) % Nb])] ^
                   d.T3[byte0(a[(c + d.s3) % Nb])] ^ keys[r][c];
        for (int c = 0; c < Nb; ++c)
            a[c] = t[c];
    }
    for (int c = 0; c < Nb; ++c) {
        const u32 w = make_word(d.sub[byte3(a[c])], d.sub[byte2(a[(c + d.s1) % Nb])], d.sub[byte1(a[(c + d.s2) % Nb])],
                                d.sub[byte0(a[(c + d.s3) % Nb])]);
        store32_be(out + 4 * c, w ^ keys[rounds][c]);
    }
}

// Every block of the n bytes by itself (electronic codebook), for the block size of the key in use.
void process_data(bool decrypt, RoundKeys keys, int rounds, int blockSize, const char* in, char* out, std::size_t n) {
    const auto step = static_cast<std::size_t>(blockSize);
    for (std::size_t offset = 0; offset < n; offset += step) {
        switch (blockSize) {
        case 16:
            if (decrypt)
                process_block<4, true>(keys, rounds, in + offset, out + offset);
            else
                process_block<4, false>(keys, rounds, in + offset, out + offset);
            break;
        case 24:
            if (decrypt)
                process_block<6, true>(keys, rounds, in + offset, out + offset);
            else
                process_block<6, false>(keys, rounds, in + offset, out + offset);
            break;
        default:
            if (decrypt)
                process_block<8, true>(keys, rounds, in + offset, out + offset);
            else
                process_block<8, false>(keys, rounds, in + offset, out + offset);
            break;
        }
    }
}

} // namespace

CRijndael::~CRijndael() {
    // The round keys are key material.
    WipeBytes(m_Ke, sizeof m_Ke);
    WipeBytes(m_Kd, sizeof m_Kd);
    WipeBytes(tk, sizeof tk);
}

void CRijndael::KeyExpansion(const char* key, const char* chain, int keylength, int blockSize) {
    if (key == nullptr)
        throw CRijndaelError("Empty key");
    // Other sizes would index past the round-key rows and work areas; they are refused before anything changes.
    const auto valid_size = [](int size) { return size == 16 || size == 24 || size == 32; };
    if (!valid_size(keylength) || !valid_size(blockSize))
        throw CRijndaelError("Key length or block size not 16, 24 or 32");

    m_keylength = keylength;
    m_blockSize = blockSize;
    if (chain != nullptr) {
        std::memcpy(m_chain0, chain, static_cast<std::size_t>(blockSize));
        std::memcpy(m_chain, chain, static_cast<std::size_t>(blockSize));
    }

    switch (keylength) {
    case 16:
        m_iROUNDS = blockSize == 16 ? 10 : blockSize == 24 ? 12 : 14;
        break;
    case 24:
        m_iROUNDS = blockSize == 32 ? 14 : 12;
        break;
    default:
        m_iROUNDS = 14;
        break;
    }

    std::memset(m_Ke, 0, sizeof m_Ke);
    std::memset(m_Kd, 0, sizeof m_Kd);

    const int nk = keylength / 4;
    const int nb = blockSize / 4;
    const int rounds = m_iROUNDS;
    for (int i = 0; i < nk; ++i)
        tk[i] = load32_be(key + 4 * i);

    const int total = nb * (rounds + 1);
    int placed = 0;
    const auto place = [&](u32 word) {
        m_Ke[placed / nb][placed % nb] = word;
        m_Kd[rounds - placed / nb][placed % nb] = word;
        ++placed;
    };
    for (int j = 0; j < nk && placed < total; ++j)
        place(tk[j]);

    const auto& S = tables.S;
    int rc_index = 0;
    while (placed < total) {
        const u32 w = tk[nk - 1];
        tk[0] ^= make_word(S[byte2(w)] ^ tables.rc[rc_index], S[byte1(w)], S[byte0(w)], S[byte3(w)]);
        ++rc_index;
        if (nk != 8) {
            for (int i = 1; i < nk; ++i)
                tk[i] ^= tk[i - 1];
        } else {
            for (int i = 1; i < 4; ++i)
                tk[i] ^= tk[i - 1];
            const u32 w3 = tk[3];
            tk[4] ^= make_word(S[byte3(w3)], S[byte2(w3)], S[byte1(w3)], S[byte0(w3)]);
            for (int i = 5; i < 8; ++i)
                tk[i] ^= tk[i - 1];
        }
        for (int j = 0; j < nk && placed < total; ++j)
            place(tk[j]);
    }
    WipeBytes(tk, sizeof tk);

    // The equivalent inverse cipher: inner decryption round keys pass through InvMixColumns.
    for (int r = 1; r < rounds; ++r) {
        for (int c = 0; c < nb; ++c) {
            const u32 v = m_Kd[r][c];
            m_Kd[r][c] = tables.K0[byte3(v)] ^ tables.K1[byte2(v)] ^ tables.K2[byte1(v)] ^ tables.K3[byte0(v)];
        }
    }
    m_bKeyInit = true;
}

void CRijndael::EncryptOneBlock(const char* in, char* result) {
    if (!m_bKeyInit)
        throw CRijndaelError("Object not Initialized");
    process_data(false, m_Ke, m_iROUNDS, m_blockSize, in, result, static_cast<std::size_t>(m_blockSize));
}

void CRijndael::DecryptOneBlock(const char* in, char* result) {
    if (!m_bKeyInit)
        throw CRijndaelError("Object not Initialized");
    process_data(true, m_Kd, m_iROUNDS, m_blockSize, in, result, static_cast<std::size_t>(m_blockSize));
}

// The same as EncryptOneBlock on each block in turn.
void CRijndael::EncryptData(const char* in, char* result, std::size_t n) {
    if (!m_bKeyInit)
        throw CRijndaelError("Object not Initialized");
    if (n == 0 || n % static_cast<std::size_t>(m_blockSize) != 0)
        throw CRijndaelError("Data not multiple of Block Size");
    process_data(false, m_Ke, m_iROUNDS, m_blockSize, in, result, n);
}

void CRijndael::DecryptData(const char* in, char* result, std::size_t n) {
    if (!m_bKeyInit)
        throw CRijndaelError("Object not Initialized");
    if (n == 0 || n % static_cast<std::size_t>(m_blockSize) != 0)
        throw CRijndaelError("Data not multiple of Block Size");
    process_data(true, m_Kd, m_iROUNDS, m_blockSize, in, result, n);
}
