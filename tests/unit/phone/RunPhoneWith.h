// The phone program run in-process: its exit status and what it printed.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "vandrel-phone/Commands.h"

namespace vandrel::phone::testing {

struct ProgramRun {
  int status;
  std::string out;
  std::string err;
};

inline ProgramRun RunWith(std::vector<std::string> args) {
  std::ostringstream out, err;
  const int status = RunPhone(args, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace vandrel::phone::testing
