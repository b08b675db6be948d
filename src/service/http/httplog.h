#pragma once

#include <QLoggingCategory>

// The transfer's steps (connect, reuse, status, framing, keep-alive, failures), at debug level
// and silent unless turned on (QT_LOGGING_RULES="zentra.http.debug=true"). Cookies, queries and
// bodies are never logged: the lookup's query carries the user's key and its reply the server.
Q_DECLARE_LOGGING_CATEGORY(lcHttp)
