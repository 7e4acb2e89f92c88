// Text from a peer on its way into the log: control characters would let it
// forge lines (a line feed) or drive a terminal (an escape sequence).
#pragma once

#include <string>
#include <string_view>

namespace vandrel {

/// `text` with each control byte (below 0x20, and 0x7F) written as "\xNN";
/// everything else, UTF-8 included, unchanged.
std::string Printable(std::string_view text);

}  // namespace vandrel
