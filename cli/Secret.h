// The database password on the command line's side: read from a file or from standard input, never from the
// arguments or the environment, and wiped from every buffer this code owns once it is no longer needed.
#pragma once

#include "common/Text.h"

#include <cstdio>

// Overwrites the text's characters with zeros (in a way the compiler may not drop) and empties it.
void WipeText(CString& text) noexcept;

// A text that is wiped when it is destroyed. Move-only, so no stray copy outlives it.
class SecretText {
public:
    SecretText() = default;
    explicit SecretText(CString text) : m_text(std::move(text)) {}
    ~SecretText() { WipeText(m_text); }
    SecretText(SecretText&& other) noexcept : m_text(std::move(other.m_text)) { WipeText(other.m_text); }
    SecretText& operator=(SecretText&& other) noexcept {
        if (this != &other) {
            WipeText(m_text);
            m_text = std::move(other.m_text);
            WipeText(other.m_text);
        }
        return *this;
    }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    const CString& Text() const noexcept { return m_text; }
    CString& Text() noexcept { return m_text; }

private:
    CString m_text;
};

// The largest password file accepted; anything longer is not a password.
inline constexpr std::size_t kMaxPasswordFileSize = 64 * 1024;

// Reads the password from the named file, or from standard input when path is "-". One trailing line end ("\n" or
// "\r\n") is removed; nothing else is changed. Standard input that is a terminal is refused (the command never
// prompts, and a typed password would be echoed). On failure returns false with a reason in error that names the
// file but never its content. Only unbuffered reads are used, so no stdio buffer keeps a copy.
[[nodiscard]] bool ReadPassword(const CString& path, SecretText& password, CString& error);
// The same from an open stream (standard input for "-"); name is used in error texts only.
[[nodiscard]] bool ReadPasswordFrom(std::FILE* stream, const CString& name, SecretText& password, CString& error);

// Replaces every occurrence of each secret (of 4 characters or more; shorter ones would mangle ordinary text) by
// "***".
[[nodiscard]] CString RedactSecrets(CString text, const CString& secret1, const CString& secret2 = {});
