#include "acquisition/quintrel_driver.h"

#include "hub/core/records.h"
#include "support/text.h"

namespace tessamer {
namespace {

constexpr int32_t kFirmwareRefusedCode = 1;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Starts a header-block line: "#" but not "##".
bool IsHeaderLine(const char (&two)[2]) { return two[0] == '#' && two[1] != '#'; }

}  // namespace

CQuintrelDriver::CQuintrelDriver(IDataHandler* handler, std::unique_ptr<CDevice> device,
                                 const AcquisitionTimeouts& timeouts)
    : CQuintrelBaseDriver(handler, std::move(device), timeouts) {}

// The threads call into this object: they must be gone before its members are.
CQuintrelDriver::~CQuintrelDriver() { Shutdown(); }

int CQuintrelDriver::ReadItem() {
  char two[2];
  int result = Input().Peek(two, 1);
  if (result < 0) return result;
  if (two[0] == '#') {
    result = Input().Peek(two, 2);
    if (result < 0) return result;
    return two[1] == '#' ? ReadTextLine() : ReadHeaderBlock();
  }
  if (IsDigit(two[0])) return ReadDataRecord() ? 1 : 0;
  Input().ReadLine(nullptr, 0);
  return 0;
}

int CQuintrelDriver::ReadTextLine() {
  size_t length = Input().ReadLine(line, kTextLineBytes);
  if (length == 0) return 0;
  while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) --length;
  const size_t marks = length < 2 ? length : 2;
  QueueText(std::string(line + marks, length - marks));
  return 1;
}

int CQuintrelDriver::ReadHeaderBlock() {
  char two[2];
  if (Input().Peek(two, 2) < 0) return 0;
  auto work = std::make_unique<JobHeaderWork>();
  while (IsHeaderLine(two)) {
    const size_t length = Input().ReadLine(line, kHeaderLineBytes);
    if (length == 0) return 0;
    ParseHeaderLine(*work, line, length);
    if (Input().Peek(two, 2) < 0) return 0;
  }
  if (!work->isJobHeader) return 0;
  auto header = std::make_unique<Header>();
  BuildHeader(*work, *header);
  if (!TextOf(header->fpgaVersion).empty()) {
    const std::wstring firmware(TextOf(header->firmwareVersion));
    if (IsFirmwareTooOld(Narrow(firmware))) return RefuseFirmware(firmware);
  }
  QueueHeader(std::move(header));
  return 1;
}

bool CQuintrelDriver::ReadDataRecord() {
  const size_t length = Input().ReadLine(line, kDataLineBytes);
  if (length == 0) return false;
  return records.Read(std::string_view(line, length),
                      [this](std::unique_ptr<Data> record) { QueueData(std::move(record)); });
}

int CQuintrelDriver::RefuseFirmware(const std::wstring& firmware) {
  Device().Close();
  Input().Discard();  // nothing more of the refused connection is read
  const std::wstring text =
      L"Firmware version should be at least 8.6v, currently it is " + firmware;
  Device().GetErrorInfo()->Set(kFirmwareRefusedCode, text);
  NoteRefusal();
  ShowAlertAndWait(text);
  return 0;
}

void CQuintrelDriver::SendPending() {
  std::string text;
  {
    std::lock_guard<std::mutex> guard(pendingLock);
    if (pendingText.empty()) return;
    text.swap(pendingText);
  }
  size_t sent = 0;
  while (sent < text.size()) {
    const int n = Device().Write(text.data() + sent, static_cast<int>(text.size() - sent));
    if (n <= 0) return;  // the reason stays in the link's error
    sent += static_cast<size_t>(n);
  }
}

void CQuintrelDriver::QueueOutgoing(const std::string& text) {
  std::lock_guard<std::mutex> guard(pendingLock);
  pendingText += text;
}

}  // namespace tessamer
