// The terminal front end's geometry and text shaping: dialog units to cells, wrapping of message texts, and the
// neutralising of bytes that a terminal would take as commands.
#include "platform/ui/terminal/TerminalLayout.h"

#include <gtest/gtest.h>

#include <ostream>

#include <array>
#include <clocale>
#include <string>

using namespace enlistor::terminal_ui;

namespace {

// The rows of the registration dialog's template, as test data for the layout.
constexpr std::array<ControlTemplate, 14> kControls = {{
    {ControlKind::Static, IDC_STATIC, "Database Server Name", 24, 81, 75, 8, 0, 0},
    {ControlKind::Edit, 1000, "", 114, 81, 114, 14, enlistor::control_style::TabStop, 0},
    {ControlKind::Static, IDC_STATIC, "Database Server IP", 24, 101, 75, 8, 0, 0},
    {ControlKind::Edit, 1001, "", 114, 101, 114, 14, enlistor::control_style::TabStop, 0},
    {ControlKind::Static, IDC_STATIC, "Database Name", 24, 121, 75, 8, 0, 0},
    {ControlKind::Edit, 1002, "", 114, 121, 114, 14, enlistor::control_style::TabStop, 0},
    {ControlKind::Static, IDC_STATIC, "Database Login", 24, 141, 75, 8, 0, 0},
    {ControlKind::Edit, 1003, "", 114, 141, 114, 14, enlistor::control_style::TabStop, 0},
    {ControlKind::Static, IDC_STATIC, "Database Password", 24, 160, 75, 8, 0, 0},
    {ControlKind::Edit, 1004, "", 114, 160, 114, 14,
     enlistor::control_style::TabStop | enlistor::control_style::Password, 0},
    {ControlKind::PushButton, 1005, "Register", 122, 189, 50, 16, enlistor::control_style::TabStop, 0},
    {ControlKind::PushButton, 2, "Cancel", 181, 189, 50, 16, enlistor::control_style::TabStop, 0},
    {ControlKind::Bitmap, IDC_STATIC, "", 54, 9, 187, 54, enlistor::control_style::BitmapStyle, 130},
    {ControlKind::GroupBox, IDC_STATIC, "Database Information", 14, 65, 227, 116,
     enlistor::control_style::GroupBoxStyle, 0},
}};

const DialogTemplate kDialog{102, "Enlistor Utility", "MS Shell Dlg", 8, 0, 0, 255, 212, true, false, kControls};

bool inside(const CellRect& inner, const CellRect& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.left + inner.width <= outer.left + outer.width &&
           inner.top + inner.height <= outer.top + outer.height;
}

const ControlCells& cells_of(const DialogLayout& layout, std::size_t index) {
    return layout.controls.at(index);
}

class Utf8Locale : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr); }
    void TearDown() override { std::setlocale(LC_CTYPE, "C"); }
};

} // namespace

// The whole dialog, frame and shadow included, fits an 80x24 terminal, and every control lies in its client area.
TEST(TerminalDialogLayout, FitsEightyByTwentyFour) {
    const DialogLayout layout = LayoutDialog(kDialog, 80, 24);
    EXPECT_GE(layout.client.left - 1, 0);
    EXPECT_GE(layout.client.top - 1, 0);
    EXPECT_LE(layout.client.left + layout.client.width + kFrameColumns - 1, 80);
    EXPECT_LE(layout.client.top + layout.client.height + kFrameRows - 1, 24);
    const CellRect client{0, 0, layout.client.width, layout.client.height};
    ASSERT_EQ(layout.controls.size(), kControls.size());
    for (const ControlCells& placed : layout.controls) {
        EXPECT_TRUE(inside(placed.cells, client)) << placed.control->text << " id " << placed.control->id;
    }
}

// Each label and its field share a row, the five rows are distinct and in template order, the label's text ends
// before its field begins, and the group box frames all of them with the buttons below it.
TEST(TerminalDialogLayout, KeepsTheTemplatesArrangement) {
    for (const auto& [columns, rows] : {std::pair{80, 24}, std::pair{132, 43}, std::pair{100, 30}}) {
        SCOPED_TRACE(std::to_string(columns) + "x" + std::to_string(rows));
        const DialogLayout layout = LayoutDialog(kDialog, columns, rows);
        const CellRect& group = cells_of(layout, 13).cells;
        int previousRow = -1;
        for (std::size_t i = 0; i < 10; i += 2) {
            const CellRect& label = cells_of(layout, i).cells;
            const CellRect& edit = cells_of(layout, i + 1).cells;
            EXPECT_EQ(label.top, edit.top);
            EXPECT_GT(label.top, previousRow);
            previousRow = label.top;
            EXPECT_LT(label.left + static_cast<int>(kControls[i].text.size()), edit.left);
            EXPECT_GT(label.top, group.top);
            EXPECT_LT(label.top, group.top + group.height - 1);
            EXPECT_GT(label.left, group.left);
            EXPECT_LT(edit.left + edit.width, group.left + group.width);
        }
        const CellRect& registerButton = cells_of(layout, 10).cells;
        const CellRect& cancelButton = cells_of(layout, 11).cells;
        EXPECT_EQ(registerButton.top, cancelButton.top);
        EXPECT_GE(registerButton.top, group.top + group.height);
        EXPECT_LE(registerButton.left + registerButton.width, cancelButton.left);
        const CellRect& banner = cells_of(layout, 12).cells;
        EXPECT_LT(banner.top + banner.height - 1, group.top);
        EXPECT_GT(layout.statusRow, registerButton.top);
    }
}

// A terminal smaller than the dialog still gets every control inside the window (cramped, never outside).
TEST(TerminalDialogLayout, ShrinksIntoSmallTerminals) {
    const DialogLayout layout = LayoutDialog(kDialog, 40, 12);
    EXPECT_LE(layout.client.left + layout.client.width + kFrameColumns - 1, 40);
    EXPECT_LE(layout.client.top + layout.client.height + kFrameRows - 1, 12);
    const CellRect client{0, 0, layout.client.width, layout.client.height};
    for (const ControlCells& placed : layout.controls) {
        EXPECT_TRUE(inside(placed.cells, client)) << placed.control->text;
    }
}

// Whether every label, field and button keeps cells of its own: terminals the dialog fits, and ones so small that
// controls would be drawn over each other (then the dialog is refused, not shown in part).
struct SizeCase {
    const char* name;
    int columns;
    int rows;
    bool complete;
};

void PrintTo(const SizeCase& row, std::ostream* out) {
    *out << row.name;
}

class TerminalDialogCompleteness : public ::testing::TestWithParam<SizeCase> {};

TEST_P(TerminalDialogCompleteness, ReportsWhetherEveryControlIsShown) {
    const SizeCase& c = GetParam();
    EXPECT_EQ(LayoutDialog(kDialog, c.columns, c.rows).complete, c.complete);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TerminalDialogCompleteness,
                         ::testing::Values(SizeCase{"Standard80x24", 80, 24, true},
                                           SizeCase{"Large132x43", 132, 43, true},
                                           SizeCase{"Small40x12", 40, 12, false}, SizeCase{"Short80x11", 80, 11, false},
                                           SizeCase{"Narrow40x24", 40, 24, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The size the refusal names is complete, and one column or one row fewer is not.
TEST(TerminalDialogLayout, SmallestCompleteScreenIsTheEdge) {
    const ScreenSize smallest = SmallestCompleteScreen(kDialog);
    EXPECT_LE(smallest.columns, 80);
    EXPECT_LE(smallest.rows, 24);
    EXPECT_TRUE(LayoutDialog(kDialog, smallest.columns, smallest.rows).complete);
    EXPECT_FALSE(LayoutDialog(kDialog, smallest.columns - 1, smallest.rows).complete);
    EXPECT_FALSE(LayoutDialog(kDialog, smallest.columns, smallest.rows - 1).complete);
}

// Line ends of every platform become one line break; tabs become spaces; escape sequences and other control bytes
// are shown as "?" so an error text cannot drive the terminal.
TEST(TerminalText, SanitizesControlsAndLineEnds) {
    EXPECT_EQ(SanitizeText("a\r\nb\rc\nd\te", false), "a\nb\nc\nd e");
    EXPECT_EQ(SanitizeText("x\x1b[2Jy\x07z\x7f", false), "x?[2Jy?z?");
    EXPECT_EQ(SanitizeText("\x9b"
                           "31m",
                           false),
              "?31m"); // an 8-bit CSI
    EXPECT_EQ(SanitizeText(std::string("nul\0byte", 8), false), "nul?byte");
}

TEST_F(Utf8Locale, SanitizesMalformedUtf8AndKeepsValidText) {
    EXPECT_EQ(SanitizeText("Gr\xc3\xbc\xc3\x9f"
                           "e",
                           true),
              "Gr\xc3\xbc\xc3\x9f"
              "e");
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(SanitizeText("bad\xc3(", true), "bad" + fffd + "(");     // truncated sequence
    EXPECT_EQ(SanitizeText("\xc0\xaf", true), fffd + fffd);            // overlong "/"
    EXPECT_EQ(SanitizeText("\xed\xa0\x80", true), fffd + fffd + fffd); // surrogate
    EXPECT_EQ(SanitizeText("a\xcd\xb8z", true), "a?z");                // U+0378, unassigned: no cell for it
    EXPECT_EQ(SanitizeText("\xc2\x9b"
                           "1m",
                           true),
              "?1m");                                             // U+009B, the 8-bit CSI in UTF-8
    EXPECT_EQ(DisplayWidth("\xe6\x97\xa5\xe6\x9c\xac", true), 4); // two wide characters
    EXPECT_EQ(FitToWidth("\xe6\x97\xa5\xe6\x9c\xac", 3, true), "\xe6\x97\xa5");
}

// A long database error text wraps at spaces into lines no wider than asked, losing no word.
TEST(TerminalText, WrapsLongErrorTexts) {
    const std::string text =
        "[unixODBC][Driver Manager]Data source name not found and no default driver specified. "
        "Connection to the database server failed: could not connect to server: Connection refused. "
        "Is the server running on host \"127.0.0.1\" and accepting TCP/IP connections on port 5432? "
        "Check the Database Server Name, Database Server IP, Database Name, Database Login and Database Password "
        "settings and try again.";
    const std::vector<std::string> lines = WrapText(text, 60, false);
    ASSERT_GT(lines.size(), 5u);
    std::string rejoined;
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), 60u) << line;
        EXPECT_FALSE(line.empty());
        EXPECT_NE(line.front(), ' ');
        rejoined += (rejoined.empty() ? "" : " ") + line;
    }
    EXPECT_EQ(rejoined, text.substr(0, text.size()));
}

// Line breaks in the text are kept, blank lines included; a word longer than a line is cut into pieces.
TEST(TerminalText, KeepsLineBreaksAndCutsLongWords) {
    EXPECT_EQ(WrapText("first\r\n\r\nsecond line\r\n", 40, false),
              (std::vector<std::string>{"first", "", "second line", ""}));
    EXPECT_EQ(WrapText("ab 0123456789abcdef", 8, false), (std::vector<std::string>{"ab", "01234567", "89abcdef"}));
    EXPECT_EQ(WrapText("", 8, false), (std::vector<std::string>{""}));
}

TEST_F(Utf8Locale, WrapsByColumnsNotBytes) {
    // Eight two-byte letters fill eight columns; a wide character never straddles the edge.
    EXPECT_EQ(WrapText("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 9, true),
              (std::vector<std::string>{"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"}));
    EXPECT_EQ(WrapText("\xe6\x97\xa5\xe6\x97\xa5\xe6\x97\xa5", 5, true),
              (std::vector<std::string>{"\xe6\x97\xa5\xe6\x97\xa5", "\xe6\x97\xa5"}));
}

// The message box fits the screen with its caption as title; a text taller than the screen scrolls instead.
TEST(TerminalMessageBox, FitsTheScreenAndScrollsTallTexts) {
    const MessageBoxLayout shortBox = LayoutMessageBox("Server registered successfully", "Success", 80, 24, false);
    EXPECT_EQ(shortBox.title, "Success");
    EXPECT_EQ(shortBox.lines, std::vector<std::string>{"Server registered successfully"});
    EXPECT_FALSE(shortBox.scrolls);
    EXPECT_GE(shortBox.client.width, 30 + 4);

    std::string tall;
    for (int i = 0; i < 40; ++i) {
        tall += "line " + std::to_string(i) + "\r\n";
    }
    for (const auto& [columns, rows] : {std::pair{80, 24}, std::pair{50, 15}}) {
        const MessageBoxLayout box = LayoutMessageBox(tall, std::string(200, 'C'), columns, rows, false);
        EXPECT_TRUE(box.scrolls);
        EXPECT_LE(box.client.left + box.client.width + kFrameColumns - 1, columns);
        EXPECT_LE(box.client.top + box.client.height + kFrameRows - 1, rows);
        EXPECT_LE(static_cast<int>(box.title.size()) + 4, box.client.width);
        EXPECT_EQ(box.lines.size(), 41u);
        EXPECT_LT(box.buttonRow, box.client.height);
        EXPECT_GT(box.buttonRow, box.text.top + box.text.height - 1);
    }
}
