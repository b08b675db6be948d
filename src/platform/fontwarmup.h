#pragma once

// Reads the font configuration (fontconfig's configuration files and its caches of the installed
// fonts) on a thread of its own, so that this happens while the toolkit connects to the display.
// Fontconfig builds that configuration once per process, safely from any thread. Call once,
// before the application object; the thread is waited for when the program ends.
void WarmUpFontConfiguration();
// Waits until the configuration started by WarmUpFontConfiguration is read; returns at once when
// none was started. The toolkit's first use of fonts then finds it ready instead of reading a
// second one beside it.
void AwaitFontConfiguration();
