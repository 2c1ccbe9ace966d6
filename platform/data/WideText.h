// Texts crossing into ODBC: the wide calls take UTF-16 (SQLWCHAR), converted from the character set this process
// reads its texts in, the locale's (LC_CTYPE, as set at start-up), or UTF-8 where the locale is plain ASCII (the
// "C" locale). Texts the driver returns come back the same way. Internal to platform/data (and its tests).
#pragma once

#include "common/Text.h"
#include "platform/data/OdbcApi.h"

#include <optional>
#include <string>
#include <string_view>

namespace enlistor::ado::wide {

using WideText = std::basic_string<SQLWCHAR>;

// The name of the character set texts are converted from ("UTF-8", "ISO-8859-1", ...).
[[nodiscard]] CString ProcessCharset();

// The text as UTF-16; nullopt when it is not valid in the process's character set (a broken or foreign byte
// sequence). The result may hold a password: wipe it with Wipe.
[[nodiscard]] std::optional<WideText> ToWide(std::string_view text);

// UTF-16 from a driver back in the process's character set; what that set cannot show becomes '?', as does a
// broken sequence.
[[nodiscard]] CString FromWide(const SQLWCHAR* text, std::size_t units);

// Overwrites the text with zeros in a way the compiler may not drop, and empties it.
void Wipe(WideText& text) noexcept;

} // namespace enlistor::ado::wide
