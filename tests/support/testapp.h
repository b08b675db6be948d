#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <ostream>
#include <vector>

#include "shell/boxes.h"

// Readable QString values in test failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

// The test process's application: Qt (offscreen unless QT_QPA_PLATFORM says otherwise), our
// application object titled "zentra", and a box recorder in place of real boxes.
namespace testing_support {

// Boxes the code under test asked for, oldest first.
std::vector<TBoxRequest>& ShownBoxes();
// Answers for the next boxes, by button index; without one, a box takes its default button.
void AnswerNextBox(int buttonIndex);
void ClearBoxes();

// The program's remembered certificates and settings belong to this test alone: HOME is the
// folder, XDG_CONFIG_HOME its "config".
void UsePrivateHome(const QTemporaryDir& home);

// While one lives, boxes are real Qt message boxes (offscreen unless QT_QPA_PLATFORM says
// otherwise), for tests of a box's own life; the recorder comes back when it ends.
class RealBoxes {
 public:
  RealBoxes();
  ~RealBoxes();
  RealBoxes(const RealBoxes&) = delete;
  RealBoxes& operator=(const RealBoxes&) = delete;
};

// Processes events until pred is true or timeoutMs (unscaled) passes; returns pred().
template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs = 5000);

bool WaitForImpl(const std::function<bool()>& pred, int timeoutMs);

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs) {
  return WaitForImpl(std::function<bool()>(pred), timeoutMs);
}

}  // namespace testing_support
