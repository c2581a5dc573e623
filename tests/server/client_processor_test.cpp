#include "server/client_processor.h"

#include <gtest/gtest.h>

#include <memory>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/error_numbers.h"

namespace tessamer {
namespace {

std::shared_ptr<const std::string> Text(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

// Drives the send step as the server does, "sending" up to `chunk` bytes per send, and returns
// every byte that went out until the client is idle.
std::string SendAll(ClientContext& record, CClientProcessor& processor, size_t chunk = 1 << 20) {
  std::string sent;
  while (processor.Process() == kErrorIoPending) {
    std::string all;
    for (const auto& text : record.texts) all += *text;
    EXPECT_EQ(all.size(), record.length);
    const size_t n = std::min(chunk, record.length - record.position);
    sent.append(all, record.position, n);
    record.position += n;
  }
  return sent;
}

// A socket that takes at most `room` bytes per send and keeps what it took.
class FakeSocket : public IClientSocket {
 public:
  size_t SendNow(ClientContext&, std::string_view bytes) override {
    const size_t n = std::min(room, bytes.size());
    taken.append(bytes.substr(0, n));
    return n;
  }
  size_t room = SIZE_MAX;
  std::string taken;
};

class ClientProcessorTest : public ::testing::Test {
 protected:
  ClientContext record;
  CClientProcessor processor{&record, 100};
};

TEST_F(ClientProcessorTest, NewQueuesUntilTheFirstSendStepThenSendsInOrder) {
  EXPECT_EQ(processor.Post(Text("header\r\n")), PostResult::Queued);
  EXPECT_EQ(processor.Post(Text("data\r\n")), PostResult::Queued);
  EXPECT_EQ(processor.State(), ProcessorState::New);
  EXPECT_EQ(SendAll(record, processor, 3), "header\r\ndata\r\n");
  EXPECT_EQ(processor.State(), ProcessorState::Idle);
  EXPECT_EQ(processor.QueuedBytes(), 0u);
}

TEST_F(ClientProcessorTest, FirstSendStepWithNothingQueuedGoesIdleAndAnEmptyTextSendsNothing) {
  EXPECT_EQ(processor.Post(Text("")), PostResult::Dropped);
  EXPECT_EQ(processor.Process(), 0);
  EXPECT_EQ(processor.State(), ProcessorState::Idle);
}

TEST_F(ClientProcessorTest, IdleClientTakesTheTextAtOnceAndQueuesWhileSending) {
  processor.Process();
  ASSERT_EQ(processor.Post(Text("one")), PostResult::SendRequested);
  EXPECT_EQ(processor.State(), ProcessorState::Sending);
  ASSERT_EQ(record.texts.size(), 1u);
  EXPECT_EQ(*record.texts[0], "one");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(processor.Post(Text(std::to_string(i))), PostResult::Queued);
  EXPECT_EQ(SendAll(record, processor, 1), "one0123456789");
  EXPECT_EQ(processor.State(), ProcessorState::Idle);
}

TEST(ClientProcessorDirectTest, AnIdleClientIsWrittenAtOnceAndOnlyTheRestGoesThroughTheSendStep) {
  ClientContext record;
  FakeSocket socket;
  CClientProcessor processor(&record, kMaxQueuedBytes, &socket);
  EXPECT_EQ(processor.Post(Text("header\r\n")), PostResult::Queued);  // before the first step
  EXPECT_EQ(SendAll(record, processor), "header\r\n");
  EXPECT_EQ(processor.Post(Text("one\r\n")), PostResult::Sent);
  EXPECT_EQ(processor.State(), ProcessorState::Idle);
  socket.room = 2;
  EXPECT_EQ(processor.Post(Text("two\r\n")), PostResult::SendRequested);
  EXPECT_EQ(processor.Post(Text("three\r\n")), PostResult::Queued);  // behind the rest
  EXPECT_EQ(socket.taken, "one\r\ntw");
  EXPECT_EQ(SendAll(record, processor), "o\r\nthree\r\n");
  socket.room = 0;  // full: all of it is the send step's
  EXPECT_EQ(processor.Post(Text("four\r\n")), PostResult::SendRequested);
  EXPECT_EQ(SendAll(record, processor), "four\r\n");
  socket.room = SIZE_MAX;
  EXPECT_EQ(processor.Post(Text("five\r\n")), PostResult::Sent);
  EXPECT_EQ(socket.taken, "one\r\ntwfive\r\n");
}

TEST(ClientProcessorDirectTest, HeldTextsWaitAndGoInOneSendStepInOrder) {
  ClientContext record;
  FakeSocket socket;
  CClientProcessor processor(&record, kMaxQueuedBytes, &socket);
  EXPECT_EQ(SendAll(record, processor), "");  // the first step: idle
  EXPECT_FALSE(processor.StartHeld());
  EXPECT_EQ(processor.Post(Text("a"), PostMode::Gather), PostResult::Held);
  EXPECT_EQ(processor.Post(Text("b"), PostMode::Gather), PostResult::Queued);
  EXPECT_EQ(processor.Figures().bytesQueued, 2u);
  ASSERT_TRUE(processor.StartHeld());
  EXPECT_FALSE(processor.StartHeld());  // one send step, however often asked
  EXPECT_EQ(processor.Post(Text("c")), PostResult::Queued);  // behind the held texts
  ASSERT_EQ(processor.Process(), kErrorIoPending);
  EXPECT_EQ(record.texts.size(), 3u);  // gathered into one send
  EXPECT_EQ(SendAll(record, processor), "abc");
  // A text to be sent now after held ones does not wait for StartHeld, nor overtakes them.
  EXPECT_EQ(processor.Post(Text("d"), PostMode::Gather), PostResult::Held);
  EXPECT_EQ(processor.Post(Text("e")), PostResult::SendRequested);
  EXPECT_EQ(SendAll(record, processor), "de");
  EXPECT_EQ(socket.taken, "");
  EXPECT_EQ(processor.Figures().textsSent, 5u);
}

TEST(ClientProcessorBatchTest, AClientThatFellBehindGetsQueuedTextsGatheredInOrder) {
  ClientContext record;
  CClientProcessor processor(&record);
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    const std::string text = "text " + std::to_string(i) + "\n";
    processor.Post(Text(text));
    expected += text;
  }
  ASSERT_EQ(processor.Process(), kErrorIoPending);
  EXPECT_EQ(record.texts.size(), kMaxSendTexts);
  EXPECT_EQ(*record.texts[1], "text 1\n");
  EXPECT_EQ(SendAll(record, processor, 100), expected);
  // One text larger than a gathered send still goes alone and whole.
  const std::string big(kMaxSendBytes + 1, 'B');
  processor.Post(Text("a"));  // idle: taken at once
  processor.Post(Text(big));
  processor.Post(Text("c"));
  EXPECT_EQ(SendAll(record, processor, 4096), "a" + big + "c");
}

TEST_F(ClientProcessorTest, TextsLongerThanTheRecordBufferAreSentWhole) {
  const std::string big(3 * kRecordBufferSize + 17, 'h');
  processor.Process();
  ASSERT_EQ(processor.Post(Text(big)), PostResult::SendRequested);
  EXPECT_EQ(SendAll(record, processor, 1000), big);
}

TEST_F(ClientProcessorTest, OverTheLimitMarksTheClientClosingAndDropsEverything) {
  processor.Process();
  ASSERT_EQ(processor.Post(Text("in flight")), PostResult::SendRequested);
  EXPECT_EQ(processor.Post(Text(std::string(60, 'a'))), PostResult::Queued);
  EXPECT_EQ(processor.Post(Text(std::string(40, 'b'))), PostResult::Queued);  // exactly 100
  EXPECT_EQ(processor.Post(Text("c")), PostResult::OverLimit);
  EXPECT_TRUE(processor.Closing());
  EXPECT_EQ(processor.QueuedBytes(), 0u);
  EXPECT_EQ(processor.Post(Text("d")), PostResult::Dropped);
  // A recycled record starts afresh.
  processor.Attach(&record);
  EXPECT_FALSE(processor.Closing());
  EXPECT_EQ(processor.State(), ProcessorState::New);
  EXPECT_EQ(processor.Post(Text("e")), PostResult::Queued);
}

TEST_F(ClientProcessorTest, ResetEmptiesTheQueueAndAttachStartsTheNextClientEmpty) {
  processor.Post(Text("old1"));
  processor.Post(Text("old2"));
  processor.Reset();
  EXPECT_EQ(processor.QueuedBytes(), 0u);
  processor.Attach(&record);
  record.Initialise(1);
  processor.Post(Text("new"));
  EXPECT_EQ(SendAll(record, processor), "new");
}

}  // namespace
}  // namespace tessamer
