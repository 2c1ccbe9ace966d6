#include "platform/ui/terminal/TerminalLayout.h"

#include "common/PlainText.h"

#include <algorithm>
#include <cmath>
#include <cwchar>

namespace enlistor::terminal_ui {
namespace {

// Columns of one code point, or -1 when the terminal cannot show it as text.
int code_point_width(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
        return -1;
    }
    if (cp < 0x7F) {
        return 1;
    }
    return ::wcwidth(static_cast<wchar_t>(cp));
}

// Calls visit(bytes, width) for each character of sanitized text.
template <typename Visit>
void for_each_char(std::string_view text, bool utf8, Visit&& visit) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t length = 1;
        int width = 1;
        if (utf8) {
            const Utf8Char d = DecodeUtf8(text.substr(pos));
            length = d.length;
            width = d.valid ? std::max(0, code_point_width(d.codePoint)) : 1;
        }
        if (!visit(text.substr(pos, length), width)) {
            return;
        }
        pos += length;
    }
}

int round_cells(double value) {
    return static_cast<int>(std::floor(value + 0.5));
}

void append_chunked_word(std::string_view word, int columns, bool utf8, std::vector<std::string>& lines,
                         std::string& line, int& lineWidth) {
    for_each_char(word, utf8, [&](std::string_view ch, int width) {
        if (lineWidth + width > columns && !line.empty()) {
            lines.push_back(std::move(line));
            line.clear();
            lineWidth = 0;
        }
        line.append(ch);
        lineWidth += width;
        return true;
    });
}

void wrap_paragraph(std::string_view paragraph, int columns, bool utf8, std::vector<std::string>& lines) {
    std::string line;
    int lineWidth = 0;
    std::size_t pos = 0;
    while (pos < paragraph.size()) {
        const std::size_t wordStart = paragraph.find_first_not_of(' ', pos);
        if (wordStart == std::string_view::npos) {
            break;
        }
        std::size_t wordEnd = paragraph.find(' ', wordStart);
        if (wordEnd == std::string_view::npos) {
            wordEnd = paragraph.size();
        }
        const std::string_view spaces = paragraph.substr(pos, wordStart - pos);
        const std::string_view word = paragraph.substr(wordStart, wordEnd - wordStart);
        const int spacesWidth = static_cast<int>(spaces.size());
        const int wordWidth = DisplayWidth(word, utf8);
        if (lineWidth + spacesWidth + wordWidth <= columns) {
            line.append(spaces);
            line.append(word);
            lineWidth += spacesWidth + wordWidth;
        } else {
            if (!line.empty()) {
                lines.push_back(std::move(line));
                line.clear();
                lineWidth = 0;
            }
            append_chunked_word(word, columns, utf8, lines, line, lineWidth);
        }
        pos = wordEnd;
    }
    lines.push_back(std::move(line));
}

} // namespace

std::string SanitizeText(std::string_view text, bool utf8) {
    std::string plain = PlainText(text, utf8 ? TextEncoding::Utf8 : TextEncoding::SingleByte);
    if (!utf8) {
        return plain;
    }
    // Plain text is valid UTF-8; what the locale cannot show in cells (e.g. an unassigned code point) is shown as
    // "?" too, so the measured widths hold on the screen.
    std::string out;
    out.reserve(plain.size());
    for (std::size_t pos = 0; pos < plain.size();) {
        const Utf8Char d = DecodeUtf8(std::string_view(plain).substr(pos));
        if (plain[pos] == '\n') {
            out.push_back('\n');
        } else if (d.valid && code_point_width(d.codePoint) >= 0) {
            out.append(plain, pos, d.length);
        } else {
            out.push_back('?');
        }
        pos += d.length;
    }
    return out;
}

int DisplayWidth(std::string_view text, bool utf8) {
    int total = 0;
    for_each_char(text, utf8, [&](std::string_view, int width) {
        total += width;
        return true;
    });
    return total;
}

std::string FitToWidth(std::string_view text, int columns, bool utf8) {
    std::string out;
    int used = 0;
    for_each_char(text, utf8, [&](std::string_view ch, int width) {
        if (used + width > columns) {
            return false;
        }
        out.append(ch);
        used += width;
        return true;
    });
    return out;
}

std::vector<std::string> WrapText(std::string_view text, int columns, bool utf8) {
    columns = std::max(columns, 1);
    const std::string clean = SanitizeText(text, utf8);
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (true) {
        const std::size_t end = clean.find('\n', pos);
        const std::string_view paragraph =
            std::string_view(clean).substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        wrap_paragraph(paragraph, columns, utf8, lines);
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return lines;
}

namespace {

bool is_text_control(const ControlTemplate& control) {
    return control.kind == ControlKind::Static || control.kind == ControlKind::Edit ||
           control.kind == ControlKind::PushButton;
}

bool overlap(const CellRect& a, const CellRect& b) {
    return a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
           b.top < a.top + a.height;
}

// The cells a control covers when drawn: a label shows its whole text, past its own cells if need be.
CellRect drawn_cells(const ControlCells& placed) {
    CellRect r = placed.cells;
    if (placed.control->kind == ControlKind::Static) {
        r.width = std::max(r.width, static_cast<int>(placed.control->text.size()));
    }
    return r;
}

bool every_control_shown(const DialogLayout& layout) {
    for (std::size_t i = 0; i < layout.controls.size(); ++i) {
        const ControlCells& a = layout.controls[i];
        if (!is_text_control(*a.control)) {
            continue;
        }
        const CellRect drawn = drawn_cells(a);
        if (drawn.left + drawn.width > layout.client.width) {
            return false;
        }
        for (std::size_t j = i + 1; j < layout.controls.size(); ++j) {
            const ControlCells& b = layout.controls[j];
            if (is_text_control(*b.control) && overlap(drawn, drawn_cells(b))) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

ScreenSize SmallestCompleteScreen(const DialogTemplate& tmpl) {
    constexpr int kAmple = 1000;
    ScreenSize size{kAmple, kAmple};
    for (int columns = kFrameColumns + 1; columns < kAmple; ++columns) {
        if (LayoutDialog(tmpl, columns, kAmple).complete) {
            size.columns = columns;
            break;
        }
    }
    for (int rows = kFrameRows + 1; rows < kAmple; ++rows) {
        if (LayoutDialog(tmpl, kAmple, rows).complete) {
            size.rows = rows;
            break;
        }
    }
    return size;
}

DialogLayout LayoutDialog(const DialogTemplate& tmpl, int screenColumns, int screenRows) {
    const int cx = std::max(tmpl.cx, 1);
    const int cy = std::max(tmpl.cy, 1);
    const double sx = std::min(0.25, std::max(screenColumns - kFrameColumns, 1) / static_cast<double>(cx));
    const double sy = std::min(0.125, std::max(screenRows - kFrameRows, 1) / static_cast<double>(cy));

    DialogLayout layout;
    layout.client.width = std::max(1, round_cells(cx * sx));
    layout.client.height = std::max(1, round_cells(cy * sy));
    layout.client.left = std::max(1, (screenColumns - (layout.client.width + kFrameColumns)) / 2 + 1);
    layout.client.top = std::max(1, (screenRows - (layout.client.height + kFrameRows)) / 2 + 1);
    layout.statusRow = layout.client.height - 1;

    for (const ControlTemplate& control : tmpl.controls) {
        CellRect r;
        r.left = round_cells(control.x * sx);
        r.top = round_cells(control.y * sy);
        r.width = std::max(1, round_cells((control.x + control.cx) * sx) - r.left);
        r.height = std::max(1, round_cells((control.y + control.cy) * sy) - r.top);
        if (control.kind == ControlKind::Static || control.kind == ControlKind::Edit ||
            control.kind == ControlKind::PushButton) {
            r.height = 1; // one text line each in a terminal
        }
        r.left = std::clamp(r.left, 0, layout.client.width - 1);
        r.top = std::clamp(r.top, 0, layout.client.height - 1);
        r.width = std::min(r.width, layout.client.width - r.left);
        r.height = std::min(r.height, layout.client.height - r.top);
        layout.controls.push_back({&control, r});
    }
    layout.complete = every_control_shown(layout);
    return layout;
}

MessageBoxLayout LayoutMessageBox(std::string_view text, std::string_view caption, int screenColumns, int screenRows,
                                  bool utf8) {
    // Two columns of margin each side and two for a scroll bar must fit inside the frame.
    const int maxTextColumns = std::max(10, std::min(60, screenColumns - kFrameColumns - 6));
    const int maxVisibleLines = std::max(1, screenRows - kFrameRows - 3);
    const int okWidth = static_cast<int>(kOkButtonText.size()) + 3;

    MessageBoxLayout box;
    box.lines = WrapText(text, maxTextColumns, utf8);
    std::string title = SanitizeText(caption, utf8);
    std::replace(title.begin(), title.end(), '\n', ' ');
    box.title = FitToWidth(title, std::max(1, screenColumns - kFrameColumns - 6), utf8);

    int textColumns = 1;
    for (const std::string& line : box.lines) {
        textColumns = std::max(textColumns, DisplayWidth(line, utf8));
    }
    const int lineCount = static_cast<int>(box.lines.size());
    box.scrolls = lineCount > maxVisibleLines;
    const int visible = std::min(lineCount, maxVisibleLines);

    box.text = {2, 1, textColumns + (box.scrolls ? 2 : 0), visible};
    box.client.width = std::max({box.text.width + 4, DisplayWidth(box.title, utf8) + 6, okWidth + 4});
    box.client.width = std::min(box.client.width, std::max(1, screenColumns - kFrameColumns));
    box.client.height = visible + 3;
    box.buttonRow = visible + 2;
    box.buttonLeft = (box.client.width - okWidth) / 2;
    box.client.left = std::max(1, (screenColumns - (box.client.width + kFrameColumns)) / 2 + 1);
    box.client.top = std::max(1, (screenRows - (box.client.height + kFrameRows)) / 2 + 1);
    return box;
}

} // namespace enlistor::terminal_ui
