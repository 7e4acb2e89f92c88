// Reads a QR code picture back with the zbarimg tool, as a phone's camera would.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vandrel::testing {

inline bool HaveZbarImg() { return std::system("command -v zbarimg >/dev/null 2>&1") == 0; }

/// The text of the code in the picture at `path`; empty when none is found.
inline std::string DecodeQrFile(const std::string& path) {
  std::string text;
  if (std::FILE* pipe = popen(("zbarimg --raw -q '" + path + "' 2>/dev/null").c_str(), "r")) {
    char buffer[256];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    pclose(pipe);
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace vandrel::testing
