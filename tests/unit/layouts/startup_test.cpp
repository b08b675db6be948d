#include <gtest/gtest.h>

#include <QApplication>

#include "createforms.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "shell/application.h"

namespace {

// Every test runs in a process of its own, so the process-wide list starts empty here.
TEST(LayoutsStartUp, WindowSetLoadsTheBuiltInLayoutsBeforeItsWindows) {
  ASSERT_EQ(KeyboardLayouts().Count(), 0);
  ASSERT_TRUE(QApplication::topLevelWidgets().isEmpty());
  CreateApplicationForms();
  QStringList names;
  for (int i = 0; i < KeyboardLayouts().Count(); ++i) {
    names.append(KeyboardLayouts().Layout(i).KeyboardName);
  }
  EXPECT_EQ(names, QStringList({"NumPad", "Standard101", "Standard102", "Standard106"}));
  Application->DestroyForms();
}

}  // namespace
