#include "platform/ui/DialogUnits.h"

namespace {

// a * b / c rounded half away from zero (Win32 MulDiv), without intermediate overflow for template sizes.
int mul_div(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

} // namespace

int AverageCharWidthFromAlphabet(int alphabetAdvance) {
    return (alphabetAdvance / 26 + 1) / 2;
}

int DialogUnitsToPixelsX(int units, const DialogBaseUnits& base) {
    return mul_div(units, base.charWidth, 4);
}

int DialogUnitsToPixelsY(int units, const DialogBaseUnits& base) {
    return mul_div(units, base.charHeight, 8);
}
