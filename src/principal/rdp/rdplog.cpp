#include "principal/rdp/rdplog.h"

Q_LOGGING_CATEGORY(lcRdp, "zentra.rdp", QtWarningMsg)
