#pragma once

#include <QString>

// Opens an address with the desktop's default browser (xdg-open behind Qt). Returns false when
// no handler could be started.
bool OpenInBrowser(const QString& address);
