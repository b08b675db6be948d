#pragma once

#include <QLoggingCategory>

// The session's steps and why it ended, for when a connection fails in the field. Silent unless
// turned on (QT_LOGGING_RULES="zentra.rdp.debug=true" or the program's verbose switch). Never log
// the password.
Q_DECLARE_LOGGING_CATEGORY(lcRdp)
