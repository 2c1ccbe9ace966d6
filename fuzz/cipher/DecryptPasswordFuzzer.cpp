// CRijndael::DecryptPassword on any stored text, and EncryptPassword on the same bytes taken as a password: neither
// may fail unsafely, a decrypted password never holds a zero byte, and every password reads back.
#include "cipher/Rijndael.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const CString input(reinterpret_cast<const char*>(data), size);

    CRijndael reader;
    const CString password = reader.DecryptPassword(input, kPasswordKeyRow).Text();
    if (password.find('\0') != CString::npos || password.size() > size)
        std::abort();

    CRijndael writer;
    const CString stored = writer.EncryptPassword(SecretText(input), kPasswordKeyRow);
    if (stored.size() < 44)
        std::abort();
    CRijndael again;
    if (again.DecryptPassword(stored, kPasswordKeyRow).Text() != CString(input.c_str()))
        std::abort();
    return 0;
}
