// Text that came from outside the program (a database server's message, a driver's diagnostic, a stored value) made
// safe to show on a terminal: nothing in it can act as a terminal command (move the cursor, clear the screen, set
// the window title or colours), whatever bytes it holds.
#pragma once

#include "common/Text.h"

#include <cstddef>
#include <string_view>

// How the terminal reads the bytes it is given: UTF-8, or one byte per character (an 8-bit character set; its
// bytes 0x80-0x9F are the C1 controls, e.g. 0x9B is CSI).
enum class TextEncoding { Utf8, SingleByte };

// One rule for outside text. Line ends ("\r\n", "\r", "\n") become "\n" (a lone "\r" would let the text write over
// what went before it on the line); a tab becomes a space; every other control character (C0, DEL, and the C1
// controls: bytes 0x80-0x9F in single-byte text, code points U+0080-U+009F in UTF-8) becomes "?". In UTF-8 text
// each byte that is not part of a valid sequence (malformed, truncated, overlong, a surrogate, past U+10FFFF)
// becomes U+FFFD. Everything else is kept byte for byte, so the result is valid UTF-8 when `encoding` is Utf8.
[[nodiscard]] CString PlainText(std::string_view text, TextEncoding encoding = TextEncoding::Utf8);

// One UTF-8 sequence at the start of a text.
struct Utf8Char {
    char32_t codePoint = 0;
    std::size_t length = 1; // bytes it takes; 1 for a byte that starts no valid sequence
    bool valid = false;
};

// Decodes the sequence at the start of `text` (not empty); rejects overlong forms, surrogates and values past
// U+10FFFF.
[[nodiscard]] Utf8Char DecodeUtf8(std::string_view text);

// Appends the UTF-8 sequence of a code point (up to U+10FFFF).
void AppendUtf8(CString& text, char32_t codePoint);
