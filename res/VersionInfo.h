// The version record of the executable.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace enlistor::version_info {

inline constexpr std::array<std::uint16_t, 4> kFileVersion{9, 0, 9, 0};
inline constexpr std::array<std::uint16_t, 4> kProductVersion{9, 0, 9, 0};
inline constexpr std::uint32_t kFileFlags = 0;
inline constexpr std::uint32_t kFileOs = 0x00000004;   // VOS__WINDOWS32
inline constexpr std::uint32_t kFileType = 0x00000001; // VFT_APP

inline constexpr std::string_view kCompanyName = "Velmora";
inline constexpr std::string_view kFileDescription = "Enlistor Utility";
inline constexpr std::string_view kFileVersionText = "9.0.9.0";
inline constexpr std::string_view kInternalName = "Enlistor.exe";
inline constexpr std::string_view kOriginalFilename = "Enlistor.exe";
inline constexpr std::string_view kProductName = "Velmora";
inline constexpr std::string_view kProductVersionText = "9.0.9.0";

} // namespace enlistor::version_info
