// The hive's value files: finding, reading and durably replacing them. Errors as in HiveKeys.h (errno, EUCLEAN for
// an entry that is not a value file in the stored form); the Reg* functions convert them.
#pragma once

#include "platform/registry/HiveFormat.h"
#include "platform/registry/HiveKeys.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace enlistor::registry {

// An open value file whose header has been checked against its size (at most max_value_size of data).
struct value_file {
    unique_fd fd;
    value_header header;
};

// Finds the value file of a value name, case-insensitively: 0 and its entry, ENOENT, EUCLEAN when the entry of that
// name is not a regular file, or the scan's errno.
[[nodiscard]] int find_value_file(int directory, std::string_view name, std::string& entry);

// Opens a value of the key open at directory and reads its header. Never follows a link and never reads more than
// the header: a file whose size does not match its header, or exceeds the cap, is EUCLEAN before any read.
[[nodiscard]] int open_value(int directory, std::string_view name, value_file& value);
// Reads the value's data into data, whose size must be header.size.
[[nodiscard]] int read_value_data(const value_file& value, std::span<std::uint8_t> data);

// Replaces (or creates) a value of the key open readable at directory, under the key's lock: a temporary with a
// unique name (O_CREAT|O_EXCL|O_NOFOLLOW, 0600) is written, synced and renamed over the value file, then the
// directory is synced; on failure the temporary is removed and the old value stays. The value keeps the name's case
// it was created with. Temporaries of crashed writers are removed and the key's files narrowed to 0600 on the way.
[[nodiscard]] int write_value(int directory, std::string_view name, DWORD type, std::span<const std::uint8_t> data);

} // namespace enlistor::registry
