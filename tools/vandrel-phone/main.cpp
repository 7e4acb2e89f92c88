// Process entry of vandrel-phone; everything else lives in the client library.
#include <iostream>
#include <string>
#include <vector>

#include "vandrel-phone/Commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vandrel::phone::RunPhone(args, std::cout, std::cerr);
}
