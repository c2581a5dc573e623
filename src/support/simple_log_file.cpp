#include "support/simple_log_file.h"

#include <cerrno>
#include <ctime>
#include <cwchar>
#include <vector>

#include "support/error_numbers.h"
#include "support/platform.h"
#include "support/text.h"
#include "version.h"

namespace tessamer {
namespace {

constexpr size_t kPrintfBufferChars = 16384;  // a longer Printf result is cut
constexpr size_t kMaxHexBytes = 170;
constexpr size_t kPrintfLimitChars = 1 << 20;  // formatting gives up beyond this

// The C library's ctime form of a local time without its line end ("Wed Dec  9 18:06:13 2026"):
// English names whatever the process locale.
std::wstring DateText(const std::tm& t) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[t.tm_wday % 7],
                kMonths[t.tm_mon % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 1900 + t.tm_year);
  return Widen(text);
}

}  // namespace

std::wstring TimeOfDayText() {
  const std::tm local = LocalTime(std::time(nullptr));
  wchar_t buffer[16];
  std::swprintf(buffer, 16, L"%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return buffer;
}

CSimpleLogFile::CSimpleLogFile(bool stampTime) : stampTime(stampTime) {}

CSimpleLogFile::~CSimpleLogFile() { Close(); }

bool CSimpleLogFile::Open(const std::string& path) {
  std::lock_guard guard(lock);
  if (file != nullptr) std::fclose(file);
  file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    fileName.clear();
    error.SetSystemError(static_cast<uint32_t>(ErrorNumberFromErrno(errno)));
    return false;
  }
  fileName = Widen(path);
  return true;
}

void CSimpleLogFile::Close() {
  std::lock_guard guard(lock);
  if (file != nullptr) std::fclose(file);
  file = nullptr;
  fileName.clear();
}

bool CSimpleLogFile::IsOpen() const {
  std::lock_guard guard(lock);
  return file != nullptr;
}

std::wstring CSimpleLogFile::FileName() const {
  std::lock_guard guard(lock);
  return fileName;
}

void CSimpleLogFile::PutLocked(std::wstring_view text) {
  const std::string bytes = Narrow(text);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
}

void CSimpleLogFile::FlushLocked() { std::fflush(file); }

void CSimpleLogFile::WriteBanner(const wchar_t* text) {
  std::lock_guard guard(lock);
  if (file == nullptr) return;
  std::wstring banner = L"******************************************************\r\nOpened At: ";
  banner += DateText(LocalTime(std::time(nullptr)));
  banner += L"\r\n\r\nVersion: ";
  banner += Widen(kVersionText);
  banner += L"\r\n******************************************************\r\n";
  PutLocked(banner);
  if (text != nullptr) PutLocked(text);
  FlushLocked();
}

void CSimpleLogFile::WriteRecord(std::wstring_view text) { PutLine(L',', {}, text); }

void CSimpleLogFile::WriteRecordA(std::string_view text) { WriteRecord(Widen(text)); }

void CSimpleLogFile::WriteHex(const unsigned char* bytes, size_t count) {
  if (file == nullptr) return;
  if (count > kMaxHexBytes) count = kMaxHexBytes;
  std::wstring hex;
  hex.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    wchar_t pair[4];
    std::swprintf(pair, 4, L"%02X ", bytes[i]);
    hex += pair;
  }
  WriteRecord(hex);
}

void CSimpleLogFile::WriteRaw(std::wstring_view text) {
  if (file == nullptr) return;
  PutLocked(text);
  FlushLocked();
}

void CSimpleLogFile::WriteLine(std::wstring_view text) {
  PutLine(stampTime ? L'|' : L'\0', prefix, text);
}

void CSimpleLogFile::PutLine(wchar_t stampSeparator, std::wstring_view linePrefix,
                             std::wstring_view text) {
  if (file == nullptr) return;  // no lock while closed
  std::lock_guard guard(lock);
  if (file == nullptr) return;
  std::wstring line;
  if (stampSeparator != L'\0') {
    line = TimeOfDayText();
    line += stampSeparator;
  }
  line += linePrefix;
  line += text;
  line += L"\r\n";
  PutLocked(line);
  FlushLocked();
}

void CSimpleLogFile::Printf(const wchar_t* format, ...) {
  if (file == nullptr) return;
  va_list args;
  va_start(args, format);
  VPrintf(format, args);
  va_end(args);
}

void CSimpleLogFile::VPrintf(const wchar_t* format, va_list args) {
  // vswprintf gives no length when the buffer is too small: grow until it fits, then cut.
  std::vector<wchar_t> buffer(kPrintfBufferChars);
  int written = -1;
  while (true) {
    va_list copy;
    va_copy(copy, args);
    written = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (written >= 0 || buffer.size() >= kPrintfLimitChars) break;
    buffer.resize(buffer.size() * 4);
  }
  if (written <= 0) {  // not even the longest buffer held it: the format alone, unstamped
    PutLine(L'\0', {}, format);
    return;
  }
  std::wstring_view text(buffer.data(), static_cast<size_t>(written));
  if (text.size() > kPrintfBufferChars - 1) text = text.substr(0, kPrintfBufferChars - 1);
  PutLine(stampTime ? L'|' : L'\0', prefix, text);
}

CSimpleLogFile& DiagnosticLog() {
  static CSimpleLogFile log(true);
  return log;
}

}  // namespace tessamer
