// Dialog templates as data: what both front ends draw from.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

enum class ControlKind { Static, Edit, PushButton, Bitmap, GroupBox };

// Window styles the front ends honour (values as the Win32 SDK's).
namespace enlistor::control_style {
inline constexpr std::uint32_t Group = 0x00020000;     // WS_GROUP
inline constexpr std::uint32_t TabStop = 0x00010000;   // WS_TABSTOP
inline constexpr std::uint32_t Border = 0x00800000;    // WS_BORDER
inline constexpr std::uint32_t AutoHScroll = 0x0080;   // ES_AUTOHSCROLL
inline constexpr std::uint32_t Password = 0x0020;      // ES_PASSWORD
inline constexpr std::uint32_t LeftAligned = 0x0000;   // SS_LEFT
inline constexpr std::uint32_t DefPushButton = 0x0001; // BS_DEFPUSHBUTTON
inline constexpr std::uint32_t BitmapStyle = 0x000E;   // SS_BITMAP
inline constexpr std::uint32_t GroupBoxStyle = 0x0007; // BS_GROUPBOX
} // namespace enlistor::control_style

inline constexpr int IDC_STATIC = -1;

struct ControlTemplate {
    ControlKind kind;
    int id;                // IDC_STATIC for controls without an identifier
    std::string_view text; // label, button text; empty for edits
    int x, y, cx, cy;      // dialog units
    std::uint32_t style;   // control_style bits beyond child and visible
    int resource;          // bitmap resource for Bitmap controls, else 0
};

struct DialogTemplate {
    int id;
    std::string_view title;
    std::string_view fontName;
    int pointSize;
    int x, y, cx, cy; // dialog units
    bool minimizeBox;
    bool resizable;
    std::span<const ControlTemplate> controls; // template order = tab order
};

// The template with the given resource identifier, or nullptr.
const DialogTemplate* FindDialogTemplate(int id);

// The label template 102 shows for the field with the given control identifier (the static text before it), the one
// spelling of a setting's name for every text that names it; empty for an identifier that is no field.
std::string_view FieldLabel(int fieldId);
