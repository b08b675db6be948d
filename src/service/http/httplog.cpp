#include "service/http/httplog.h"

Q_LOGGING_CATEGORY(lcHttp, "zentra.http", QtInfoMsg)
