#pragma once

// Reads the font configuration (fontconfig's configuration files and its caches of the installed
// fonts) on a thread of its own, so that this happens while the toolkit connects to the display
// and the first text measured finds it ready. Fontconfig builds that configuration once per
// process, safely from any thread; if the toolkit asks before the thread is done, each builds
// one and the first finished is kept. Call once, before the application object; the thread is
// waited for when the program ends.
void WarmUpFontConfiguration();
