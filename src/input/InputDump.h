// The debug dump: one log line per record, written just before each batch goes
// to the system, so a log shows exactly what was injected and in which order.
#pragma once

#include <optional>
#include <string>

#include "input/InputRecord.h"

namespace vandrel::InputManager {

/// The environment variable that switches the dump off.
inline constexpr const char* kDumpVariable = "VANDREL_SENDINPUT_DEBUG";

/// Whether the dump is wanted for this value of the variable (nothing when unset):
/// on unless the value starts with '0', 'F' or 'f'.
bool DumpWantedFor(const std::optional<std::string>& setting);

/// The process-wide answer, read from the environment on first use.
bool DumpEnabled();

/// The line the dump logs for one record, e.g. "[SendInput] KEYDOWN VK=A (0x41)".
std::string DumpLine(const InputRecord& record);

}  // namespace vandrel::InputManager
