#pragma once

#include "common/Text.h"

#include <cstdarg>

// Formats by the standard printf rules and returns the output up to its first zero byte, so a "%c" of the zero
// character contributes nothing. Outputs of any length are returned whole. A format that the C library rejects,
// or memory that cannot be had, gives the empty text.
[[nodiscard]] CString FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[nodiscard]] CString FormatStringV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
