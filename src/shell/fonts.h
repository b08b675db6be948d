#pragma once

#include <QString>

// Makes the classic dialog faces (Tahoma, MS Sans Serif, Marlett) available to the application
// from the free metric-compatible fonts package, even where fontconfig does not list its folder,
// and maps faces that Linux lacks (Segoe UI) to the desktop's sans-serif face.
void LoadBundledFonts();

// The folder the free metric-compatible faces are read from.
inline constexpr char kBundledFontFolder[] = "/usr/share/wine/fonts";
