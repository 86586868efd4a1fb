#pragma once

// The templates and the readouts name Windows faces; map them to the CJK faces
// of fonts-noto-cjk: "宋体" to the Song face, "MS Shell Dlg" to the sans face.
void InstallFontSubstitutions();
