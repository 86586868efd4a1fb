#include "platform/DialogUnits.h"

#include <cstdint>
#include <cstdlib>

int MulDiv(int a, int b, int c) {
    if (c == 0)
        return -1;
    const std::int64_t p = std::int64_t(a) * b;
    const std::int64_t half = std::llabs(c) / 2;
    const bool negative = (p < 0) != (c < 0);
    const std::int64_t q = (std::llabs(p) + half) / std::llabs(c);
    return int(negative ? -q : q);
}

QRect MapDialogRect(const QRect& du) {
    const int left = MulDiv(du.x(), kDialogBaseUnitX, 4);
    const int top = MulDiv(du.y(), kDialogBaseUnitY, 8);
    const int right = MulDiv(du.x() + du.width(), kDialogBaseUnitX, 4);
    const int bottom = MulDiv(du.y() + du.height(), kDialogBaseUnitY, 8);
    return QRect(left, top, right - left, bottom - top);
}

QSize MapDialogSize(int cx, int cy) {
    return QSize(MulDiv(cx, kDialogBaseUnitX, 4), MulDiv(cy, kDialogBaseUnitY, 8));
}
