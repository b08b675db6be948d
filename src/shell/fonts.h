#pragma once

#include <QString>
#include <functional>

// Makes the classic dialog faces (Tahoma, MS Sans Serif, Marlett) available to the application
// from the free metric-compatible fonts package, even where fontconfig does not list its folder,
// and maps faces that Linux lacks (Segoe UI) to the desktop's sans-serif face.
void LoadBundledFonts();

// What the font system is waiting for when the program reads its configuration ahead on another
// thread (see platform/fontwarmup.h): LoadBundledFonts, the first to use fonts, waits for it
// rather than reading the configuration a second time. Set by the program before start-up.
void SetFontConfigurationWait(std::function<void()> wait);

// The folder the free metric-compatible faces are read from.
inline constexpr char kBundledFontFolder[] = "/usr/share/wine/fonts";
