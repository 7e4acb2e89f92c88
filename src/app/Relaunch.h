// Starting this program again, for a restart.
#pragma once

#include <string>
#include <vector>

namespace vandrel {

/// Starts `executable` with `arguments` in `folder`, directly (no shell) and
/// without waiting for it. Returns 0 on success, else the system's error number.
int Relaunch(const std::string& executable, const std::vector<std::string>& arguments, const std::string& folder);

/// Whether a window can be shown: on Linux an X display that opens.
bool HasUsableDisplay();

}  // namespace vandrel
