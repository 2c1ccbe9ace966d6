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
//   .tmp<anything>    a value being written (.tmp-<16 random hex digits>), created exclusively and renamed over its
//                     value file once complete and synced. Only the holder of .lock writes one, so any found by the
//                     holder were left by a crashed writer and are removed
//   other names starting with "." are ignored
//
// Private: the hive holds the stored password, so the root directory and every key's directory are 0700 and every
// file 0600, whatever the umask; a write narrows wider modes it finds on the root, HKEY_LOCAL_MACHINE, the written
// key's path and that key's files. Nothing in the hive is reached through a symbolic link: below the root
// (whose own last component is not followed either) every entry is opened relative to its parent's descriptor with
// O_NOFOLLOW. An entry that is not of the kind the hive keeps there (a link, device, FIFO or socket, a file where a
// key's directory is expected or the reverse) is corrupt, and is never followed or written through.
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
//   offset 8  4 bytes  data size n, little-endian, at most max_value_size (64 KiB)
//   offset 12 n bytes  data, exactly as given to RegSetValueExA
// A file whose size is not 12 + n, whose magic differs, or whose data would exceed max_value_size is corrupt
// (ERROR_BADKEY); its size is checked before anything is read, so a huge file costs nothing.
//
// Crash and concurrency safety: a value file is only ever replaced whole by rename(2) of a fully written and
// fsynced temporary, followed by an fsync of the key's directory; readers never lock and see the old or the new
// file.
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
inline constexpr std::string_view temp_file_prefix = ".tmp";
inline constexpr char value_file_prefix = '@';
inline constexpr std::size_t max_stored_name_length = 255;

inline constexpr std::size_t value_header_size = 12;
inline constexpr std::size_t max_value_size = 64 * 1024;
inline constexpr std::uint8_t value_magic[4] = {'E', 'R', 'V', '1'};

struct value_header {
    DWORD type = 0;
    DWORD size = 0;
};

// The header of a value file whose total size is file_size, or nothing when the file is corrupt (over the cap
// included).
[[nodiscard]] std::optional<value_header> parse_value_header(std::span<const std::uint8_t> header,
                                                             std::uint64_t file_size);
// The type and data of a whole value file, or nothing when it is corrupt.
struct parsed_value {
    DWORD type = 0;
    std::span<const std::uint8_t> data;
};
[[nodiscard]] std::optional<parsed_value> parse_value_file(std::span<const std::uint8_t> file);
// The bytes of a value file holding type and data (data.size() must not exceed max_value_size).
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
