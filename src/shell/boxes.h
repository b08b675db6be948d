#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QMessageBox;

// Modal message boxes of the application. Every box is titled and modal to the whole application;
// a test can intercept boxes to read what would be shown and to answer them.
enum class BoxIcon { None, Information, Question, Warning, Error };

struct TBoxRequest {
  QString caption;
  QString text;
  BoxIcon icon = BoxIcon::None;
  QStringList buttons;    // captions, "&" marks the access key
  int defaultButton = 0;  // index into buttons
};

// Shows the box and returns the index of the button that dismissed it; closing the box with
// Escape or its close box answers the last button.
int ShowBox(const TBoxRequest& request);

// The information box: no icon, one "OK" button, the application title as its caption.
void ShowMessage(const QString& text);

// The error box: the text as given, the stop icon, one "OK" button, the application title.
void ShowErrorBox(const QString& text);

// A box that does not hold its caller: it stays up until the person answers, and then answered
// gets the button's index (closing it with Escape or its close box answers the last button), or
// until Close() or the handle's end takes it away, and then answered is never called. For a
// question that belongs to something that can end first (a connection attempt).
class TOpenBox {
 public:
  TOpenBox(const TBoxRequest& request, std::function<void(int)> answered);
  ~TOpenBox();
  TOpenBox(const TOpenBox&) = delete;
  TOpenBox& operator=(const TOpenBox&) = delete;

  // Takes the box away unanswered; nothing when it is already answered or closed.
  void Close();
  // Neither answered nor closed.
  [[nodiscard]] bool IsOpen() const { return open_; }

 private:
  void Deliver(int index);

  std::function<void(int)> answered_;
  QPointer<QMessageBox> box_;
  bool open_ = true;
  // Alive while this handle is: a queued answer that finds it gone goes nowhere.
  std::shared_ptr<TOpenBox*> self_;
};

// Test seam: while set, boxes are handed to the interceptor instead of being shown; it returns
// the index of the button it chose (an open box gets that answer from the event loop, unless it is
// closed first). Pass an empty function to show real boxes again.
using TBoxInterceptor = std::function<int(const TBoxRequest&)>;
void SetBoxInterceptor(TBoxInterceptor interceptor);

inline constexpr char16_t kOkButton[] = u"OK";
