#pragma once
// The status endpoint's bounds and deadlines, and the figures its server counts. Defaults are
// the named constants; tests scale the deadlines down through the settings, never by changing
// the constants.
//
// Threads: HttpServerSettings is a plain record; HttpServerCounters' atomics are written on the
// server thread and read from any thread.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "app/status/request_parser.h"
#include "support/accept_retry.h"

namespace tessamer {

inline constexpr size_t kMaxStatusConnections = 256;  // beyond: closed at once, never queued
inline constexpr size_t kMaxStatusStreams = 192;      // long-lived answers (event streams) among them
inline constexpr std::chrono::milliseconds kRequestHeadDeadline{2000};  // request line and fields
inline constexpr std::chrono::milliseconds kKeepAliveIdle{5000};  // for the next request's first byte
inline constexpr std::chrono::milliseconds kResponseWriteDeadline{10000};  // one write to be taken
inline constexpr std::chrono::milliseconds kCloseLinger{1000};  // reading the rest after our last byte
inline constexpr int kMaxRequestsPerConnection = 100;  // then the connection closes after its answer
inline constexpr size_t kStreamQueueBytes = 256 * 1024;  // a stream's unsent text; beyond: dropped
inline constexpr std::chrono::milliseconds kStreamKeepAlive{15000};  // a quiet stream says so

struct HttpServerSettings {
  size_t maxConnections = kMaxStatusConnections;
  size_t maxStreams = kMaxStatusStreams;
  size_t maxHeadBytes = kMaxRequestHeadBytes;
  std::chrono::milliseconds headDeadline = kRequestHeadDeadline;
  std::chrono::milliseconds idleDeadline = kKeepAliveIdle;
  std::chrono::milliseconds writeDeadline = kResponseWriteDeadline;
  std::chrono::milliseconds closeLinger = kCloseLinger;
  std::chrono::milliseconds acceptRetry = kAcceptRetryDelay;  // after an accept failed for want of
                                                              // resources (support/accept_retry.h)
  int maxRequestsPerConnection = kMaxRequestsPerConnection;
  size_t streamQueueBytes = kStreamQueueBytes;
  std::chrono::milliseconds streamKeepAlive = kStreamKeepAlive;
};

struct HttpServerCounters {
  std::atomic<uint64_t> connections{0};       // open now
  std::atomic<uint64_t> streams{0};           // long-lived answers open now
  std::atomic<uint64_t> accepted{0};          // connections taken since the start
  std::atomic<uint64_t> refused{0};           // closed at once: no room
  std::atomic<uint64_t> evicted{0};           // idle connections closed to make room
  std::atomic<uint64_t> timedOut{0};          // closed at a deadline (head, idle, write)
  std::atomic<uint64_t> streamsDropped{0};    // streams closed for falling behind
  std::atomic<uint64_t> acceptFailures{0};    // accepts that failed (then retried after a pause)
};

}  // namespace tessamer
