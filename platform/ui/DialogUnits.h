// Dialog units: a template's coordinates, relative to the dialog font. Horizontally a unit is a quarter of the
// font's average character width, vertically an eighth of its character height.
#pragma once

#include <string_view>

struct DialogBaseUnits {
    int charWidth = 0;  // pixels
    int charHeight = 0; // pixels
};

// The average character width as the Windows rule computes it from the advance of the 52 letters A-Z and a-z:
// (advance / 26 + 1) / 2, i.e. the mean rounded to nearest.
int AverageCharWidthFromAlphabet(int alphabetAdvance);

// Letters whose total advance AverageCharWidthFromAlphabet takes.
inline constexpr std::string_view kDialogUnitAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Horizontal and vertical dialog units to pixels, rounded to nearest as MulDiv does.
int DialogUnitsToPixelsX(int units, const DialogBaseUnits& base);
int DialogUnitsToPixelsY(int units, const DialogBaseUnits& base);
