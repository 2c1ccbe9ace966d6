// Block throughput of CRijndael for every key/block size and the cost of the two password operations, next to
// OpenSSL's AES-128/256-ECB (16-byte blocks) and libmcrypt's rijndael-256 (32-byte blocks) on the same buffer.
#include "cipher/Rijndael.h"

#include <benchmark/benchmark.h>
#include <mcrypt.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A multiple of 16, 24 and 32 bytes, small enough to stay in the first-level cache.
constexpr std::size_t buffer_bytes = 4608;

std::vector<char> test_bytes(std::size_t size, unsigned seed) {
    std::vector<char> bytes(size);
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<char>(seed >> 24);
    }
    return bytes;
}

void rijndael_blocks(benchmark::State& state, bool decrypt) {
    const int key_bytes = static_cast<int>(state.range(0));
    const int block_bytes = static_cast<int>(state.range(1));
    const std::vector<char> key = test_bytes(32, 1);
    CRijndael cipher;
    cipher.KeyExpansion(key.data(), key.data(), key_bytes, block_bytes);
    std::vector<char> in = test_bytes(buffer_bytes, 2), out(buffer_bytes);
    for (auto _ : state) {
        if (decrypt)
            cipher.DecryptData(in.data(), out.data(), buffer_bytes);
        else
            cipher.EncryptData(in.data(), out.data(), buffer_bytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer_bytes));
}

void BM_RijndaelEncrypt(benchmark::State& state) {
    rijndael_blocks(state, false);
}
void BM_RijndaelDecrypt(benchmark::State& state) {
    rijndael_blocks(state, true);
}

void all_sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"key", "block"});
    for (int key : {16, 24, 32})
        for (int block : {16, 24, 32})
            b->Args({key, block});
}

BENCHMARK(BM_RijndaelEncrypt)->Apply(all_sizes);
BENCHMARK(BM_RijndaelDecrypt)->Apply(all_sizes);

struct EvpContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

void openssl_ecb(benchmark::State& state, bool decrypt) {
    const int key_bytes = static_cast<int>(state.range(0));
    const EVP_CIPHER* algorithm = key_bytes == 16 ? EVP_aes_128_ecb() : EVP_aes_256_ecb();
    const std::vector<char> key = test_bytes(32, 1);
    std::unique_ptr<EVP_CIPHER_CTX, EvpContextDeleter> context(EVP_CIPHER_CTX_new());
    if (!context ||
        EVP_CipherInit_ex(context.get(), algorithm, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                          nullptr, decrypt ? 0 : 1) != 1) {
        state.SkipWithError("OpenSSL cipher set-up failed");
        return;
    }
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    std::vector<char> in = test_bytes(buffer_bytes, 2), out(buffer_bytes);
    for (auto _ : state) {
        int written = 0;
        EVP_CipherUpdate(context.get(), reinterpret_cast<unsigned char*>(out.data()), &written,
                         reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(buffer_bytes));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer_bytes));
}

void BM_OpenSSLEncrypt(benchmark::State& state) {
    openssl_ecb(state, false);
}
void BM_OpenSSLDecrypt(benchmark::State& state) {
    openssl_ecb(state, true);
}
BENCHMARK(BM_OpenSSLEncrypt)->ArgName("key")->Arg(16)->Arg(32);
BENCHMARK(BM_OpenSSLDecrypt)->ArgName("key")->Arg(16)->Arg(32);

// libmcrypt works in place; the buffer is refreshed outside the timed region only once, as its content does not
// change the cost.
void mcrypt_rijndael256(benchmark::State& state, bool decrypt) {
    MCRYPT module = mcrypt_module_open(const_cast<char*>("rijndael-256"), nullptr, const_cast<char*>("ecb"), nullptr);
    std::vector<char> key = test_bytes(32, 1);
    if (module == MCRYPT_FAILED || mcrypt_generic_init(module, key.data(), 32, nullptr) < 0) {
        state.SkipWithError("libmcrypt set-up failed");
        return;
    }
    std::vector<char> data = test_bytes(buffer_bytes, 2);
    for (auto _ : state) {
        if (decrypt)
            mdecrypt_generic(module, data.data(), static_cast<int>(buffer_bytes));
        else
            mcrypt_generic(module, data.data(), static_cast<int>(buffer_bytes));
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer_bytes));
    mcrypt_generic_deinit(module);
    mcrypt_module_close(module);
}

void BM_McryptRijndael256Encrypt(benchmark::State& state) {
    mcrypt_rijndael256(state, false);
}
void BM_McryptRijndael256Decrypt(benchmark::State& state) {
    mcrypt_rijndael256(state, true);
}
BENCHMARK(BM_McryptRijndael256Encrypt);
BENCHMARK(BM_McryptRijndael256Decrypt);

// The password operations as their callers use them: a fresh object per call, keyed by the operation itself.
void BM_EncryptPassword(benchmark::State& state) {
    const SecretText password(std::string(static_cast<std::size_t>(state.range(0)), 'p'));
    for (auto _ : state) {
        CRijndael cipher;
        benchmark::DoNotOptimize(cipher.EncryptPassword(password, kPasswordKeyRow));
    }
}

void BM_DecryptPassword(benchmark::State& state) {
    const SecretText password(std::string(static_cast<std::size_t>(state.range(0)), 'p'));
    const CString stored = CRijndael().EncryptPassword(password, kPasswordKeyRow);
    for (auto _ : state) {
        CRijndael cipher;
        benchmark::DoNotOptimize(cipher.DecryptPassword(stored, kPasswordKeyRow));
    }
}

BENCHMARK(BM_EncryptPassword)->ArgName("length")->Arg(12)->Arg(43);
BENCHMARK(BM_DecryptPassword)->ArgName("length")->Arg(12)->Arg(43);

} // namespace

BENCHMARK_MAIN();
