#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWidget>
#include <memory>
#include <vector>

#include "platform/keyinjection.h"
#include "platform/scancodes.h"
#include "platform/systemkeyboard.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "principal/keyboard/touchkeyboard.h"
#include "shell/timer.h"
#include "testapp.h"

// The window that has the focus: records every key event as the remote desktop view reads it.
class TRecorder : public QWidget {
 public:
  struct Entry {
    bool down;
    int scan;  // set-1 scan code from the event's X11 key code; 0 for a key message
    bool extended;
    int vk;  // nativeVirtualKey
    QString text;
    qint64 at;  // ms since the recorder was made
  };
  TRecorder() {
    setFocusPolicy(Qt::StrongFocus);
    clock_.start();
  }
  std::vector<Entry> entries;

  // "v42" for a key-down of scan code 42, "^42" for its key-up, "ve83" and "^e83" for the
  // extended key 0xE053; "mv38" and "m^38" for key messages with virtual-key code 38.
  QString Script() const {
    QStringList parts;
    for (const Entry& e : entries) {
      const QString dir = e.down ? QStringLiteral("v") : QStringLiteral("^");
      parts << (e.scan == 0 ? QStringLiteral("m") + dir + QString::number(e.vk)
                            : dir + (e.extended ? QStringLiteral("e") : QString()) +
                                  QString::number(e.scan));
    }
    return parts.join(u' ');
  }

 protected:
  void keyPressEvent(QKeyEvent* e) override { Record(e, true); }
  void keyReleaseEvent(QKeyEvent* e) override { Record(e, false); }

 private:
  void Record(QKeyEvent* e, bool down) {
    const TScanCode scan = ScanCodeFromX11KeyCode(e->nativeScanCode());
    entries.push_back({down, scan.code, scan.extended, static_cast<int>(e->nativeVirtualKey()),
                       e->text(), clock_.elapsed()});
  }
  QElapsedTimer clock_;
};

// A session-like window: the focused recorder above, the keyboard docked below, 180 high.
class OskFixture {
 public:
  explicit OskFixture(const char* layouts, bool capsLock = false, int width = 784) {
    LoadBuiltInKeyboardLayouts();
    ResetInjectedModifiers();
    auto system = TSystemKeyboard::FromLayoutNames(QString::fromLatin1(layouts));
    system->SetCapsLock(capsLock);
    SetSystemKeyboard(std::move(system));
    SetTimeScale(1.0);
    window = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    recorder = new TRecorder();
    layout->addWidget(recorder, 1);
    keyboard = new TTouchKeyboard(window.get());
    keyboard->setObjectName(QStringLiteral("TouchKeyboard1"));
    keyboard->SetLayout(QStringLiteral("Standard"));
    keyboard->SetDrawingStyle(TDrawingStyle::dsGradient);
    keyboard->setFixedHeight(180);
    layout->addWidget(keyboard);
    window->resize(width, 500);
    window->show();
    window->activateWindow();
    recorder->setFocus();
    testing_support::WaitFor([this] { return QGuiApplication::focusObject() == recorder; }, 2000);
    testing_support::WaitFor([this, width] { return keyboard->width() == width; }, 2000);
  }
  ~OskFixture() {
    window.reset();
    SetSystemKeyboard(nullptr);
    SetTimeScale(1.0);
  }

  TCustomKeyboardButton* Key(int scan, int nth = 0) const {
    for (const auto& b : keyboard->Buttons())
      if (b->Key.ScanCode == scan && nth-- == 0) return b.get();
    return nullptr;
  }
  TCustomKeyboardButton* Named(const char* published) const {
    for (const auto& b : keyboard->Buttons())
      if (b->Key.PublishedName == QLatin1String(published)) return b.get();
    return nullptr;
  }
  static QPoint Centre(const TCustomKeyboardButton* b) {
    return {b->Left + b->Width / 2, b->Top + b->Height / 2};
  }
  void Mouse(QEvent::Type type, QPoint at) const {
    QMouseEvent e(type, at, keyboard->mapToGlobal(at), Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(keyboard, &e);
  }
  void Press(const TCustomKeyboardButton* b) const { Mouse(QEvent::MouseButtonPress, Centre(b)); }
  void Release(const TCustomKeyboardButton* b) const {
    Mouse(QEvent::MouseButtonRelease, Centre(b));
  }
  void Click(const TCustomKeyboardButton* b) const {
    Press(b);
    Release(b);
  }

  std::unique_ptr<QWidget> window;
  TRecorder* recorder = nullptr;
  TTouchKeyboard* keyboard = nullptr;
};
