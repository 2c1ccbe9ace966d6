#include "cipher/Rijndael.h"

#include <array>
#include <cstring>
#include <string.h> // explicit_bzero
#include <utility>

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

// For 24- and 32-byte blocks the state is held as pairs of columns in 64-bit words (column 2p in the low half,
// 2p + 1 in the high half), which halves the registers and key loads a round needs. These are E0..E3 and D0..D3
// widened to 64 bits, once in the low half and once in the high half.
using PairTable = std::array<std::uint64_t, 256>;

struct alignas(64) PairTables {
    PairTable low[4];
    PairTable high[4];
};

constexpr PairTables make_pair_tables(const WordTable& t0, const WordTable& t1, const WordTable& t2,
                                      const WordTable& t3) {
    PairTables pairs{};
    const WordTable* words[4] = {&t0, &t1, &t2, &t3};
    for (int k = 0; k < 4; ++k) {
        for (int x = 0; x < 256; ++x) {
            pairs.low[k][x] = (*words[k])[x];
            pairs.high[k][x] = std::uint64_t{(*words[k])[x]} << 32;
        }
    }
    return pairs;
}

constexpr PairTables encryption_pairs = make_pair_tables(tables.E0, tables.E1, tables.E2, tables.E3);
constexpr PairTables decryption_pairs = make_pair_tables(tables.D0, tables.D1, tables.D2, tables.D3);

// Column offsets of rows 1, 2 and 3 in ShiftRows, by block size; decryption uses Nb minus these.
template <int Nb>
struct ShiftOffsets;
template <>
struct ShiftOffsets<4> {
    static constexpr int s1 = 1, s2 = 2, s3 = 3;
};
template <>
struct ShiftOffsets<6> {
    static constexpr int s1 = 1, s2 = 2, s3 = 3;
};
template <>
struct ShiftOffsets<8> {
    static constexpr int s1 = 1, s2 = 3, s3 = 4;
};

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

// The last round: SubBytes and ShiftRows without MixColumns, then the round key.
inline void store_final_bytes(char* p, u8 b3, u8 b2, u8 b1, u8 b0, u32 k) {
    store32_be(p, make_word(b3, b2, b1, b0) ^ k);
}

using RoundKeys = const u32 (*)[8];

inline std::uint64_t load_pair(const u32* words) {
    return words[0] | (std::uint64_t{words[1]} << 32);
}

// Word c of a state held as column pairs.
template <int C>
inline u32 column_of(const std::uint64_t* pairs) {
    return static_cast<u32>(pairs[C / 2] >> (32 * (C % 2)));
}

// Adds table k's entry for byte x to result column C.
template <int C, int K>
inline void add_entry(std::uint64_t* pairs, const PairTables& t, u8 x) {
    pairs[C / 2] ^= (C % 2 == 0 ? t.low[K] : t.high[K])[x];
}

// The state word J's four bytes go to the four result columns that take them: row i of column c comes from state
// column c + s_i, so state column J feeds row i of column J - s_i.
template <int Nb, int S1, int S2, int S3, int J>
inline void scatter_column(std::uint64_t* to, const std::uint64_t* from, const PairTables& t) {
    const u32 w = column_of<J>(from);
    add_entry<J, 0>(to, t, byte3(w));
    add_entry<(J + Nb - S1) % Nb, 1>(to, t, byte2(w));
    add_entry<(J + Nb - S2) % Nb, 2>(to, t, byte1(w));
    add_entry<(J + Nb - S3) % Nb, 3>(to, t, byte0(w));
}

template <int Nb, int S1, int S2, int S3, int... J>
inline void round_paired(std::uint64_t* to, const std::uint64_t* from, const PairTables& t, const u32* key,
                         std::integer_sequence<int, J...>) {
    for (int p = 0; p < Nb / 2; ++p)
        to[p] = load_pair(key + 2 * p);
    (scatter_column<Nb, S1, S2, S3, J>(to, from, t), ...);
}

template <int Nb, int S1, int S2, int S3, int... C>
inline void final_round(const std::uint64_t* from, const ByteTable& sub, const u32* key, char* out,
                        std::integer_sequence<int, C...>) {
    (store_final_bytes(out + 4 * C, sub[byte3(column_of<C>(from))], sub[byte2(column_of<(C + S1) % Nb>(from))],
                       sub[byte1(column_of<(C + S2) % Nb>(from))], sub[byte0(column_of<(C + S3) % Nb>(from))], key[C]),
     ...);
}

inline std::uint64_t load_column_pair(const char* in) {
    return std::uint64_t{load32_be(in)} | (std::uint64_t{load32_be(in + 4)} << 32);
}

// Rijndael for 24- and 32-byte blocks: the round of the table-driven formula (result column c = T0[b3 of state c]
// ^ T1[b2 of state c+s1] ^ T2[b1 of state c+s2] ^ T3[b0 of state c+s3] ^ round key c), computed state word by
// state word with the state in locals. T holds E0..E3 or D0..D3, and the offsets are the encryption or decryption
// ones. `Blocks` consecutive blocks are computed side by side, each by itself: a round has little independent work
// for one block, and a second block's round fills the processor's idle slots.
template <int Nb, int S1, int S2, int S3, int Blocks>
inline void rounds_general(const PairTables& t, const ByteTable& sub, RoundKeys keys, int rounds, const char* in,
                           char* out) {
    constexpr auto columns = std::make_integer_sequence<int, Nb>{};
    constexpr int block_bytes = 4 * Nb;
    std::uint64_t state[Blocks][Nb / 2];
    for (int b = 0; b < Blocks; ++b)
        for (int p = 0; p < Nb / 2; ++p)
            state[b][p] = load_pair(keys[0] + 2 * p) ^ load_column_pair(in + b * block_bytes + 8 * p);
    std::uint64_t next[Blocks][Nb / 2];
    for (int r = 1; r < rounds; ++r) {
        for (int b = 0; b < Blocks; ++b)
            round_paired<Nb, S1, S2, S3>(next[b], state[b], t, keys[r], columns);
        for (int b = 0; b < Blocks; ++b)
            for (int p = 0; p < Nb / 2; ++p)
                state[b][p] = next[b][p];
    }
    for (int b = 0; b < Blocks; ++b)
        final_round<Nb, S1, S2, S3>(state[b], sub, keys[rounds], out + b * block_bytes, columns);
}

// The 16-byte block with the state in locals and the offsets fixed: 1, 2, 3 for encryption, 3, 2, 1 for decryption.
template <int S1, int S2, int S3>
inline void rounds_16(const WordTable& T0, const WordTable& T1, const WordTable& T2, const WordTable& T3,
                      const ByteTable& sub, RoundKeys keys, int rounds, const char* in, char* out) {
    u32 s0 = load32_be(in) ^ keys[0][0];
    u32 s1 = load32_be(in + 4) ^ keys[0][1];
    u32 s2 = load32_be(in + 8) ^ keys[0][2];
    u32 s3 = load32_be(in + 12) ^ keys[0][3];
    for (int r = 1; r < rounds; ++r) {
        const u32* k = keys[r];
        const u32 w[4] = {s0, s1, s2, s3};
        const u32 t0 = T0[byte3(w[0])] ^ T1[byte2(w[S1 % 4])] ^ T2[byte1(w[S2 % 4])] ^ T3[byte0(w[S3 % 4])] ^ k[0];
        const u32 t1 = T0[byte3(w[1])] ^ T1[byte2(w[(1 + S1) % 4])] ^ T2[byte1(w[(1 + S2) % 4])] ^
                       T3[byte0(w[(1 + S3) % 4])] ^ k[1];
        const u32 t2 = T0[byte3(w[2])] ^ T1[byte2(w[(2 + S1) % 4])] ^ T2[byte1(w[(2 + S2) % 4])] ^
                       T3[byte0(w[(2 + S3) % 4])] ^ k[2];
        const u32 t3 = T0[byte3(w[3])] ^ T1[byte2(w[(3 + S1) % 4])] ^ T2[byte1(w[(3 + S2) % 4])] ^
                       T3[byte0(w[(3 + S3) % 4])] ^ k[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    const u32 w[4] = {s0, s1, s2, s3};
    const u32* k = keys[rounds];
    for (int c = 0; c < 4; ++c)
        store_final_bytes(out + 4 * c, sub[byte3(w[c])], sub[byte2(w[(c + S1) % 4])], sub[byte1(w[(c + S2) % 4])],
                          sub[byte0(w[(c + S3) % 4])], k[c]);
}

// Blocks consecutive blocks (1, or 2 for 24- and 32-byte blocks) with the encryption or decryption round keys,
// for Nb = 4, 6 or 8 columns; each block is processed by itself.
template <int Nb, int Blocks = 1>
inline void encrypt_blocks(RoundKeys keys, int rounds, const char* in, char* out) {
    using O = ShiftOffsets<Nb>;
    if constexpr (Nb == 4)
        rounds_16<O::s1, O::s2, O::s3>(tables.E0, tables.E1, tables.E2, tables.E3, tables.S, keys, rounds, in, out);
    else
        rounds_general<Nb, O::s1, O::s2, O::s3, Blocks>(encryption_pairs, tables.S, keys, rounds, in, out);
}

template <int Nb, int Blocks = 1>
inline void decrypt_blocks(RoundKeys keys, int rounds, const char* in, char* out) {
    using O = ShiftOffsets<Nb>;
    if constexpr (Nb == 4)
        rounds_16<Nb - O::s1, Nb - O::s2, Nb - O::s3>(tables.D0, tables.D1, tables.D2, tables.D3, tables.Si, keys,
                                                      rounds, in, out);
    else
        rounds_general<Nb, Nb - O::s1, Nb - O::s2, Nb - O::s3, Blocks>(decryption_pairs, tables.Si, keys, rounds, in,
                                                                       out);
}

// Every block by itself, the block size chosen once for the whole run. Blocks go two at a time where measurement
// showed it faster (GCC 12, x86-64): 24-byte blocks both ways and 32-byte blocks when encrypting; two 32-byte
// decryptions side by side run out of registers.
template <int Nb, bool Decrypt>
void process_blocks(RoundKeys keys, int rounds, const char* in, char* out, std::size_t n) {
    constexpr std::size_t block_bytes = 4 * Nb;
    constexpr int together = Nb == 4 || (Nb == 8 && Decrypt) ? 1 : 2;
    std::size_t offset = 0;
    for (; offset + together * block_bytes <= n; offset += together * block_bytes) {
        if constexpr (Decrypt)
            decrypt_blocks<Nb, together>(keys, rounds, in + offset, out + offset);
        else
            encrypt_blocks<Nb, together>(keys, rounds, in + offset, out + offset);
    }
    for (; offset < n; offset += block_bytes) {
        if constexpr (Decrypt)
            decrypt_blocks<Nb>(keys, rounds, in + offset, out + offset);
        else
            encrypt_blocks<Nb>(keys, rounds, in + offset, out + offset);
    }
}

// process_blocks for the block size of the key in use (16, 24 or 32 bytes).
template <bool Decrypt>
void process_data(RoundKeys keys, int rounds, int blockSize, const char* in, char* out, std::size_t n) {
    switch (blockSize) {
    case 16:
        process_blocks<4, Decrypt>(keys, rounds, in, out, n);
        break;
    case 24:
        process_blocks<6, Decrypt>(keys, rounds, in, out, n);
        break;
    default:
        process_blocks<8, Decrypt>(keys, rounds, in, out, n);
        break;
    }
}

void wipe(void* data, std::size_t size) {
    explicit_bzero(data, size);
}

} // namespace

CRijndael::~CRijndael() {
    // The round keys are key material.
    wipe(m_Ke, sizeof m_Ke);
    wipe(m_Kd, sizeof m_Kd);
    wipe(tk, sizeof tk);
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
    wipe(tk, sizeof tk);

    // The equivalent inverse cipher: inner decryption round keys pass through InvMixColumns.
    for (int r = 1; r < rounds; ++r) {
        for (int c = 0; c < nb; ++c) {
            const u32 v = m_Kd[r][c];
            m_Kd[r][c] = tables.K0[byte3(v)] ^ tables.K1[byte2(v)] ^ tables.K2[byte1(v)] ^ tables.K3[byte0(v)];
        }
    }
    m_bKeyInit = true;
}

void CRijndael::DefEncryptBlock(const char* in, char* result) {
    if (m_blockSize == 24)
        encrypt_blocks<6>(m_Ke, m_iROUNDS, in, result);
    else
        encrypt_blocks<8>(m_Ke, m_iROUNDS, in, result);
}

void CRijndael::DefDecryptBlock(const char* in, char* result) {
    if (m_blockSize == 24)
        decrypt_blocks<6>(m_Kd, m_iROUNDS, in, result);
    else
        decrypt_blocks<8>(m_Kd, m_iROUNDS, in, result);
}

void CRijndael::EncryptOneBlock(const char* in, char* result) {
    if (!m_bKeyInit)
        throw CRijndaelError("Object not Initialized");
    if (m_blockSize == 16)
        encrypt_blocks<4>(m_Ke, m_iROUNDS, in, result);
    else
        DefEncryptBlock(in, result);
}

void CRijndael::DecryptOneBlock(const char* in, char* result) {
    if (!m_bKeyInit)
        throw CRijndaelError("Object not Initialized");
    if (m_blockSize == 16)
        decrypt_blocks<4>(m_Kd, m_iROUNDS, in, result);
    else
        DefDecryptBlock(in, result);
}

// The same as EncryptOneBlock on each block in turn; the checks and the choice of block size are made once.
void CRijndael::EncryptData(const char* in, char* result, std::size_t n) {
    if (!m_bKeyInit)
        throw CRijndaelError("Object not Initialized");
    if (n == 0 || n % static_cast<std::size_t>(m_blockSize) != 0)
        throw CRijndaelError("Data not multiple of Block Size");
    process_data<false>(m_Ke, m_iROUNDS, m_blockSize, in, result, n);
}

void CRijndael::DecryptData(const char* in, char* result, std::size_t n) {
    if (!m_bKeyInit)
        throw CRijndaelError("Object not Initialized");
    if (n == 0 || n % static_cast<std::size_t>(m_blockSize) != 0)
        throw CRijndaelError("Data not multiple of Block Size");
    process_data<true>(m_Kd, m_iROUNDS, m_blockSize, in, result, n);
}
