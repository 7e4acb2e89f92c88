// Where files pushed from the phone land, and the few file-system steps that
// differ between platforms when writing them. One definition per platform in
// linux/ and windows/.
#pragma once

#include <cstdio>
#include <string>

namespace vandrel {

/// The user's desktop folder in UTF-8, worked out anew on every call so a
/// changed setting takes effect without a restart. Never empty: falls back to
/// a temporary folder when nothing better is known.
///
/// Windows: the shell's desktop folder, else %USERPROFILE%\Desktop, else C:\Temp.
/// Linux: $XDG_DESKTOP_DIR, else the XDG_DESKTOP_DIR entry of user-dirs.dirs,
/// else ~/Desktop when it exists, else /tmp.
std::string GetDesktopFolder();

namespace platform {

/// `folder` and a bare file name joined with the platform's separator.
std::string DesktopFilePath(const std::string& folder, const std::string& name);

/// False for a bare name that the system would not treat as a plain file in the
/// folder (on Windows: device names such as NUL or COM1, and names with a colon,
/// which address a drive or another file's stream).
bool IsPlainFileName(const std::string& name);

/// Creates a new file at a UTF-8 path for binary writing. An existing file or
/// link of that name is never opened, truncated or followed: the call fails
/// with `nameTaken` set. Other processes may read and write the new file
/// meanwhile (a viewer opened on a half-received file must not make the
/// transfer fail). Null on failure.
std::FILE* CreateReceivedFile(const std::string& utf8Path, bool& nameTaken);

}  // namespace platform
}  // namespace vandrel
