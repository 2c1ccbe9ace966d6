// The hive's on-disk form. Everything the registry stand-in stores or parses is described here and nowhere else.
//
// Hive root: the directory named by ENLISTOR_REGISTRY, else /var/lib/enlistor/registry. The predefined key
// HKEY_LOCAL_MACHINE is its subdirectory "HKEY_LOCAL_MACHINE".
//
// A key is a directory. Inside a key's directory:
//   <encoded name>    a directory: a subkey
//   @<encoded name>   a regular file: a value (the default value, whose name is empty, is the file "@")
//   .lock             the key's lock file (flock): held exclusively while a subkey or value of the key is created
//                     or a value is written, so creations of names differing only in case and concurrent writes
//                     are serialised
//   .tmp              the value being written; renamed over its value file once complete and synced. Only the
//                     holder of .lock writes it, so a file left by a crashed writer is simply truncated by the next
//   other names starting with "." are ignored
//
// Name encoding: a key or value name is stored byte for byte except that '%' and '/' (anywhere) and '.' and '@'
// (as the first byte) are written as "%" followed by two upper-case hex digits. Only this canonical form is read:
// an entry whose name decodes but does not re-encode to itself is not part of the hive. A stored name longer than
// 255 bytes cannot exist (the file system's limit).
//
// Names compare case-insensitively over ASCII letters (bytes 0x80-0xFF compare exactly) and keep the case they
// were created with.
//
// Value file: a 12-byte header, then the data, nothing after it:
//   offset 0  4 bytes  magic "ERV1"
//   offset 4  4 bytes  value type, little-endian
//   offset 8  4 bytes  data size n, little-endian
//   offset 12 n bytes  data, exactly as given to RegSetValueExA
// A file whose size is not 12 + n, or whose magic differs, is corrupt (ERROR_BADKEY).
//
// Crash and concurrency safety: a value file is only ever replaced whole by rename(2) of a fully written and
// fsynced .tmp, followed by an fsync of the key's directory; readers never lock and see the old or the new file.
#pragma once

#include "platform/win32/Win32.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace enlistor::registry {

inline constexpr std::string_view hive_default_root = "/var/lib/enlistor/registry";
inline constexpr std::string_view hive_root_variable = "ENLISTOR_REGISTRY";
inline constexpr std::string_view local_machine_directory = "HKEY_LOCAL_MACHINE";
inline constexpr std::string_view lock_file_name = ".lock";
inline constexpr std::string_view temp_file_name = ".tmp";
inline constexpr char value_file_prefix = '@';
inline constexpr std::size_t max_stored_name_length = 255;

inline constexpr std::size_t value_header_size = 12;
inline constexpr std::uint8_t value_magic[4] = {'E', 'R', 'V', '1'};

struct value_header {
    DWORD type = 0;
    DWORD size = 0;
};

// The header of a value file whose total size is file_size, or nothing when the file is corrupt.
[[nodiscard]] std::optional<value_header> parse_value_header(std::span<const std::uint8_t> header,
                                                             std::uint64_t file_size);
// The type and data of a whole value file, or nothing when it is corrupt.
struct parsed_value {
    DWORD type = 0;
    std::span<const std::uint8_t> data;
};
[[nodiscard]] std::optional<parsed_value> parse_value_file(std::span<const std::uint8_t> file);
// The bytes of a value file holding type and data (data.size() must fit in 32 bits).
[[nodiscard]] std::vector<std::uint8_t> serialize_value_file(DWORD type, std::span<const std::uint8_t> data);

// The stored form of a name (see above); empty optional when it would exceed max_stored_name_length.
[[nodiscard]] std::optional<std::string> encode_name(std::string_view name);
// The name a stored entry holds, or nothing when the entry is not in canonical encoded form.
[[nodiscard]] std::optional<std::string> decode_name(std::string_view stored);
// The value name a directory entry holds, or nothing when the entry is not a value file name.
[[nodiscard]] std::optional<std::string> decode_value_file_name(std::string_view entry);
// The key name a directory entry holds, or nothing when the entry cannot be a subkey.
[[nodiscard]] std::optional<std::string> decode_key_entry_name(std::string_view entry);
// The directory entry of a value name, or nothing when too long.
[[nodiscard]] std::optional<std::string> value_file_name(std::string_view value_name);

// Case-insensitive comparison of names (ASCII letters fold; other bytes compare exactly).
[[nodiscard]] bool names_equal(std::string_view a, std::string_view b) noexcept;

// Splits a subkey path at "\" into its components as Windows does: a leading "\" is ERROR_BAD_PATHNAME; empty
// components (doubled or trailing "\") are skipped; "/" is an ordinary character; a component longer than 255
// characters is ERROR_INVALID_PARAMETER. Returns ERROR_SUCCESS and the components otherwise.
[[nodiscard]] LONG split_key_path(std::string_view path, std::vector<std::string>& components);

} // namespace enlistor::registry
