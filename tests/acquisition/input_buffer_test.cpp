#include "acquisition/input_buffer.h"

#include <string>

#include <gtest/gtest.h>

#include "testkit/memory_device.h"

namespace tessamer {
namespace {

using testkit::CMemoryDevice;
using testkit::MemoryConnection;

class InputBufferTest : public ::testing::Test {
 protected:
  void Play(std::string text, int readLimit = 2048, bool closeAtEnd = true) {
    device = std::make_unique<CMemoryDevice>(
        std::vector<MemoryConnection>{{std::move(text), closeAtEnd, 0}});
    device->SetReadLimit(readLimit);
    ErrorInfo failure;
    ASSERT_TRUE(device->Open(failure));
    input = std::make_unique<InputBuffer>(device.get());
  }

  std::string Line(size_t size = 1024) {
    std::string buffer(size, '\xAA');
    const size_t n = input->ReadLine(buffer.data(), buffer.size());
    return buffer.substr(0, n);
  }

  std::unique_ptr<CMemoryDevice> device;
  std::unique_ptr<InputBuffer> input;
};

TEST_F(InputBufferTest, LinesLoseTheirLineEndOnlyAtTheEnd) {
  Play("one\r\ntwo\n\r\nthree\rx\n\nlast");
  EXPECT_EQ(Line(), "one");
  EXPECT_EQ(Line(), "two");
  EXPECT_EQ(Line(), "");
  EXPECT_EQ(Line(), "three\rx");
  EXPECT_EQ(Line(), "");
  EXPECT_EQ(Line(), "");  // no line feed before the end: nothing
  EXPECT_EQ(device->GetErrorInfo()->text, L"The device has closed the connection");
}

TEST_F(InputBufferTest, LongLinesAreConsumedWholeAndCut) {
  const std::string longLine(1 << 20, 'x');  // a megabyte without a line feed
  Play(longLine + "\nnext\n", 1000);
  const std::string cut = Line(16);
  EXPECT_EQ(cut, std::string(15, 'x'));
  EXPECT_EQ(Line(), "next");
  EXPECT_LE(input->Used(), InputBuffer::kSize - 1);

  Play(longLine + "\r\nafter\n");
  EXPECT_EQ(input->ReadLine(nullptr, 0), longLine.size() + 2);  // bytes taken, without a buffer
  EXPECT_EQ(Line(), "after");
}

TEST_F(InputBufferTest, CarriageReturnIsDroppedOnlyWhenStoredBeforeTheLineFeed) {
  Play("abc\r\nabcd\r\n");
  EXPECT_EQ(Line(4), "abc");  // exactly fits: line feed and carriage return dropped
  EXPECT_EQ(Line(4), "abc");  // cut: what was stored stays
}

TEST_F(InputBufferTest, LinesAcrossTheRingEndInEveryPieceSize) {
  std::string text;
  for (int i = 0; i < 500; ++i) text += "line " + std::to_string(i) + std::string(i % 37, '.') + "\n";
  for (int limit : {1, 3, 7, 100, 2048}) {
    Play(text, limit);
    for (int i = 0; i < 500; ++i) {
      ASSERT_EQ(Line(), "line " + std::to_string(i) + std::string(i % 37, '.')) << limit;
    }
    EXPECT_EQ(Line(), "");
  }
}

TEST_F(InputBufferTest, PeekDoesNotConsumeAndFillNeverOverfills) {
  Play("#H\n12", 1);
  char two[2] = {};
  EXPECT_EQ(input->Peek(two, 2), 2);
  EXPECT_EQ(std::string(two, 2), "#H");
  EXPECT_EQ(Line(), "#H");
  EXPECT_EQ(input->Peek(two, 2), 2);
  EXPECT_EQ(std::string(two, 2), "12");
  char three[3];
  EXPECT_EQ(input->Peek(three, 3), -1);  // the box closed before a third byte

  Play(std::string(10000, 'z'), 2048, false);
  int filled = 0;
  for (int i = 0; i < 10; ++i) {
    const int n = input->Fill();
    ASSERT_GE(n, 0);
    filled += n;
  }
  EXPECT_EQ(filled, static_cast<int>(InputBuffer::kSize - 1));
  EXPECT_EQ(input->Used(), InputBuffer::kSize - 1);
  EXPECT_EQ(input->Fill(), 0);  // full
}

TEST_F(InputBufferTest, StoppingAndAbortEndEveryOperation) {
  Play("abc\n", 2048, false);
  input->SetStopping(true);
  char c;
  EXPECT_EQ(input->Peek(&c, 1), -2);
  EXPECT_EQ(input->Fill(), -2);
  EXPECT_EQ(input->ReadLine(nullptr, 0), 0u);
  input->SetStopping(false);
  EXPECT_EQ(Line(), "abc");
  device->Abort(1);
  EXPECT_EQ(input->Fill(), -2);
  EXPECT_EQ(input->Peek(&c, 1), -1);
}

}  // namespace
}  // namespace tessamer
