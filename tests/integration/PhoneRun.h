// Runs the real vandrel-phone with its output captured.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace vandrel::testing {

struct PhoneRun {
  int code;
  std::string output;
};

inline PhoneRun Phone(const std::string& arguments) {
  const std::string command = std::string(VANDREL_BUILD_DIR) + "/vandrel-phone " + arguments + " 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace vandrel::testing
