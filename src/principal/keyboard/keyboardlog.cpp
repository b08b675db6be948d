#include "principal/keyboard/keyboardlog.h"

Q_LOGGING_CATEGORY(lcKeyboard, "zentra.keyboard", QtWarningMsg)
