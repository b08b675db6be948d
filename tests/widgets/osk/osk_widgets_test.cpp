#include <gtest/gtest.h>

#include <QPointingDevice>
#include <QTouchEvent>
#include <algorithm>
#include <set>

#include "oskfixture.h"
#include "shell/boxes.h"

namespace {

constexpr int kScanA = 30, kScanQ = 16, kScanShift = 42, kScan1 = 2, kScanUp = 72;

QString Pressed(const TCustomKeyboardButton* b) {
  return b->State == TKeyDrawState::dsPressed ? QStringLiteral("pressed")
                                              : QStringLiteral("normal");
}

TEST(OskSequences, ShiftThenALetter) {
  OskFixture f("us");
  ASSERT_EQ(f.keyboard->CurrentLayout()->KeyboardName, QStringLiteral("Standard101"));
  f.Click(f.Named("LeftShift"));
  // Both Shift keys light up while latched.
  EXPECT_EQ(Pressed(f.Named("LeftShift")), QStringLiteral("pressed"));
  EXPECT_EQ(Pressed(f.Named("RightShift")), QStringLiteral("pressed"));
  EXPECT_EQ(f.Key(kScanA)->Caption, QStringLiteral("A"));
  f.Click(f.Key(kScanA));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42 v30 ^30 ^42"));
  EXPECT_EQ(f.recorder->entries[1].text, QStringLiteral("A"));
  EXPECT_EQ(f.recorder->entries[1].vk, 'A');
  EXPECT_TRUE(f.keyboard->Latched().empty());
  EXPECT_EQ(Pressed(f.Named("RightShift")), QStringLiteral("normal"));
  EXPECT_EQ(f.Key(kScanA)->Caption, QStringLiteral("a"));
}

TEST(OskSequences, ShiftTwiceTypesNothing) {
  OskFixture f("us");
  f.Click(f.Named("LeftShift"));
  f.Press(f.Named("RightShift"));  // the second press of the same key, on its twin
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42"));
  f.Release(f.Named("RightShift"));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42 ^42"));
  EXPECT_TRUE(f.keyboard->Latched().empty());
  // Nothing is left down: the next letter goes alone.
  f.Click(f.Key(kScanA));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42 ^42 v30 ^30"));
}

TEST(OskSequences, CtrlAltDel) {
  OskFixture f("us");
  f.Click(f.Named("LeftCtrl"));
  f.Click(f.Named("LeftAlt"));
  f.Click(f.Named("Del"));
  // Del goes as the Delete key (0xE053), never as the keypad's Del, which types a decimal
  // separator when Num Lock is on at the other end.
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v29 v56 ve83 ^e83 ^29 ^56"));
  EXPECT_EQ(f.recorder->entries[2].vk, 0x2E);
}

TEST(OskSequences, ThreeModifiersCoexistAndAllGoUp) {
  OskFixture f("us");
  f.Click(f.Named("LeftCtrl"));
  f.Click(f.Named("LeftAlt"));
  f.Click(f.Named("LeftShift"));
  EXPECT_EQ(f.keyboard->Latched().size(), 3u);
  f.Click(f.Key(kScanA));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v29 v56 v42 v30 ^30 ^29 ^56 ^42"));
}

TEST(OskSequences, FnGivesFunctionKeysAndStaysLatched) {
  OskFixture f("us");
  TCustomKeyboardButton* fn = f.Key(-2);
  ASSERT_NE(fn, nullptr);
  f.Click(fn);
  EXPECT_TRUE(f.recorder->entries.empty());  // Fn has no code of its own
  EXPECT_EQ(f.Key(kScan1)->Caption, QStringLiteral("F1"));
  EXPECT_EQ(f.Key(kScan1)->FontSize, 10);
  f.Click(f.Key(kScan1));
  f.Click(f.Key(kScan1 + 1));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v59 ^59 v60 ^60"));
  EXPECT_EQ(f.recorder->entries[0].vk, 0x70);
  ASSERT_EQ(f.keyboard->Latched().size(), 1u);
  EXPECT_EQ(f.keyboard->Latched()[0], fn);
  f.Click(fn);
  EXPECT_TRUE(f.keyboard->Latched().empty());
  EXPECT_EQ(f.Key(kScan1)->Caption, QStringLiteral("1"));
  EXPECT_EQ(f.Key(kScan1)->FontSize, 14);
}

TEST(OskSequences, HeldLetterRepeats) {
  OskFixture f("us");
  SetTimeScale(0.1);  // 300 ms -> 30 ms, 50 ms -> 5 ms
  QElapsedTimer held;
  held.start();
  f.Press(f.Key(kScanA));
  // Hold until the key has repeated a few times; a loaded machine only makes this take longer.
  const auto& e = f.recorder->entries;
  ASSERT_TRUE(testing_support::WaitFor([&] { return e.size() >= 5; }, 10000));
  const qint64 heldMs = held.elapsed();
  f.Release(f.Key(kScanA));

  // Repeats are key-downs only; the release types the key once more.
  ASSERT_GE(e.size(), 7u);
  for (std::size_t i = 0; i + 2 < e.size(); ++i) EXPECT_TRUE(e[i].down && e[i].scan == kScanA);
  EXPECT_TRUE(e[e.size() - 2].down);
  EXPECT_FALSE(e.back().down);
  EXPECT_EQ(e.back().scan, kScanA);

  // Timers never fire early: the first repeat waits the long delay, each later one at least the
  // short one, so no more repeats can fit in the time held than 300 ms then every 50 ms allow.
  EXPECT_GE(e[0].at + 1, 27);
  for (std::size_t i = 1; i + 2 < e.size(); ++i) EXPECT_GE(e[i].at - e[i - 1].at + 1, 4);
  const std::size_t repeats = e.size() - 2;
  EXPECT_LE(static_cast<qint64>(repeats), 1 + (heldMs + 20 - 30) / 4);
}

TEST(OskSequences, ArrowKeysAreKeyMessages) {
  OskFixture f("us");
  f.Click(f.Key(kScanUp));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("mv38 m^38"));
  f.Click(f.Key(75));
  f.Click(f.Key(80));
  f.Click(f.Key(77));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("mv38 m^38 mv37 m^37 mv40 m^40 mv39 m^39"));
}

TEST(OskSequences, DeadKeyWaitsForTheVowel) {
  OskFixture f("br");
  ASSERT_EQ(f.keyboard->Language(), QStringLiteral("pt-BR"));
  TCustomKeyboardButton* acute = f.Key(26);
  EXPECT_EQ(acute->Caption, QStringLiteral("\u00B4"));
  f.Click(acute);
  EXPECT_TRUE(f.recorder->entries.empty());
  f.Click(f.Key(kScanA));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v26 ^26 v30 ^30"));
}

TEST(OskSequences, ShiftedDeadKeyIsReplayedWithItsShift) {
  OskFixture f("br");
  f.Click(f.Named("LeftShift"));
  f.Click(f.Key(26));  // grave accent
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42 ^42"));
  f.Click(f.Key(kScanA));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42 ^42 v42 v26 ^42 ^26 v30 ^30"));
}

TEST(OskSequences, ReleaseOffTheKeysCancelsAndStopsRepeat) {
  OskFixture f("us");
  SetTimeScale(0.1);
  f.Press(f.Key(kScanA));
  // The mouse is captured: its release comes to us, outside every cell.
  f.Mouse(QEvent::MouseButtonRelease, QPoint(f.keyboard->width() + 50, 10));
  const auto count = f.recorder->entries.size();
  QElapsedTimer t;
  t.start();
  testing_support::WaitFor([&] { return t.elapsed() > 80; }, 500);
  EXPECT_EQ(f.recorder->entries.size(), count);
  EXPECT_EQ(count, 0u);
}

TEST(OskSequences, LeavingWithAKeyHeldReleasesLatchedModifiers) {
  OskFixture f("us");
  f.Click(f.Named("LeftCtrl"));
  f.Press(f.Key(kScanA));
  f.Mouse(QEvent::MouseMove, QPoint(10, -20));  // dragged off the keyboard
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v29 ^29"));
  EXPECT_TRUE(f.keyboard->Latched().empty());
  f.Mouse(QEvent::MouseButtonRelease, QPoint(10, -20));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v29 ^29"));
}

TEST(OskSequences, DestroyingTheKeyboardLiftsLatchedKeys) {
  OskFixture f("us");
  f.Click(f.Named("LeftCtrl"));
  f.Click(f.Named("LeftShift"));
  delete f.keyboard;
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v29 v42 ^29 ^42"));
}

// What the remote holds down after the recorded events, by scan code; a second key-down of a key
// already down counts as a fault.
struct RemoteKeys {
  std::set<int> down;
  bool doubleDown = false;
};
RemoteKeys Remote(const TRecorder& recorder) {
  RemoteKeys keys;
  for (const auto& e : recorder.entries) {
    if (e.scan == 0) continue;
    if (e.down && !keys.down.insert(e.scan).second) keys.doubleDown = true;
    if (!e.down) keys.down.erase(e.scan);
  }
  return keys;
}

// The invariant every gesture must leave: exactly the latched modifiers are down at the remote,
// and a modifier's face is pressed exactly when it (or its twin) is latched.
void ExpectLatchesMatchRemoteAndFaces(const OskFixture& f) {
  std::set<int> latched;
  for (const TCustomKeyboardButton* b : f.keyboard->Latched())
    if (!b->Toggle()) latched.insert(b->Key.ScanCode);
  const RemoteKeys remote = Remote(*f.recorder);
  EXPECT_FALSE(remote.doubleDown) << f.recorder->Script().toStdString();
  EXPECT_EQ(remote.down, latched) << f.recorder->Script().toStdString();
  for (const auto& b : f.keyboard->Buttons()) {
    if (!b->Modifier()) continue;
    const bool isLatched = std::any_of(
        f.keyboard->Latched().begin(), f.keyboard->Latched().end(),
        [&](const TCustomKeyboardButton* l) { return l->Key.ScanCode == b->Key.ScanCode; });
    EXPECT_EQ(b->State == TKeyDrawState::dsPressed, isLatched)
        << b->Key.PublishedName.toStdString();
  }
}

TEST(OskSequences, APressSlidingOffAModifierNeverLeavesItDown) {
  const struct {
    const char* name;
    bool latchedBefore;  // the press is Shift's second one
    const char* target;  // published name, "A", or "off" the keyboard
    const char* script;  // after the release
    const char* afterA;  // after one more click on A
  } cases[] = {
      {"first press onto a letter", false, "A", "v42 v30 ^30 ^42", "v42 v30 ^30 ^42 v30 ^30"},
      {"first press onto Caps", false, "Caps", "v42 ^42", "v42 ^42 v30 ^30"},
      {"first press onto Ctrl", false, "LeftCtrl", "v42 ^42", "v42 ^42 v30 ^30"},
      {"first press off the keyboard", false, "off", "v42 ^42", "v42 ^42 v30 ^30"},
      {"second press onto a letter", true, "A", "v42 v30 ^30 ^42", "v42 v30 ^30 ^42 v30 ^30"},
      {"second press onto Caps", true, "Caps", "v42", "v42 v30 ^30 ^42"},
      {"second press onto Ctrl", true, "LeftCtrl", "v42", "v42 v30 ^30 ^42"},
      {"second press off the keyboard", true, "off", "v42 ^42", "v42 ^42 v30 ^30"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OskFixture f("us");
    if (c.latchedBefore) f.Click(f.Named("LeftShift"));
    f.Press(f.Named("LeftShift"));
    const QPoint to = QLatin1String(c.target) == QLatin1String("off") ? QPoint(10, -20)
                      : QLatin1String(c.target) == QLatin1String("A")
                          ? OskFixture::Centre(f.Key(kScanA))
                          : OskFixture::Centre(f.Named(c.target));
    f.Mouse(QEvent::MouseMove, to);
    f.Mouse(QEvent::MouseButtonRelease, to);
    EXPECT_EQ(f.recorder->Script(), QLatin1String(c.script));
    ExpectLatchesMatchRemoteAndFaces(f);
    EXPECT_FALSE(f.Named("Caps")->Down);
    EXPECT_FALSE(f.Named("LeftCtrl")->Down);
    // The next press of Shift is a press of a key in the state its face shows.
    f.Click(f.Key(kScanA));
    EXPECT_EQ(f.recorder->Script(), QLatin1String(c.afterA));
    ExpectLatchesMatchRemoteAndFaces(f);
    EXPECT_TRUE(Remote(*f.recorder).down.empty());
  }
}

// Touch: one finger holds Shift while another types a letter.
TEST(OskTouch, TwoFingersTypeACapital) {
  OskFixture f("us");
  static QPointingDevice device(
      QStringLiteral("test touch screen"), 4242, QInputDevice::DeviceType::TouchScreen,
      QPointingDevice::PointerType::Finger, QInputDevice::Capability::Position, 10, 0);
  auto touch =
      [&](QEvent::Type type,
          std::initializer_list<std::pair<int, std::pair<QEventPoint::State, QPoint>>> points) {
        QList<QEventPoint> list;
        for (const auto& [id, sp] : points)
          list << QEventPoint(id, sp.first, QPointF(sp.second),
                              QPointF(f.keyboard->mapToGlobal(sp.second)));
        QTouchEvent e(type, &device, Qt::NoModifier, list);
        QCoreApplication::sendEvent(f.keyboard, &e);
      };
  const QPoint shift = OskFixture::Centre(f.Named("LeftShift"));
  const QPoint a = OskFixture::Centre(f.Key(kScanA));
  touch(QEvent::TouchBegin, {{1, {QEventPoint::Pressed, shift}}});
  touch(QEvent::TouchUpdate,
        {{1, {QEventPoint::Stationary, shift}}, {2, {QEventPoint::Pressed, a}}});
  touch(QEvent::TouchUpdate,
        {{1, {QEventPoint::Stationary, shift}}, {2, {QEventPoint::Released, a}}});
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42 v30 ^30"));
  EXPECT_EQ(f.recorder->entries[1].text, QStringLiteral("A"));
  touch(QEvent::TouchEnd, {{1, {QEventPoint::Released, shift}}});
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42 v30 ^30 ^42"));
  EXPECT_TRUE(f.keyboard->Latched().empty());
  // Nothing is left latched: the next letter is small.
  f.Click(f.Key(kScanA));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42 v30 ^30 ^42 v30 ^30"));
}

TEST(OskLabels, PortugueseBrazil) {
  OskFixture f("br");
  EXPECT_EQ(f.keyboard->CurrentLayout()->KeyboardName, QStringLiteral("Standard102"));
  EXPECT_EQ(f.Named("Caps")->Caption, QStringLiteral("Maiú."));
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("q"));
  EXPECT_EQ(f.Key(39)->Caption, QStringLiteral("ç"));
  EXPECT_EQ(f.Key(kScan1)->Caption, QStringLiteral("1"));
  EXPECT_EQ(f.Named("LeftShift")->KeyImage, kKeyImageShift);
  EXPECT_FALSE(f.Named("Caps")->Down);
}

TEST(OskLabels, CapsLockOnAtFirstShow) {
  OskFixture f("br", true);
  TCustomKeyboardButton* caps = f.Named("Caps");
  EXPECT_TRUE(caps->Down);
  EXPECT_EQ(Pressed(caps), QStringLiteral("pressed"));
  ASSERT_EQ(f.keyboard->Latched().size(), 1u);
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("Q"));
  EXPECT_EQ(f.Key(39)->Caption, QStringLiteral("Ç"));
  EXPECT_EQ(f.Key(kScan1)->Caption, QStringLiteral("1"));
  // Shift with Caps gives small letters again; the digits take their shifted signs.
  f.Click(f.Named("LeftShift"));
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("q"));
  EXPECT_EQ(f.Key(kScan1)->Caption, QStringLiteral("!"));
}

TEST(OskLabels, InputLanguageSwitchRebuildsAtOnce) {
  OskFixture f("br");
  EXPECT_EQ(f.keyboard->CurrentLayout()->KeyboardName, QStringLiteral("Standard102"));
  SystemKeyboard().SetLayoutNames(QStringLiteral("jp"));
  EXPECT_EQ(f.keyboard->Language(), QStringLiteral("ja-JP"));
  EXPECT_EQ(f.keyboard->CurrentLayout()->KeyboardName, QStringLiteral("Standard106"));
  EXPECT_EQ(f.keyboard->Buttons().size(), 70u);
  SystemKeyboard().SetLayoutNames(QStringLiteral("us"));
  EXPECT_EQ(f.keyboard->CurrentLayout()->KeyboardName, QStringLiteral("Standard101"));
  EXPECT_EQ(f.Named("Caps")->Caption, QStringLiteral("Caps"));
  EXPECT_EQ(f.Key(26)->Caption, QStringLiteral("["));
  // The keys fill the width again after the rebuild.
  EXPECT_GE(f.Named("Backspace")->Left + f.Named("Backspace")->Width, f.keyboard->width());
  EXPECT_TRUE(testing_support::ShownBoxes().empty());
}

TEST(OskLabels, AnotherLayoutOfTheSameLanguageRelabelsTheKeys) {
  // By new layout names, and by a group switch between two layouts already loaded; the language
  // tag stays the same throughout.
  OskFixture f("us,us");
  SystemKeyboard().SetLayoutNames(QStringLiteral("us"), QStringLiteral("dvorak"));
  EXPECT_EQ(f.keyboard->Language(), QStringLiteral("en-US"));
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("'"));
  SystemKeyboard().SetLayoutNames(QStringLiteral("us,us"), QStringLiteral(",dvorak"));
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("q"));
  SystemKeyboard().SelectLayout(1);
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("'"));
  SystemKeyboard().SelectLayout(0);
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("q"));
  SystemKeyboard().SetLayoutNames(QStringLiteral("br"), QStringLiteral("nativo"));
  EXPECT_EQ(f.keyboard->Language(), QStringLiteral("pt-BR"));
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("/"));
  SystemKeyboard().SetLayoutNames(QStringLiteral("br"));
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("q"));
  EXPECT_TRUE(testing_support::ShownBoxes().empty());
}

TEST(OskLabels, CapsKeySwitchesTheSystemsCapsLockAndARebuildKeepsIt) {
  OskFixture f("us");
  f.Click(f.Named("Caps"));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v58 ^58"));
  EXPECT_TRUE(SystemKeyboard().CapsLockOn());
  EXPECT_EQ(f.Key(kScanQ)->Caption, QStringLiteral("Q"));

  SystemKeyboard().SetLayoutNames(QStringLiteral("us"), QStringLiteral("dvorak"));
  ASSERT_TRUE(f.Named("Caps")->Down);
  EXPECT_EQ(Pressed(f.Named("Caps")), QStringLiteral("pressed"));
  EXPECT_EQ(f.Key(31)->Caption, QStringLiteral("O"));  // dvorak's o, shown in capitals
  f.Click(f.Key(31));
  EXPECT_EQ(f.recorder->entries.back().text, QStringLiteral("O"));

  f.Click(f.Named("Caps"));
  EXPECT_FALSE(SystemKeyboard().CapsLockOn());
  EXPECT_FALSE(f.Named("Caps")->Down);
  EXPECT_EQ(f.Key(31)->Caption, QStringLiteral("o"));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v58 ^58 v31 ^31 v58 ^58"));
}

TEST(OskLabels, RebuildLiftsALatchedModifier) {
  OskFixture f("br");
  f.Click(f.Named("LeftShift"));
  SystemKeyboard().SetLayoutNames(QStringLiteral("us"));
  EXPECT_EQ(f.recorder->Script(), QStringLiteral("v42 ^42"));
  EXPECT_TRUE(f.keyboard->Latched().empty());
}

TEST(OskSizing, ResizingKeepsRowsAndStretches) {
  OskFixture f("br");
  const int escAt784 = f.Named("Esc")->Width;
  f.window->resize(1366, 500);
  ASSERT_TRUE(testing_support::WaitFor([&] { return f.keyboard->width() == 1366; }, 2000));
  EXPECT_GT(f.Named("Esc")->Width, escAt784);
  EXPECT_EQ(f.Key(57)->Top, 144);
  EXPECT_EQ(f.Key(57)->Height, 36);
}

TEST(OskSizing, BuildingTheKeysKeepsTheDeclaredHeightAndTakesTheLayoutsMinimumWidth) {
  OskFixture f("br");
  EXPECT_EQ(f.keyboard->maximumHeight(), 180);
  EXPECT_EQ(f.keyboard->minimumHeight(), 180);
  EXPECT_EQ(f.keyboard->minimumWidth(), 550);
  SystemKeyboard().SetLayoutNames(QStringLiteral("jp"));  // a rebuild from another layout
  EXPECT_EQ(f.keyboard->maximumHeight(), 180);
}

}  // namespace
