// Process entry. The server and the windows are not wired in yet: the program
// answers --version and --help and says what it is.
#include <cstdio>
#include <cstring>

#include "Version.h"

namespace {

void PrintHelp() {
  std::printf(
      "Usage: vandrel [--version] [--help]\n"
      "Vandrel lets phones drive this PC: pointer, keyboard, media and more.\n"
      "This build has the foundation only; the server does not run yet.\n");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vandrel %s\n", vandrel::kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintHelp();
      return 0;
    }
    std::fprintf(stderr, "vandrel: unknown option %s (try --help)\n", argv[i]);
    return 2;
  }
  std::printf("vandrel %s\n", vandrel::kVersion);
  PrintHelp();
  return 0;
}
