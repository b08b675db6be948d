#include "principal/keyboard/virtualkeylayout.h"

#include <algorithm>

bool TVirtualKeyLayout::HasLanguage(const QString& tag) const {
  return std::any_of(Languages.begin(), Languages.end(),
                     [&](const TKeyboardLanguage& entry) { return entry.Language == tag; });
}
