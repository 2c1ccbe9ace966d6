// Text from outside (driver messages, stored values) made safe to show on a terminal.
#pragma once

#include "common/Text.h"

#include <string_view>

// The text with every control character except "\n" shown as a visible "^X" form (ESC becomes "^["), C1 controls
// and DEL likewise, and bytes that are not valid UTF-8 replaced by U+FFFD.
[[nodiscard]] CString PlainText(std::string_view text);
