// Template 102, the images and the version record as the application ships them.
#include "res/DialogTemplate.h"
#include "res/ImageResources.h"
#include "res/Resource.h"
#include "res/VersionInfo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace enlistor::control_style;

// The dialog itself: size, title, font, no maximise box, fixed size.
TEST(Template102, DialogProperties) {
    const DialogTemplate* t = FindDialogTemplate(IDD_ENLISTORUTILITY_DIALOG);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->title, "Enlistor Utility");
    EXPECT_EQ(t->fontName, "MS Shell Dlg");
    EXPECT_EQ(t->pointSize, 8);
    EXPECT_EQ(t->x, 0);
    EXPECT_EQ(t->y, 0);
    EXPECT_EQ(t->cx, 255);
    EXPECT_EQ(t->cy, 212);
    EXPECT_TRUE(t->minimizeBox);
    EXPECT_FALSE(t->resizable);
    EXPECT_EQ(FindDialogTemplate(103), nullptr);
}

// Every control in template order (the tab order): kind, id, text, rectangle, styles.
TEST(Template102, ControlsInTemplateOrder) {
    struct Row {
        ControlKind kind;
        int id;
        const char* text;
        int x, y, cx, cy;
        std::uint32_t style;
    };
    const std::uint32_t label = LeftAligned | Group;
    const std::uint32_t edit = Border | TabStop | AutoHScroll;
    const Row rows[] = {
        {ControlKind::Static, -1, "Database Server Name", 24, 81, 75, 8, label},
        {ControlKind::Edit, 1000, "", 114, 81, 114, 14, edit},
        {ControlKind::Static, -1, "Database Server IP", 24, 101, 75, 8, label},
        {ControlKind::Edit, 1001, "", 114, 101, 114, 14, edit},
        {ControlKind::Static, -1, "Database Name", 24, 121, 75, 8, label},
        {ControlKind::Edit, 1002, "", 114, 121, 114, 14, edit},
        {ControlKind::Static, -1, "Database Login", 24, 141, 75, 8, label},
        {ControlKind::Edit, 1003, "", 114, 141, 114, 14, edit},
        {ControlKind::Static, -1, "Database Password", 24, 160, 75, 8, label},
        {ControlKind::Edit, 1004, "", 114, 160, 114, 14, edit | Password},
        {ControlKind::PushButton, 1005, "Register", 122, 189, 50, 16, TabStop},
        {ControlKind::PushButton, 2, "Cancel", 181, 189, 50, 16, TabStop},
        {ControlKind::Bitmap, -1, "", 54, 9, 187, 54, BitmapStyle},
        {ControlKind::GroupBox, -1, "Database Information", 14, 65, 227, 116, GroupBoxStyle},
    };
    const DialogTemplate* t = FindDialogTemplate(102);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->controls.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const ControlTemplate& c = t->controls[i];
        SCOPED_TRACE("control #" + std::to_string(i + 1));
        EXPECT_EQ(c.kind, rows[i].kind);
        EXPECT_EQ(c.id, rows[i].id);
        EXPECT_EQ(c.text, rows[i].text);
        EXPECT_EQ(c.x, rows[i].x);
        EXPECT_EQ(c.y, rows[i].y);
        EXPECT_EQ(c.cx, rows[i].cx);
        EXPECT_EQ(c.cy, rows[i].cy);
        EXPECT_EQ(c.style, rows[i].style);
        if (c.kind == ControlKind::PushButton) {
            EXPECT_EQ(c.style & DefPushButton, 0u) << "no default button";
        }
        EXPECT_NE(c.id, 1) << "no control carries IDOK";
        EXPECT_EQ(c.resource, c.kind == ControlKind::Bitmap ? IDB_BANNER : 0);
    }
}

// Each field's label, as the texts naming a setting take it from the template; nothing for what is no field.
TEST(Template102, FieldLabels) {
    EXPECT_EQ(FieldLabel(IDC_DATABASE_SERVER), "Database Server Name");
    EXPECT_EQ(FieldLabel(IDC_DB_SERVER_IP), "Database Server IP");
    EXPECT_EQ(FieldLabel(IDC_DATABASE_NAME), "Database Name");
    EXPECT_EQ(FieldLabel(IDC_DB_USER_ID), "Database Login");
    EXPECT_EQ(FieldLabel(IDC_DB_USER_PASSWORD), "Database Password");
    EXPECT_EQ(FieldLabel(IDC_REGISTER), "");
    EXPECT_EQ(FieldLabel(IDC_STATIC), "");
}

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t le32(const std::vector<unsigned char>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// Icon 128 (32x32, 8 bits) and bitmap 130 (281x88, 24 bits, uncompressed): the files match their descriptions.
TEST(Images, FilesMatchTheirDescriptions) {
    for (int id : {IDR_MAINFRAME, IDB_BANNER}) {
        const ImageResource* image = FindImageResource(id);
        ASSERT_NE(image, nullptr) << id;
        const auto bytes = ReadFile(std::string(ENLISTOR_SOURCE_DIR) + "/res/artwork/" + std::string(image->file));
        ASSERT_GE(bytes.size(), 54u) << image->file;
        EXPECT_EQ(bytes[0], 'B');
        EXPECT_EQ(bytes[1], 'M');
        EXPECT_EQ(le32(bytes, 18), static_cast<std::uint32_t>(image->width));
        EXPECT_EQ(le32(bytes, 22), static_cast<std::uint32_t>(image->height));
        EXPECT_EQ(bytes[28] | bytes[29] << 8, image->bitsPerPixel);
        EXPECT_EQ(le32(bytes, 30), 0u) << "uncompressed";
        const std::size_t row = (static_cast<std::size_t>(image->width) * image->bitsPerPixel / 8 + 3) & ~3u;
        EXPECT_EQ(bytes.size(), le32(bytes, 10) + row * image->height);
    }
    EXPECT_EQ(FindImageResource(IDR_MAINFRAME)->kind, ImageKind::Icon);
    EXPECT_EQ(FindImageResource(IDR_MAINFRAME)->width, 32);
    EXPECT_EQ(FindImageResource(IDR_MAINFRAME)->bitsPerPixel, 8);
    EXPECT_EQ(FindImageResource(IDB_BANNER)->kind, ImageKind::Bitmap);
    EXPECT_EQ(FindImageResource(IDB_BANNER)->width, 281);
    EXPECT_EQ(FindImageResource(IDB_BANNER)->height, 88);
    EXPECT_EQ(FindImageResource(IDB_BANNER)->bitsPerPixel, 24);
    EXPECT_EQ(FindImageResource(129), nullptr);
}

TEST(VersionRecord, NinePointZeroNine) {
    EXPECT_EQ(enlistor::version_info::kFileVersion, (std::array<std::uint16_t, 4>{9, 0, 9, 0}));
    EXPECT_EQ(enlistor::version_info::kProductVersion, enlistor::version_info::kFileVersion);
    EXPECT_EQ(enlistor::version_info::kFileVersionText, "9.0.9.0");
    EXPECT_EQ(enlistor::version_info::kCompanyName, "Velmora");
    EXPECT_EQ(enlistor::version_info::kProductName, "Velmora");
    EXPECT_EQ(enlistor::version_info::kFileDescription, "Enlistor Utility");
    EXPECT_EQ(enlistor::version_info::kOriginalFilename, "Enlistor.exe");
}

} // namespace
