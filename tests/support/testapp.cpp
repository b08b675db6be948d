#include "testapp.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <memory>
#include <thread>

#include "shell/application.h"
#include "shell/fonts.h"

namespace testing_support {
namespace {
std::deque<int>& Answers() {
  static std::deque<int> answers;
  return answers;
}
}  // namespace

std::vector<TBoxRequest>& ShownBoxes() {
  static std::vector<TBoxRequest> boxes;
  return boxes;
}

void AnswerNextBox(int buttonIndex) {
  Answers().push_back(buttonIndex);
}

void ClearBoxes() {
  ShownBoxes().clear();
  Answers().clear();
}

namespace {
int RecordBox(const TBoxRequest& request) {
  ShownBoxes().push_back(request);
  auto& answers = Answers();
  if (answers.empty()) return request.defaultButton;
  const int answer = answers.front();
  answers.pop_front();
  return answer;
}
}  // namespace

RealBoxes::RealBoxes() {
  SetBoxInterceptor({});
}

RealBoxes::~RealBoxes() {
  SetBoxInterceptor(RecordBox);
}

void UsePrivateHome(const QTemporaryDir& home) {
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
}

bool WaitForImpl(const std::function<bool()>& pred, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!pred()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

}  // namespace testing_support

int main(int argc, char** argv) {
  // ThreadSanitizer's runtime starts a thread of its own with the program's first one: started
  // here, it is part of every baseline that tests which count threads take.
  std::thread([] {}).join();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication qtApplication(argc, argv);
  QGuiApplication::setQuitOnLastWindowClosed(false);
  auto application = std::make_unique<TApplication>(QStringLiteral("zentra"));
  LoadBundledFonts();
  SetBoxInterceptor(testing_support::RecordBox);
  const int result = RUN_ALL_TESTS();
  application.reset();
  return result;
}
