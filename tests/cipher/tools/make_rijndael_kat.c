/* Writes known answers for the nine Rijndael key/block sizes, computed by libmcrypt (not by Enlistor's cipher).
   Not part of the build; run once and commit its output:
     cc make_rijndael_kat.c -lmcrypt -o /tmp/make_rijndael_kat && /tmp/make_rijndael_kat > ../rijndael_kat.txt
   libmcrypt names the algorithms by BLOCK size: rijndael-128, rijndael-192, rijndael-256. */
#include <mcrypt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned int lcg_state = 0x2545F491u;

static unsigned char next_byte(void) {
    lcg_state = lcg_state * 1103515245u + 12345u;
    return (unsigned char)(lcg_state >> 16);
}

static void print_hex(const unsigned char* bytes, int count) {
    for (int i = 0; i < count; ++i)
        printf("%02x", bytes[i]);
}

static void encrypt(const char* algorithm, const unsigned char* key, int key_bytes, unsigned char* block,
                    int block_bytes) {
    MCRYPT td = mcrypt_module_open((char*)algorithm, NULL, (char*)"ecb", NULL);
    if (td == MCRYPT_FAILED || mcrypt_enc_get_block_size(td) != block_bytes) {
        fprintf(stderr, "cannot open %s\n", algorithm);
        exit(1);
    }
    if (mcrypt_generic_init(td, (void*)key, key_bytes, NULL) < 0 || mcrypt_generic(td, block, block_bytes) != 0) {
        fprintf(stderr, "cannot encrypt with %s\n", algorithm);
        exit(1);
    }
    mcrypt_generic_deinit(td);
    mcrypt_module_close(td);
}

int main(void) {
    static const int sizes[3] = {16, 24, 32};
    printf("# Rijndael known answers (ECB, one block each) computed by libmcrypt %s (Debian package libmcrypt4),\n",
           LIBMCRYPT_VERSION);
    printf("# algorithms rijndael-128/192/256 (the number is the block size in bits), by\n");
    printf("# tests/cipher/tools/make_rijndael_kat.c. Per line: key bytes, block bytes, key, plaintext, ciphertext.\n");
    for (int k = 0; k < 3; ++k) {
        for (int b = 0; b < 3; ++b) {
            char algorithm[32];
            snprintf(algorithm, sizeof algorithm, "rijndael-%d", sizes[b] * 8);
            for (int kind = 0; kind < 3; ++kind) {
                unsigned char key[32], plain[32], cipher[32];
                for (int i = 0; i < 32; ++i) {
                    /* all zero; counting bytes; pseudo-random */
                    key[i] = kind == 0 ? 0 : kind == 1 ? (unsigned char)i : next_byte();
                    plain[i] = kind == 0 ? 0 : kind == 1 ? (unsigned char)(0x11 * i) : next_byte();
                }
                memcpy(cipher, plain, sizeof cipher);
                encrypt(algorithm, key, sizes[k], cipher, sizes[b]);
                printf("%d %d ", sizes[k], sizes[b]);
                print_hex(key, sizes[k]);
                printf(" ");
                print_hex(plain, sizes[b]);
                printf(" ");
                print_hex(cipher, sizes[b]);
                printf("\n");
            }
        }
    }
    return 0;
}
