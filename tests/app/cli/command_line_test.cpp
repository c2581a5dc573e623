// The program's options: every option of the command line, its range, and the one-line reasons.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/cli/command_line.h"

namespace tessamer {
namespace {

bool Parse(std::vector<std::string> args, CommandLine& options, std::string& error) {
  return ParseCommandLine(args, options, error);
}

TEST(CommandLine, NoOptionsMeanTheWindowWithTheSystemsPorts) {
  CommandLine options;
  std::string error;
  ASSERT_TRUE(Parse({}, options, error));
  EXPECT_FALSE(options.headless);
  EXPECT_EQ(options.channels, 6);
  EXPECT_EQ(options.dataPort, 5000);
  EXPECT_EQ(options.utilityPort, 5009);
  EXPECT_EQ(options.boxPort, 5000);
  EXPECT_EQ(options.boxUtilityPort, 5009);
  EXPECT_EQ(options.defaultBox, kDefaultBoxAddress);
}

TEST(CommandLine, HeadlessRunTakesEveryOptionInBothSpellings) {
  CommandLine options;
  std::string error;
  ASSERT_TRUE(Parse({"--headless", "--box", "127.0.0.2:6001", "--box=127.0.0.3", "--channels", "4",
                     "--data-port=0", "--utility-port", "0", "--box-port", "7000",
                     "--box-utility-port=7009", "--default-box", "127.0.0.2", "--log", "/tmp/x.txt"},
                    options, error))
      << error;
  EXPECT_TRUE(options.headless);
  EXPECT_EQ(options.channels, 4);
  EXPECT_EQ(options.dataPort, 0);
  EXPECT_EQ(options.utilityPort, 0);
  EXPECT_EQ(options.logFile, "/tmp/x.txt");

  const std::vector<Box> boxes = BoxesOf(options);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(DottedText(boxes[0].address), "127.0.0.2");
  EXPECT_EQ(boxes[0].port, 6001);
  EXPECT_EQ(boxes[0].row, 0);
  EXPECT_EQ(DottedText(boxes[1].address), "127.0.0.3");
  EXPECT_EQ(boxes[1].port, 7000);  // no port given: the --box-port
  EXPECT_EQ(boxes[1].row, 1);

  const HubConfig config = HubConfigOf(options);
  EXPECT_EQ(config.dataPort, 0);
  EXPECT_EQ(config.utilityPort, 0);
  EXPECT_EQ(config.boxUtilityPort, 7009);
  EXPECT_EQ(config.defaultBoxAddress, "127.0.0.2");
}

TEST(CommandLine, VersionAndHelpNeedNothingElse) {
  CommandLine options;
  std::string error;
  ASSERT_TRUE(Parse({"--version"}, options, error));
  EXPECT_TRUE(options.version);
  CommandLine other;
  ASSERT_TRUE(Parse({"--headless", "--help"}, other, error));  // no --box needed to ask for help
  EXPECT_TRUE(other.help);
  EXPECT_THAT(UsageText(), ::testing::HasSubstr("--box-utility-port PORT"));
}

TEST(CommandLine, DemoStandsInForTheBoxesOfAHeadlessRun) {
  CommandLine options;
  std::string error;
  EXPECT_TRUE(Parse({"--headless", "--demo"}, options, error)) << error;
  EXPECT_TRUE(options.demo);
}

struct BadCase {
  std::vector<std::string> args;
  std::string reason;
};

TEST(CommandLine, BadOptionsGiveOneLineReasons) {
  const std::vector<BadCase> cases = {
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"extra"}, "unknown option extra"},
      {{"--headless", "--channels"}, "--channels: 1 required N missing"},
      {{"--headless", "--box", "1.2.3.4", "--channels", "0"}, "--channels takes 1 to 6"},
      {{"--headless", "--box", "1.2.3.4", "--channels", "7"}, "--channels takes 1 to 6"},
      {{"--headless", "--box", "1.2.3.4", "--channels", "3x"}, "--channels takes 1 to 6"},
      {{"--data-port", "65536"}, "--data-port takes 0 to 65535"},
      {{"--data-port", "-1"}, "--data-port takes 0 to 65535"},
      {{"--box-port", "0"}, "--box-port takes 1 to 65535"},
      {{"--box-utility-port", "0"}, "--box-utility-port takes 1 to 65535"},
      {{"--headless", "--box", "256.0.0.1"}, "--box takes ADDRESS[:PORT]"},
      {{"--headless", "--box", "1.2.3"}, "--box takes ADDRESS[:PORT]"},
      {{"--headless", "--box", "1.2.3.4.5"}, "--box takes ADDRESS[:PORT]"},
      {{"--headless", "--box", "a.b.c.d"}, "--box takes ADDRESS[:PORT]"},
      {{"--headless", "--box", "1.2.3.4:0"}, "--box takes ADDRESS[:PORT]"},
      {{"--headless", "--box", "1.2.3.4:"}, "--box takes ADDRESS[:PORT]"},
      {{"--headless", "--box", "1..3.4"}, "--box takes ADDRESS[:PORT]"},
      {{"--default-box", "box.local"}, "--default-box takes a dotted IPv4 address"},
      {{"--headless=yes"}, "headless was given a disallowed flag override"},
      {{"--box", "1.2.3.4"}, "--box is for --headless runs only"},
      {{"--headless"}, "--headless needs at least one --box"},
      {{"--log", ""}, "--log takes a file name"},
  };
  for (const auto& c : cases) {
    CommandLine options;
    std::string error;
    EXPECT_FALSE(Parse(c.args, options, error)) << c.args[0];
    EXPECT_THAT(error, ::testing::HasSubstr(c.reason)) << c.args[0];
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

TEST(CommandLine, SixteenBoxesAtMost) {
  std::vector<std::string> args = {"--headless"};
  for (int i = 0; i < 16; ++i) {
    args.push_back("--box");
    args.push_back("127.0.0." + std::to_string(2 + i));
  }
  CommandLine options;
  std::string error;
  ASSERT_TRUE(Parse(args, options, error)) << error;
  EXPECT_EQ(BoxesOf(options).back().row, 15);
  args.push_back("--box");
  args.push_back("127.0.0.99");
  CommandLine more;
  EXPECT_FALSE(Parse(args, more, error));
  EXPECT_THAT(error, ::testing::HasSubstr("at most 16"));
}

}  // namespace
}  // namespace tessamer
