#include "res/DialogTemplate.h"

#include "res/ImageResources.h"
#include "res/Resource.h"

#include <array>

namespace {

using namespace enlistor::control_style;

constexpr std::uint32_t label_style = LeftAligned | Group;
constexpr std::uint32_t edit_style = Border | TabStop | AutoHScroll;

constexpr std::array<ControlTemplate, 14> main_dialog_controls{{
    {ControlKind::Static, IDC_STATIC, "Database Server Name", 24, 81, 75, 8, label_style, 0},
    {ControlKind::Edit, IDC_DATABASE_SERVER, "", 114, 81, 114, 14, edit_style, 0},
    {ControlKind::Static, IDC_STATIC, "Database Server IP", 24, 101, 75, 8, label_style, 0},
    {ControlKind::Edit, IDC_DB_SERVER_IP, "", 114, 101, 114, 14, edit_style, 0},
    {ControlKind::Static, IDC_STATIC, "Database Name", 24, 121, 75, 8, label_style, 0},
    {ControlKind::Edit, IDC_DATABASE_NAME, "", 114, 121, 114, 14, edit_style, 0},
    {ControlKind::Static, IDC_STATIC, "Database Login", 24, 141, 75, 8, label_style, 0},
    {ControlKind::Edit, IDC_DB_USER_ID, "", 114, 141, 114, 14, edit_style, 0},
    {ControlKind::Static, IDC_STATIC, "Database Password", 24, 160, 75, 8, label_style, 0},
    {ControlKind::Edit, IDC_DB_USER_PASSWORD, "", 114, 160, 114, 14, edit_style | Password, 0},
    {ControlKind::PushButton, IDC_REGISTER, "Register", 122, 189, 50, 16, TabStop, 0},
    {ControlKind::PushButton, 2, "Cancel", 181, 189, 50, 16, TabStop, 0},
    {ControlKind::Bitmap, IDC_STATIC, "", 54, 9, 187, 54, BitmapStyle, IDB_BANNER},
    {ControlKind::GroupBox, IDC_STATIC, "Database Information", 14, 65, 227, 116, GroupBoxStyle, 0},
}};

constexpr DialogTemplate main_dialog{
    IDD_ENLISTORUTILITY_DIALOG, "Enlistor Utility", "MS Shell Dlg", 8, 0, 0, 255, 212, true, false,
    main_dialog_controls};

constexpr std::array<ImageResource, 2> images{{
    {IDR_MAINFRAME, ImageKind::Icon, 32, 32, 8, "icon128.bmp"},
    {IDB_BANNER, ImageKind::Bitmap, 281, 88, 24, "banner130.bmp"},
}};

} // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    return id == main_dialog.id ? &main_dialog : nullptr;
}

std::string_view FieldLabel(int fieldId) {
    for (std::size_t i = 1; i < main_dialog_controls.size(); ++i)
        if (main_dialog_controls[i].kind == ControlKind::Edit && main_dialog_controls[i].id == fieldId)
            return main_dialog_controls[i - 1].text;
    return {};
}

const ImageResource* FindImageResource(int id) {
    for (const ImageResource& image : images) {
        if (image.id == id) {
            return &image;
        }
    }
    return nullptr;
}
