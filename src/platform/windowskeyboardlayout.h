#pragma once

#include <cstdint>

#include "platform/systemkeyboard.h"

// The Windows keyboard layout id (the "00010416" of a KLID) that types what an xkeyboard-config
// layout types, for the remote desktop's own keyboard layout: key events go to it as scan codes,
// so the two must agree or ç, ´, ~, / and ? become other characters on the server. A variant the
// table does not list takes its layout's entry; 0 when the layout itself is not listed.
[[nodiscard]] std::uint32_t WindowsKeyboardLayoutId(const TXkbLayoutName& name);
