// The few operating-system facts the infrastructure needs; one definition per
// platform in linux/ and windows/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace vandrel::platform {

/// Full path of the running executable in UTF-8, or nothing if the system will not say.
std::optional<std::string> ExecutablePath();

/// Where the log file lives.
std::string DefaultLogFilePath();

/// Opens a file for appending in the platform's text mode, shared with other
/// processes for reading and writing, creating missing parent folders on Linux.
/// Programs this one starts do not inherit it.
std::FILE* OpenForAppendShared(const std::string& utf8Path);

/// The size in bytes of an open file; 0 when the system will not say.
std::uint64_t OpenFileSize(std::FILE* file);

/// Renames `from` to `to`, replacing an existing `to`. Windows refuses while any
/// handle to `from` without delete sharing is open, including our own.
bool RenameReplacing(const std::string& utf8From, const std::string& utf8To);

std::tm LocalTime(std::time_t t);
unsigned long CurrentProcessId();

/// The value of an environment variable; nothing when unset or empty.
std::optional<std::string> Environment(const char* name);

/// Where settings.ini lives.
std::string SettingsFilePath();

/// The whole contents of a file, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& utf8Path);

/// Fills `size` bytes from the operating system's cryptographic random source.
/// Throws std::system_error if the source fails.
void FillRandom(void* data, std::size_t size);

/// Line end written into text files this program keeps.
std::string_view NativeLineEnd();

/// Writes `contents` to a temporary file beside `utf8Path` and renames it over
/// the target, so the target is always either the old or the new whole file.
/// Creates the parent folder when missing. Private files are made readable by
/// their owner only where the system supports it. Returns false on any failure,
/// leaving the old file in place.
bool WriteFileAtomically(const std::string& utf8Path, std::string_view contents, bool privateFile);

}  // namespace vandrel::platform
