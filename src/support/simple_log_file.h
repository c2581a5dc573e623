#pragma once
// A small thread-safe text log: whole lines appended and flushed at once, so the log survives a
// crash. While no file is open every write does nothing. Lines end in "\r\n" on every platform.
//
// Threads: any. WriteBanner, WriteLine, WriteRecord and Printf hold `lock` from the first
// character of a line to the flush, so lines of different threads never interleave; WriteRaw does
// not lock and is meant for one writer.

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "support/error_info.h"

namespace tessamer {

class CSimpleLogFile {
 public:
  explicit CSimpleLogFile(bool stampTime = true);
  virtual ~CSimpleLogFile();
  CSimpleLogFile(const CSimpleLogFile&) = delete;
  CSimpleLogFile& operator=(const CSimpleLogFile&) = delete;

  // Opens (appending) or creates the file. False with `error` set when it cannot be opened.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const;

  virtual void WriteBanner(const wchar_t* text = nullptr);
  virtual void WriteRecord(std::wstring_view text);
  virtual void WriteRecordA(std::string_view text);
  virtual void WriteHex(const unsigned char* bytes, size_t count);
  virtual void WriteRaw(std::wstring_view text);
  virtual void WriteLine(std::wstring_view text);
  virtual void Printf(const wchar_t* format, ...);
  virtual std::wstring DefaultExtension() const { return L"txt"; }

  void SetPrefix(std::wstring prefix) { this->prefix = std::move(prefix); }
  const ErrorInfo& LastError() const { return error; }
  std::wstring FileName() const;

 private:
  void PutLocked(std::wstring_view text);  // writes without flushing; caller holds `lock`
  void FlushLocked();
  void VPrintf(const wchar_t* format, va_list args);
  // The one place a line is put together: a time stamp and `stampSeparator` (none for '\0'),
  // `linePrefix`, `text` and the line end; written and flushed under `lock`.
  void PutLine(wchar_t stampSeparator, std::wstring_view linePrefix, std::wstring_view text);

  ErrorInfo error;
  std::atomic<std::FILE*> file{nullptr};  // changed under lock; read without it for the
                                          // closed-log fast path
  std::wstring fileName;           // empty while no file is open
  std::wstring prefix;             // written in front of every line
  mutable std::mutex lock;
  bool stampTime;                  // every line begins with the local time of day
};

// The process's diagnostic log: stamped lines, no prefix, open only when the application opens it.
CSimpleLogFile& DiagnosticLog();

// "hh:mm:ss" of the local clock.
std::wstring TimeOfDayText();

}  // namespace tessamer
