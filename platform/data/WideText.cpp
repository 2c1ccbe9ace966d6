#include "platform/data/WideText.h"

#include "common/PlainText.h"
#include "common/Secret.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <vector>

namespace enlistor::ado::wide {
namespace {

// One iconv conversion descriptor, closed on every path.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (ok())
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return m_cd; }

private:
    iconv_t m_cd;
};

// SQLWCHAR is two bytes in unixODBC: UTF-16 in the machine's byte order.
constexpr const char* kUtf16 = "UTF-16LE";
static_assert(sizeof(SQLWCHAR) == 2);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "UTF-16LE is the machine's order");

bool is_plain_ascii(const CString& charset) {
    return charset == "ANSI_X3.4-1968" || charset == "ASCII" || charset == "US-ASCII";
}

// UTF-8, the usual character set, is converted here rather than through iconv: the conversion module for UTF-16 is a
// library iconv loads on first use, which costs more than a whole run's conversions. The results are iconv's: a
// sequence DecodeUtf8 refuses (broken, overlong, a surrogate, past U+10FFFF) makes the text invalid.
std::optional<WideText> utf8_to_wide(std::string_view text) {
    WideText wide;
    wide.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Char c = DecodeUtf8(text.substr(at));
        if (!c.valid) {
            Wipe(wide);
            return std::nullopt;
        }
        if (c.codePoint >= 0x10000) {
            const char32_t v = c.codePoint - 0x10000;
            wide.push_back(static_cast<SQLWCHAR>(0xD800 + (v >> 10)));
            wide.push_back(static_cast<SQLWCHAR>(0xDC00 + (v & 0x3FF)));
        } else {
            wide.push_back(static_cast<SQLWCHAR>(c.codePoint));
        }
        at += c.length;
    }
    return wide;
}

// A unit that is half of a surrogate pair without its other half becomes '?', as FromWide's iconv loop makes it.
CString wide_to_utf8(const SQLWCHAR* text, std::size_t units) {
    CString out;
    out.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        const char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            out += '?';
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

} // namespace

CString ProcessCharset() {
    const char* codeset = nl_langinfo(CODESET);
    CString charset = codeset != nullptr ? CString(codeset) : CString();
    if (charset.empty() || is_plain_ascii(charset))
        return "UTF-8";
    return charset;
}

std::optional<WideText> ToWide(std::string_view text) {
    const CString charset = ProcessCharset();
    if (charset == "UTF-8")
        return utf8_to_wide(text);
    Converter converter(kUtf16, charset.c_str());
    if (!converter.ok())
        return std::nullopt;
    // Every byte becomes at most two UTF-16 units (a four-byte UTF-8 sequence: a surrogate pair).
    std::vector<char> out(2 * sizeof(SQLWCHAR) * text.size() + sizeof(SQLWCHAR));
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* at = out.data();
    std::size_t outLeft = out.size();
    const std::size_t converted = iconv(converter.get(), &in, &inLeft, &at, &outLeft);
    const bool complete = converted != static_cast<std::size_t>(-1) && inLeft == 0 &&
                          iconv(converter.get(), nullptr, nullptr, &at, &outLeft) != static_cast<std::size_t>(-1);
    std::optional<WideText> result;
    if (complete) {
        result.emplace((out.size() - outLeft) / sizeof(SQLWCHAR), SQLWCHAR{0});
        std::copy(out.data(), at, reinterpret_cast<char*>(result->data()));
    }
    WipeBytes(out.data(), out.size());
    return result;
}

CString FromWide(const SQLWCHAR* text, std::size_t units) {
    const CString charset = ProcessCharset();
    if (charset == "UTF-8")
        return wide_to_utf8(text, units);
    Converter converter(charset.c_str(), kUtf16);
    CString result;
    if (!converter.ok())
        return result;
    char* in = reinterpret_cast<char*>(const_cast<SQLWCHAR*>(text));
    std::size_t inLeft = units * sizeof(SQLWCHAR);
    char buffer[256];
    while (inLeft > 0) {
        char* at = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(converter.get(), &in, &inLeft, &at, &outLeft);
        result.append(buffer, static_cast<std::size_t>(at - buffer));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // A unit this character set cannot show, or a broken surrogate: one '?' for it, and on.
            result += '?';
            const std::size_t skip = std::min(inLeft, sizeof(SQLWCHAR));
            in += skip;
            inLeft -= skip;
        }
    }
    char* at = buffer;
    std::size_t outLeft = sizeof buffer;
    (void)iconv(converter.get(), nullptr, nullptr, &at, &outLeft);
    result.append(buffer, static_cast<std::size_t>(at - buffer));
    return result;
}

void Wipe(WideText& text) noexcept {
    WipeBytes(text.data(), text.size() * sizeof(SQLWCHAR));
    text.clear();
}

} // namespace enlistor::ado::wide
