#pragma once
#include <QRect>

// Dialog templates are laid out in dialog units. The base units are fixed at
// 6 x 12 pixels (the template font at 96 DPI), so one unit is 1.5 px each way
// and the panel looks the same on every machine whatever fonts it has.
inline constexpr int kDialogBaseUnitX = 6;
inline constexpr int kDialogBaseUnitY = 12;

// a * b / c rounded half away from zero, in 64-bit arithmetic.
int MulDiv(int a, int b, int c);

// Converts a rectangle given as x, y, width, height in dialog units to pixels,
// mapping each edge separately as MapDialogRect does (so a width in pixels is
// the difference of two rounded edges, not a rounded width).
QRect MapDialogRect(const QRect& du);
// A size in dialog units (a dialog's client area) in pixels.
QSize MapDialogSize(int cx, int cy);
