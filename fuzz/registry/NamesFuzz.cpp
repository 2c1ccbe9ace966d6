// Directory entry names and key paths: decoding accepts only canonical stored names (which encode back to
// themselves), every name encodes to a form that decodes back to it, and path splitting gives non-empty
// components without separators.
#include "platform/registry/HiveFormat.h"

#include <cstdlib>
#include <string_view>

using namespace enlistor::registry;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    if (const auto name = decode_name(input)) {
        if (encode_name(*name) != std::string(input))
            std::abort();
    }
    for (const auto& decoded : {decode_value_file_name(input), decode_key_entry_name(input)}) {
        if (decoded && !decode_name(encode_name(*decoded).value_or("")).has_value())
            std::abort();
    }
    // Names reach the hive as C strings, so they never hold a zero byte.
    const bool c_string = input.find('\0') == std::string_view::npos;
    if (const auto stored = c_string ? encode_name(input) : std::nullopt) {
        if (stored->size() > max_stored_name_length || decode_name(*stored) != std::string(input))
            std::abort();
        if (stored->find('/') != std::string::npos ||
            (!stored->empty() && (stored->front() == '.' || stored->front() == '@')))
            std::abort();
    }
    if (names_equal(input, input) != true)
        std::abort();

    std::vector<std::string> components;
    if (split_key_path(input, components) == ERROR_SUCCESS) {
        for (const auto& component : components) {
            if (component.empty() || component.size() > max_stored_name_length ||
                component.find('\\') != std::string::npos)
                std::abort();
        }
    }
    return 0;
}
