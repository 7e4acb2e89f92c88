// What a shell command printed on standard output, for the test rigs.
#pragma once

#include <cstdio>
#include <string>

namespace vandrel::testing {

inline std::string CommandOutput(const std::string& command) {
  std::string text;
  if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
    ::pclose(pipe);
  }
  return text;
}

}  // namespace vandrel::testing
