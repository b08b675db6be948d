#pragma once

#include <QLoggingCategory>

// The on-screen keyboard's diagnostics: which layout and language it builds its keys for and why.
// Keys typed are never logged: they may be a password.
Q_DECLARE_LOGGING_CATEGORY(lcKeyboard)
