// Geometry and text shaping for the terminal front end, kept free of newt so it can be checked on its own.
#pragma once

#include "res/DialogTemplate.h"

#include <string>
#include <string_view>
#include <vector>

namespace enlistor::terminal_ui {

// A rectangle in character cells.
struct CellRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct ControlCells {
    const ControlTemplate* control = nullptr;
    CellRect cells; // relative to the dialog's client area
};

// A dialog template mapped onto a screen of the given size.
struct DialogLayout {
    CellRect client;                    // the client area on the screen; the frame, title and shadow lie around it
    std::vector<ControlCells> controls; // template order
    int statusRow = 0;                  // the client row used for the busy notice
    // Every label, field and button has cells of its own and every label's text fits its cells. A screen too small
    // for that squeezes controls onto each other (some would be hidden): the dialog is not shown then.
    bool complete = true;
};

// Cells the window decoration adds around the client area: one border row above and below, one border column on
// each side, and the shadow (one row below, two columns to the right).
inline constexpr int kFrameRows = 3;
inline constexpr int kFrameColumns = 4;

// Scales dialog units into cells: a quarter of a column and an eighth of a row per unit (the font's average
// character cell), shrunk where needed so the whole window with its frame fits the screen.
DialogLayout LayoutDialog(const DialogTemplate& tmpl, int screenColumns, int screenRows);

// The fewest columns and rows on which LayoutDialog gives a complete layout (each looked for with the other
// dimension ample).
struct ScreenSize {
    int columns = 0;
    int rows = 0;
};
ScreenSize SmallestCompleteScreen(const DialogTemplate& tmpl);

// Text as the terminal can show it: the plain-text rule for outside text (common/PlainText.h: line ends become
// "\n", a tab a space, other control characters "?", and in UTF-8 mode each byte of a malformed sequence U+FFFD), so
// no byte of the text can act as a terminal command; in UTF-8 mode a character the locale cannot show in cells
// becomes "?" as well.
std::string SanitizeText(std::string_view text, bool utf8);

// Columns the (sanitized) text occupies on one line.
int DisplayWidth(std::string_view text, bool utf8);

// The longest prefix of the text that fits the given number of columns, cut on a character boundary.
std::string FitToWidth(std::string_view text, int columns, bool utf8);

// Sanitizes and wraps the text into lines of at most `columns` columns: at spaces where possible, inside a word
// longer than a line otherwise. Line ends in the text start new lines; empty lines are kept.
std::vector<std::string> WrapText(std::string_view text, int columns, bool utf8);

// A message box: the wrapped text, scrollable when it has more lines than the screen can show.
struct MessageBoxLayout {
    std::vector<std::string> lines;
    std::string title;
    CellRect client; // on the screen
    CellRect text;   // relative to the client area; includes the scroll bar column when scrolling
    bool scrolls = false;
    int buttonLeft = 0; // relative to the client area
    int buttonRow = 0;
};

inline constexpr std::string_view kOkButtonText = "OK";

MessageBoxLayout LayoutMessageBox(std::string_view text, std::string_view caption, int screenColumns, int screenRows,
                                  bool utf8);

} // namespace enlistor::terminal_ui
