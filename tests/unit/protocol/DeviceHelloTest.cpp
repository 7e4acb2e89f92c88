#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>

#include "protocol/DeviceHello.h"

namespace vandrel {
namespace {

TEST(DeviceHelloTest, ReadsAllFourFields) {
  const DeviceHello hello = ParseDeviceHello("Maker/Phone/Model-1/1");
  EXPECT_EQ(hello.manufacturer, "Maker");
  EXPECT_EQ(hello.name, "Phone");
  EXPECT_EQ(hello.model, "Model-1");
  EXPECT_EQ(hello.kind, 1);
  EXPECT_TRUE(hello.IsNetwork());
  EXPECT_FALSE(ParseDeviceHello("Maker/Phone/Model-1/0").IsNetwork());
}

TEST(DeviceHelloTest, MissingFieldsAreEmptyAndExtraOnesIgnored) {
  const DeviceHello shortHello = ParseDeviceHello("Maker//c");
  EXPECT_EQ(shortHello.manufacturer, "Maker");
  EXPECT_EQ(shortHello.name, "");
  EXPECT_EQ(shortHello.model, "c");
  EXPECT_EQ(shortHello.kind, 0);
  EXPECT_EQ(ParseDeviceHello("").manufacturer, "");

  const DeviceHello extra = ParseDeviceHello("a/b/c/2/9/more");
  EXPECT_EQ(extra.model, "c");
  EXPECT_EQ(extra.kind, 2);
}

TEST(DeviceHelloTest, KindReadsLikeStoiWithoutThrowing) {
  const struct {
    const char* field;
    std::int32_t kind;
  } cases[] = {
      {" \t\n7", 7},          {"+3", 3},          {"-1", -1},          {"12abc", 12},
      {"abc", 0},             {"", 0},            {"-", 0},            {" - 5", 0},
      {"0x10", 0},            {"2147483647", INT_MAX},                 {"-2147483648", INT_MIN},
      {"2147483648", 0},      {"-2147483649", 0}, {"99999999999999999999", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseDeviceHello(std::string("m/n/p/") + c.field).kind, c.kind) << '"' << c.field << '"';
  }
  EXPECT_TRUE(ParseDeviceHello("m/n/p/-1").IsNetwork());
}

TEST(DeviceHelloTest, FormatsWhatParseReads) {
  const DeviceHello hello{"Maker", "My Phone", "X-2", -4};
  const std::string text = FormatDeviceHello(hello);
  EXPECT_EQ(text, "Maker/My Phone/X-2/-4");
  const DeviceHello back = ParseDeviceHello(text);
  EXPECT_EQ(FormatDeviceHello(back), text);

  EXPECT_EQ(FormatDeviceHello(DeviceHello{}), "///0");
  EXPECT_THROW(FormatDeviceHello(DeviceHello{"A/B", "n", "m", 0}), std::invalid_argument);
}

}  // namespace
}  // namespace vandrel
