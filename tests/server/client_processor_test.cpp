#include "server/client_processor.h"

#include <gtest/gtest.h>

#include <memory>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessamer {
namespace {

std::shared_ptr<const std::string> Text(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

// The unsent bytes the send step offers, and in how many texts.
std::string Unsent(const CClientProcessor& processor, size_t* texts = nullptr) {
  SendBuffers buffers;
  const size_t count = processor.Unsent(buffers);
  if (texts != nullptr) *texts = count;
  std::string unsent;
  for (size_t i = 0; i < count; ++i) {
    unsent.append(static_cast<const char*>(buffers[i].data()), buffers[i].size());
  }
  return unsent;
}

// Drives the send step as a viewer's strand does, "sending" up to `chunk` bytes per send, and
// returns every byte that went out until the viewer is idle.
std::string SendAll(CClientProcessor& processor, size_t chunk = 1 << 20) {
  std::string sent;
  while (processor.Process() == SendStep::BytesToSend) {
    const std::string unsent = Unsent(processor);
    EXPECT_FALSE(unsent.empty());
    const size_t n = std::min(chunk, unsent.size());
    sent.append(unsent, 0, n);
    processor.Sent(n);
  }
  return sent;
}

// A socket that takes at most `room` bytes per send and keeps what it took.
class FakeSocket : public IClientSocket {
 public:
  size_t SendNow(std::string_view bytes) override {
    const size_t n = std::min(room, bytes.size());
    taken.append(bytes.substr(0, n));
    return n;
  }
  size_t room = SIZE_MAX;
  std::string taken;
};

class ClientProcessorTest : public ::testing::Test {
 protected:
  CClientProcessor processor{100};
};

TEST_F(ClientProcessorTest, TextsQueueUntilTheFirstStepAndWhileSendingAndGoInOrder) {
  EXPECT_EQ(processor.Post(Text("")), PostResult::Dropped);
  EXPECT_EQ(processor.Post(Text("header\r\n")), PostResult::Queued);
  EXPECT_EQ(processor.Post(Text("data\r\n")), PostResult::Queued);
  EXPECT_EQ(processor.State(), ProcessorState::New);
  EXPECT_EQ(SendAll(processor, 3), "header\r\ndata\r\n");
  EXPECT_EQ(processor.State(), ProcessorState::Idle);
  ASSERT_EQ(processor.Post(Text("one")), PostResult::SendRequested);  // no socket of its own
  EXPECT_EQ(processor.State(), ProcessorState::Sending);
  for (int i = 0; i < 10; ++i) processor.Post(Text(std::to_string(i)));
  EXPECT_EQ(SendAll(processor, 1), "one0123456789");
  EXPECT_EQ(processor.State(), ProcessorState::Idle);
  EXPECT_EQ(processor.QueuedBytes(), 0u);
  // A closed viewer's queue is emptied; what was being sent is the strand's to finish.
  processor.Post(Text("two"));
  processor.Post(Text("three"));
  processor.Reset();
  EXPECT_EQ(processor.QueuedBytes(), 0u);
  EXPECT_EQ(SendAll(processor), "two");
}

TEST(ClientProcessorDirectTest, AnIdleClientIsWrittenAtOnceAndOnlyTheRestGoesThroughTheSendStep) {
  FakeSocket socket;
  CClientProcessor processor(kMaxQueuedBytes, &socket);
  EXPECT_EQ(processor.Post(Text("header\r\n")), PostResult::Queued);  // before the first step
  EXPECT_EQ(SendAll(processor), "header\r\n");
  EXPECT_EQ(processor.Post(Text("one\r\n")), PostResult::Sent);
  EXPECT_EQ(processor.State(), ProcessorState::Idle);
  socket.room = 2;
  EXPECT_EQ(processor.Post(Text("two\r\n")), PostResult::SendRequested);
  EXPECT_EQ(processor.Post(Text("three\r\n")), PostResult::Queued);  // behind the rest
  EXPECT_EQ(socket.taken, "one\r\ntw");
  EXPECT_EQ(SendAll(processor), "o\r\nthree\r\n");
  socket.room = 0;  // full: all of it is the send step's
  EXPECT_EQ(processor.Post(Text("four\r\n")), PostResult::SendRequested);
  EXPECT_EQ(SendAll(processor), "four\r\n");
  socket.room = SIZE_MAX;
  EXPECT_EQ(processor.Post(Text("five\r\n")), PostResult::Sent);
  EXPECT_EQ(socket.taken, "one\r\ntwfive\r\n");
}

TEST(ClientProcessorDirectTest, AQueuedBatchGoesToTheSendStepAndCountsEachOfItsTexts) {
  FakeSocket socket;
  CClientProcessor processor(kMaxQueuedBytes, &socket);
  EXPECT_EQ(SendAll(processor), "");  // the first step: idle
  EXPECT_EQ(processor.Post(Text("a\nb\n"), PostMode::Queue, 2), PostResult::SendRequested);
  EXPECT_EQ(processor.Post(Text("c\n")), PostResult::Queued);  // behind the batch
  EXPECT_EQ(processor.Figures().bytesQueued, 6u);
  EXPECT_EQ(SendAll(processor), "a\nb\nc\n");
  EXPECT_EQ(socket.taken, "");
  EXPECT_EQ(processor.Figures().textsSent, 3u);
  EXPECT_EQ(processor.Post(Text("d\ne\n"), PostMode::Now, 2), PostResult::Sent);
  EXPECT_EQ(processor.Figures().textsSent, 5u);
}

TEST(ClientProcessorDirectTest, ATextJoinsOnlyASendNotYetBegunWithNothingQueuedBehindIt) {
  CClientProcessor processor;
  EXPECT_EQ(SendAll(processor), "");  // the first step: idle
  EXPECT_EQ(processor.Post(Text("a\n"), PostMode::Join), PostResult::Declined);  // none waits
  ASSERT_EQ(processor.Post(Text("b\nc\n"), PostMode::Queue, 2), PostResult::SendRequested);
  EXPECT_EQ(processor.Post(Text("d\n"), PostMode::Join), PostResult::Joined);
  EXPECT_EQ(processor.Figures().bytesQueued, 6u);
  ASSERT_EQ(processor.Process(), SendStep::BytesToSend);
  EXPECT_EQ(Unsent(processor), "b\nc\nd\n");  // one send
  EXPECT_EQ(processor.Post(Text("e\n"), PostMode::Join), PostResult::Declined);  // begun
  processor.Sent(6);
  EXPECT_EQ(processor.Process(), SendStep::Idle);
  EXPECT_EQ(processor.Figures().textsSent, 3u);
  // A text queued behind a waiting send keeps later texts from joining that send.
  ASSERT_EQ(processor.Post(Text("f\n"), PostMode::Queue), PostResult::SendRequested);
  EXPECT_EQ(processor.Post(Text("g\n")), PostResult::Queued);
  EXPECT_EQ(processor.Post(Text("h\n"), PostMode::Join), PostResult::Declined);
  EXPECT_EQ(SendAll(processor), "f\ng\n");
}

TEST(ClientProcessorBatchTest, AClientThatFellBehindGetsQueuedTextsGatheredInOrder) {
  CClientProcessor processor;
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    const std::string text = "text " + std::to_string(i) + "\n";
    processor.Post(Text(text));
    expected += text;
  }
  ASSERT_EQ(processor.Process(), SendStep::BytesToSend);
  size_t texts = 0;
  EXPECT_EQ(Unsent(processor, &texts).substr(0, 14), "text 0\ntext 1\n");
  EXPECT_EQ(texts, kMaxSendTexts);
  EXPECT_EQ(SendAll(processor, 100), expected);
  // One text larger than a gathered send (and than a socket's buffer) still goes alone and whole.
  const std::string big(kMaxSendBytes + 1, 'B');
  processor.Post(Text("a"));  // idle: taken at once
  processor.Post(Text(big));
  processor.Post(Text("c"));
  EXPECT_EQ(SendAll(processor, 4096), "a" + big + "c");
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
}

}  // namespace
}  // namespace tessamer
