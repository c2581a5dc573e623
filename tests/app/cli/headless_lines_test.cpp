// The lines the program without a window prints for the hub's notices.

#include "app/cli/headless_lines.h"

#include <gtest/gtest.h>

#include "app/sample_health.h"

namespace tessamer {
namespace {

TEST(HeadlessLines, NoticeLinesNameUnknownStatusesByNumberAndSkipDataFlow) {
  EXPECT_EQ(NoticeLine(ActivityNotice{static_cast<ActivityStatus>(7), 3}),
            "activity row=3 status=7");
  EXPECT_EQ(NoticeLine(ClientConnectionNotice{5, 5000, true, {}}), "client connected socket=5");
  const Notice everyKind[] = {ActivityNotice{Connected, 0},
                              StoppedNotice{},
                              BoxDataNotice{1},
                              HeadersCompleteNotice{},
                              PublishedNotice{true},
                              BoxSilenceNotice{1, 3},
                              ClientConnectionNotice{5, 5000, false, {}},
                              ClientOffsetNotice{L"x"}};
  for (const Notice& notice : everyKind) {
    EXPECT_EQ(IsPrinted(notice), !NoticeLine(notice).empty()) << MessageOf(notice);
  }
  EXPECT_TRUE(NoticeLine(BoxDataNotice{1}).empty());
  EXPECT_TRUE(NoticeLine(ClientOffsetNotice{L"x"}).empty());
}

TEST(HeadlessLines, BoxLinesNameTheBoxAndViewerLinesTheirPeer) {
  HubHealth health = apptest::SampleHealth();  // row 0 connected, row 2 lost to a refusal
  EXPECT_EQ(
      NoticeLine(ActivityNotice{ConnectionLost, 2}, health),
      "activity row=2 status=ConnectionLost box=127.0.0.3:41001 reason=\"Connection refused\"");
  // A box back on line keeps its last error, but the line gives a reason for failures only.
  EXPECT_EQ(NoticeLine(ActivityNotice{Connected, 2}, health),
            "activity row=2 status=Connected box=127.0.0.3:41001");
  EXPECT_EQ(NoticeLine(BoxSilenceNotice{2, 12}, health),
            "silent row=2 box=127.0.0.3:41001 seconds=12");
  EXPECT_EQ(NoticeLine(BoxSilenceNotice{2, 0}, health), "speaking row=2");
  EXPECT_EQ(NoticeLine(BoxSilenceNotice{4, 3}, health), "silent row=4 seconds=3");  // no such box
  health.boxes[0].lastError = "said \"no\"\r\nthen left";
  EXPECT_EQ(
      NoticeLine(ActivityNotice{ConnectionLost, 0}, health),
      "activity row=0 status=ConnectionLost box=127.0.0.2:41001 reason=\"said 'no'  then left\"");
  EXPECT_EQ(NoticeLine(ClientConnectionNotice{5, 5000, true, L"127.0.0.1:40100"}),
            "client connected socket=5 peer=127.0.0.1:40100");
  EXPECT_EQ(NoticeLine(ClientConnectionNotice{5, 5000, false, L"127.0.0.1:40100"}),
            "client disconnected socket=5");
}

}  // namespace
}  // namespace tessamer
