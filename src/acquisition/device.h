#pragma once
// The byte pipe between one logger box and the acquisition code. CDevice is the abstract link the
// connection driver reads from and writes to; CTcpDevice (tcp_device.h) is the only kind of link
// the hub makes.
//
// Failure convention: a link never throws for a failed system call. It records the failure in its
// ErrorInfo and reports it through the return value; the owner decides what to show.

#include <atomic>
#include <cstdint>
#include <string>

#include "support/error_info.h"

namespace tessamer {

inline constexpr int32_t kMaxRecordsPerMinute = 60000;  // the hub takes records at this rate

// Base of the option records; copied by value.
struct DeviceOptions {
  virtual ~DeviceOptions() = default;

  int32_t MaxRecordsPerMinute = kMaxRecordsPerMinute;  // > 0; the driver spaces records by
                                                       // 60000 / MaxRecordsPerMinute ms
};

// The options of one box link.
struct TcpOptions : DeviceOptions {
  std::wstring host;       // dotted IPv4 text, or any name the resolver accepts
  int32_t port = 0;        // the box's TCP data port
};

// The abstract link. Calling order: construct -> Open (repeatable after a failure) -> Read/Write
// ... -> Close -> Open again to reconnect -> ... -> destruction. Abort may come at any time from
// any thread.
//
// Threads: Open, Read, Write and Close run on one thread at a time (the owner's, then the
// driver's reader thread); Close may also come from the thread that stops the driver; Abort
// from any thread. GetErrorInfo's record is written by the thread whose operation failed and is
// read by that thread after the failure.
class CDevice {
 public:
  explicit CDevice(const TcpOptions& options) : options(options) {}
  virtual ~CDevice() = default;
  CDevice(const CDevice&) = delete;
  CDevice& operator=(const CDevice&) = delete;

  // Connects. True when connected; on false the reason is in GetErrorInfo() (a derived link may
  // also copy it into `failure`).
  virtual bool Open(ErrorInfo& failure) = 0;
  // Idempotent.
  virtual void Close() = 0;
  // Bytes received (> 0); 0 when the peer closed the connection; -1 on an error or time-out;
  // -2 when the link was aborted before the call; -3 when it was aborted while waiting.
  virtual int Read(char* buffer, int size) = 0;
  // Bytes sent (size on success, 0 for size <= 0); -1 on an error.
  virtual int Write(const char* data, int size) = 0;
  // True while a connection made by Open is up: a reconnection closes it before it opens anew.
  virtual bool IsConnected() const { return false; }
  // Makes every later Read return -2 at once and wakes a wait in progress. Safe from any thread.
  virtual void Abort(int32_t reason) { abortReason = reason; }

  virtual const TcpOptions* GetOptions() const { return &options; }
  virtual ErrorInfo* GetErrorInfo() { return &error; }

  // The driver reconnects after a failed read only when this is set (the agent sets it).
  bool IsReconnectAllowed() const { return reconnectAllowed.load(); }
  void SetReconnectAllowed(bool allowed) { reconnectAllowed = allowed; }
  int32_t AbortReason() const { return abortReason.load(); }

 protected:
  TcpOptions options;                        // copy of the options given at construction
  std::atomic<bool> reconnectAllowed{false};
  ErrorInfo error;                           // the last failure
  std::atomic<int32_t> abortReason{0};       // written by Abort
};

}  // namespace tessamer
