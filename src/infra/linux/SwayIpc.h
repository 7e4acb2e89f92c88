// The focused window of a sway session, from sway's own IPC socket: on
// Wayland no client can read another's title the way X11 lets it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace vandrel::platform {

struct SwayFocus {
  std::string title;  // the node's "name", UTF-8; empty when it has none
  std::string appId;  // the Wayland app_id, or the X11 class under Xwayland
  pid_t pid = 0;      // 0 when sway does not know it
};

/// The focused window of the sway on `socket` (null: $SWAYSOCK), nothing when
/// there is no sway, it does not answer within half a second, or no window
/// has the focus (an empty workspace).
std::optional<SwayFocus> SwayFocusedWindow(const char* socket = nullptr);

/// Whether $SWAYSOCK names a socket, i.e. a sway session may be asked.
bool HaveSwaySocket();

/// The focused node of a GET_TREE reply; exposed for tests.
std::optional<SwayFocus> FocusedInTree(std::string_view json);

}  // namespace vandrel::platform
