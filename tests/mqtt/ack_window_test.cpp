// The window of records in flight: the cursor moves only over what was acknowledged without a
// gap before it, and what is not acknowledged stays to be sent again.

#include "mqtt/ack_window.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessamer {
namespace {

std::vector<uint64_t> UnackedSeqs(const CAckWindow& window) {
  std::vector<uint64_t> seqs;
  for (const CAckWindow::Entry& entry : window.Entries()) {
    if (!entry.acked) seqs.push_back(entry.seq);
  }
  return seqs;
}

TEST(AckWindow, CursorMovesOnlyOverAContiguousRunOfAcknowledgements) {
  CAckWindow window(10);
  EXPECT_EQ(window.Newest(), 10u);
  for (uint64_t seq : {11u, 12u, 15u, 16u}) window.Sent(seq, 1, "payload " + std::to_string(seq));
  EXPECT_EQ(window.Unacked(), 4u);

  EXPECT_FALSE(window.Acked(12));  // 11 is still out
  EXPECT_FALSE(window.Acked(16));
  EXPECT_EQ(window.Cursor(), 10u);
  EXPECT_EQ(window.Size(), 4u);
  EXPECT_EQ(UnackedSeqs(window), (std::vector<uint64_t>{11, 15}));

  EXPECT_TRUE(window.Acked(11));  // 11, 12: the gap 13-14 is no record of the window
  EXPECT_EQ(window.Cursor(), 12u);
  EXPECT_FALSE(window.Acked(12));  // a second acknowledgement, and unknown seqs, change nothing
  EXPECT_FALSE(window.Acked(13));
  EXPECT_FALSE(window.Acked(99));
  EXPECT_EQ(window.Cursor(), 12u);
  EXPECT_EQ(window.Unacked(), 1u);

  EXPECT_TRUE(window.Acked(15));  // 15 and the 16 waiting behind it
  EXPECT_EQ(window.Cursor(), 16u);
  EXPECT_EQ(window.Size(), 0u);
  EXPECT_EQ(window.Newest(), 16u);
}

TEST(AckWindow, KeepsThePayloadOfWhatMustBeSentAgain) {
  CAckWindow window;
  window.Sent(1, 7, "one");
  window.Sent(2, 8, "two");
  window.Acked(2);
  ASSERT_EQ(window.Entries().size(), 2u);
  EXPECT_EQ(window.Entries()[0].payload, "one");
  EXPECT_EQ(window.Entries()[0].headerId, 7);
  EXPECT_TRUE(window.Entries()[1].payload.empty());  // acknowledged: never sent again
}

}  // namespace
}  // namespace tessamer
