// A stored value file: parsing never reads outside the input, and whatever parses writes back to the same bytes.
#include "platform/registry/HiveFormat.h"

#include <cstdlib>
#include <span>

using namespace enlistor::registry;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> file(data, size);
    const auto header = parse_value_header(file, size);
    const auto parsed = parse_value_file(file);
    if (header.has_value() != parsed.has_value())
        std::abort();
    if (parsed) {
        if (header->type != parsed->type || header->size != parsed->data.size())
            std::abort();
        const auto again = serialize_value_file(parsed->type, parsed->data);
        if (again.size() != size || !std::equal(again.begin(), again.end(), data))
            std::abort();
    }
    return 0;
}
