// Secret texts: the database password, and every text that holds it (its stored form, a connection string). Each
// is wiped when it goes away, so no copy this program owns outlives its use.
#pragma once

#include "common/Text.h"

#include <algorithm>
#include <cstddef>
#include <utility>

// Overwrites the text's characters with zeros (in a way the compiler may not drop) and empties it.
void WipeText(CString& text) noexcept;
// Overwrites size bytes at data with zeros in a way the compiler may not drop.
void WipeBytes(void* data, std::size_t size) noexcept;

// Replaces every occurrence of each secret (of 4 characters or more; shorter ones would mangle ordinary text) by
// "***".
[[nodiscard]] CString RedactSecrets(CString text, const CString& secret1, const CString& secret2 = {});

// A text that is wiped when it is destroyed or replaced. Move-only, so no stray copy outlives it; a copy made on
// purpose (Copy) is a secret of its own.
class SecretText {
public:
    SecretText() = default;
    explicit SecretText(CString text) noexcept : m_text(std::move(text)) { WipeText(text); }
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

    // Replaces the text; the old one is wiped first.
    void Assign(const CString& text) {
        SecretText fresh{CString(text)};
        *this = std::move(fresh);
    }
    // Appends bytes; when the text must grow, the old buffer is wiped before it is freed.
    void Append(const char* data, std::size_t size);
    void Append(const CString& text) { Append(text.data(), text.size()); }
    [[nodiscard]] SecretText Copy() const { return SecretText(CString(m_text)); }
    // A secret written in place: fill(char* bytes) writes up to `capacity` bytes and returns how many to keep; the
    // rest are wiped. The only way to write a secret's bytes directly, so a buffer that holds one is a secret too.
    template <class Fill>
    [[nodiscard]] static SecretText Build(std::size_t capacity, Fill&& fill) {
        SecretText secret{CString(capacity, '\0')};
        const std::size_t kept = std::min<std::size_t>(fill(secret.m_text.data()), capacity);
        WipeBytes(secret.m_text.data() + kept, capacity - kept);
        secret.m_text.resize(kept);
        return secret;
    }
    void Clear() noexcept { WipeText(m_text); }

    [[nodiscard]] const CString& Text() const noexcept { return m_text; }
    [[nodiscard]] bool empty() const noexcept { return m_text.empty(); }
    [[nodiscard]] std::size_t size() const noexcept { return m_text.size(); }

    friend bool operator==(const SecretText& a, const SecretText& b) noexcept { return a.m_text == b.m_text; }

private:
    CString m_text;
};
