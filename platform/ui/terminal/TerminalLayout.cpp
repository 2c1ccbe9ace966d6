#include "platform/ui/terminal/TerminalLayout.h"

#include <algorithm>
#include <cmath>
#include <cwchar>

namespace terminal_ui {
namespace {

struct Decoded {
    char32_t codePoint = 0;
    std::size_t length = 1; // bytes consumed; 1 for a malformed sequence
    bool valid = false;
};

// One UTF-8 sequence at the start of `text`: rejects overlong forms, surrogates and values past U+10FFFF.
Decoded decode_utf8(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return {};
    }
    if (text.size() < length) {
        return {};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return {};
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {};
    }
    return {value, length, true};
}

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

bool is_control_byte(unsigned char c, bool utf8) {
    return c < 0x20 || c == 0x7F || (!utf8 && c >= 0x80 && c < 0xA0);
}

// Calls visit(bytes, width) for each character of sanitized text.
template <typename Visit>
void for_each_char(std::string_view text, bool utf8, Visit&& visit) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t length = 1;
        int width = 1;
        if (utf8) {
            const Decoded d = decode_utf8(text.substr(pos));
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
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c == '\r') {
            out.push_back('\n');
            pos += (pos + 1 < text.size() && text[pos + 1] == '\n') ? 2 : 1;
            continue;
        }
        if (c == '\n') {
            out.push_back('\n');
        } else if (c == '\t') {
            out.push_back(' ');
        } else if (is_control_byte(c, utf8)) {
            out.push_back('?');
        } else if (utf8 && c >= 0x80) {
            const Decoded d = decode_utf8(text.substr(pos));
            if (!d.valid || code_point_width(d.codePoint) < 0) {
                out.push_back('?');
            } else {
                out.append(text.substr(pos, d.length));
            }
            pos += d.length;
            continue;
        } else {
            out.push_back(static_cast<char>(c));
        }
        ++pos;
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

} // namespace terminal_ui
