#include <gtest/gtest.h>

#include "protocol/DesktopFolder.h"

namespace vandrel {
namespace {

TEST(PlainFileName, DevicesAndStreamsAreNotFiles) {
  for (const char* name : {"NUL", "nul.txt", "Con", "aux .log", "COM1", "lpt9.doc", "CONOUT$", "a.txt:hidden",
                           "C:evil.exe"}) {
    EXPECT_FALSE(platform::IsPlainFileName(name)) << name;
  }
  for (const char* name : {"report.pdf", "console.txt", "COM10", "nullable", "LPT", "photo 1.jpg"}) {
    EXPECT_TRUE(platform::IsPlainFileName(name)) << name;
  }
}

}  // namespace
}  // namespace vandrel
