#include "server/offset_processor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/recorders.h"

namespace tessamer {
namespace {

class OffsetProcessorTest : public ::testing::Test {
 protected:
  // Feeds `bytes` as one receive, as a viewer's connection does.
  void Receive(std::string_view bytes) {
    ASSERT_LE(bytes.size(), kReceiveChunk);
    processor.Consume(bytes);
  }
  std::vector<std::wstring> OffsetNames() const {
    std::vector<std::wstring> names;
    for (const auto& n : sink.Of<ClientOffsetNotice>()) names.push_back(n.name);
    return names;
  }

  testkit::RecordingNoticeSink sink;
  std::vector<std::string> commands;
  COffsetProcessor processor{&sink,
                             [this](std::string line) { commands.push_back(std::move(line)); }};
};

TEST_F(OffsetProcessorTest, OffsetLinesPostTheirNameAndCommandLinesGoToTheRelayWhole) {
  Receive("OxDepth_0=12.5\r\n## CQ 1\r\n\nhello\r\nO no equals\n#single\n");
  EXPECT_EQ(OffsetNames(), std::vector<std::wstring>{L"Depth_0"});
  EXPECT_EQ(commands, std::vector<std::string>{"## CQ 1\r"});
  EXPECT_EQ(sink.Notices().size(), 1u);  // the offset's notice alone
}

TEST_F(OffsetProcessorTest, ALineSplitAcrossReceivesIsHandledOnceWhole) {
  Receive("## split co");
  EXPECT_TRUE(commands.empty());
  Receive("mmand\r\n## next");
  Receive("\n");
  EXPECT_EQ(commands, (std::vector<std::string>{"## split command\r", "## next"}));
}

TEST_F(OffsetProcessorTest, AFullReceiveOfShortLinesLosesNoByteOfAnyLine) {
  std::string block;
  int lines = 0;
  while (block.size() + 12 <= kReceiveChunk) {
    block += "## c" + std::to_string(1000000 + lines++) + "\n";  // 12 bytes
  }
  block.resize(kReceiveChunk, 'x');  // the tail starts the next line
  Receive(block);
  ASSERT_EQ(commands.size(), static_cast<size_t>(lines));
  EXPECT_EQ(commands.front(), "## c1000000");
  EXPECT_EQ(commands.back(), "## c" + std::to_string(1000000 + lines - 1));
}

TEST_F(OffsetProcessorTest, ALineLongerThanTheLimitKeepsItsNewestBytes) {
  // 1 MiB without a line feed, then the end of an offset line: only the last 4095 bytes of the
  // line are kept, so what arrives is no "O" line; the next line is handled normally.
  const std::string noise(kReceiveChunk, 'z');
  for (int i = 0; i < 256; ++i) Receive(noise);
  Receive("Oxlost=1\nOxkept=2\n");
  EXPECT_EQ(OffsetNames(), std::vector<std::wstring>{L"kept"});

  // A line of exactly the limit, split over receives, is still handled whole.
  std::string line = "## " + std::string(kMaxLineBytes - 3, 'q');
  Receive(std::string_view(line).substr(0, 3000));
  Receive(std::string_view(line).substr(3000));
  Receive("\n");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], line);
}

TEST_F(OffsetProcessorTest, BinaryNoiseIsHandledAsTextUpToItsFirstZeroByte) {
  std::string noise;
  for (int i = 0; i < 4000; ++i) noise += static_cast<char>((i * 37) % 256);
  Receive(noise);
  Receive(std::string("\nOx\xe9t\xe9=1\n##\0hidden\n", 19));
  EXPECT_EQ(OffsetNames(), std::vector<std::wstring>{L"\u00e9t\u00e9"});
  EXPECT_EQ(commands, std::vector<std::string>{"##"});
}

TEST_F(OffsetProcessorTest, OffsetLinesWithoutANameAndWithoutWindowAreSafe) {
  Receive("O=1\nOx=2\n");
  EXPECT_EQ(OffsetNames(), (std::vector<std::wstring>{L"", L""}));
  COffsetProcessor silent(nullptr, {});
  silent.Consume("OxName=1\n## command\n");  // no window, no relay: nothing to do, no fault
}

}  // namespace
}  // namespace tessamer
