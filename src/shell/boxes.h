#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// Modal message boxes of the application. Every box is titled and modal to the whole application;
// a test can intercept boxes to read what would be shown and to answer them.
enum class BoxIcon { None, Information, Question, Warning, Error };

struct BoxRequest {
  QString caption;
  QString text;
  BoxIcon icon = BoxIcon::None;
  QStringList buttons;    // captions, "&" marks the access key
  int defaultButton = 0;  // index into buttons
};

// Shows the box and returns the index of the button that dismissed it; closing the box with
// Escape or its close box answers the last button.
int ShowBox(const BoxRequest& request);

// The information box: no icon, one "OK" button, the application title as its caption.
void ShowMessage(const QString& text);

// The error box: the text as given, the stop icon, one "OK" button, the application title.
void ShowErrorBox(const QString& text);

// Test seam: while set, boxes are handed to the interceptor instead of being shown; it returns
// the index of the button it chose. Pass an empty function to show real boxes again.
using BoxInterceptor = std::function<int(const BoxRequest&)>;
void SetBoxInterceptor(BoxInterceptor interceptor);

inline constexpr char16_t kOkButton[] = u"OK";
