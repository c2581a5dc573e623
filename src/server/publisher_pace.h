#pragma once
// The publisher's pace: whether a publication is written at once to every idle viewer by the
// publishing thread, or held so that the viewers' strands send several lines in one send.
//
// The rule, the one place it is written down:
//   - The publisher measures what writing a line at once cost per viewer (Written).
//   - While writing to every viewer at that cost takes at most two thirds of the time between
//     lines, lines are written at once (WriteNow).
//   - Beyond that the publisher cannot keep up alone: lines are held (Hold), and a gathering
//     delay after the first held line one gathering step hands the held lines to every viewer's
//     strand, which sends them in one send: far fewer sends and segments for a few milliseconds
//     of delay. A viewer whose send from the last step has not begun yet takes the line into it
//     (CContextPool).
//   - The gathering delay is kGatherDelay, or what writing to every viewer at once costs when
//     that is longer (at most kMaxGatherDelay): a gathering step costs about as much as such a
//     broadcast, so the steps never follow one another back to back and the workers keep time
//     for the viewers' own sends.
//   - The time between lines is the longer of the last two gaps, the cost the lower of the last
//     two measurements: a line that comes soon after a late one, or one slow send, does not start
//     gathering.
//   - Two thirds, not the whole gap: a gap is measured from one publication's start to the next,
//     so it includes the publication itself, and a publisher that is behind would never look
//     behind against the whole gap.
//   - Nothing is measured while lines are held, so the cost fades with the time they are held,
//     and a load that eases is noticed and lines are written at once again. A try costs a whole
//     broadcast, so the fade is paced by what a broadcast was measured to cost: with each held
//     line the cost loses the share of kBroadcastsPerTry such broadcasts' time that has passed
//     since the line before (at most half). A publisher just behind tries again within a few
//     lines; one far behind, with many viewers, seldom.
//
// Threads: none of its own and no lock; one caller at a time (the pool's lock).

#include <chrono>
#include <cstddef>

namespace tessamer {

// How long held lines wait for their gathering step, at least.
inline constexpr std::chrono::milliseconds kGatherDelay{2};
// and at most, however many viewers there are and whatever a send costs. With a thousand viewers
// a longer hold makes each gathering step's sends long enough that the next step waits behind
// them, and the held lines pile up: 10 ms gave a p99 of 50-150 ms there, 5 ms about 40 ms, for
// a quarter more CPU per line. A step that waits behind the workers' sends is left to wait: with
// a thousand viewers the two cores are the limit, and a step on time (the publisher handing the
// lines over when the delay is up, or a timer that does not wait for a worker) makes more and
// smaller sends, which cost more CPU and gave a longer tail (p99 43-60 ms, against 38-43).
inline constexpr std::chrono::milliseconds kMaxGatherDelay{5};
// While lines are held, a try at writing at once comes after about this many broadcasts' time.
inline constexpr int kBroadcastsPerTry = 16;

enum class Pace {
  WriteNow,  // the publisher writes the line to every idle viewer itself
  Hold,      // the line waits for the gathering step, with the lines that follow it
};

class CPublisherPace {
 public:
  using Duration = std::chrono::steady_clock::duration;

  // The next publication, `gap` after the previous one started, to `viewers` viewers.
  Pace Next(Duration gap, size_t viewers);
  // The publication just decided wrote `written` viewers at once in `spent`.
  void Written(Duration spent, size_t written);
  // How long lines held now wait for their gathering step, with `viewers` viewers.
  Duration GatherDelay(size_t viewers) const;

 private:
  Duration previousGap{};               // the gap before the last publication
  Duration cost{};                      // per viewer: the lower of the last two measurements,
                                        // fading while lines are held
  Duration measured{};                  // per viewer: the same, not fading
  Duration lastCost = Duration::max();  // per viewer, the last measurement
};

}  // namespace tessamer
