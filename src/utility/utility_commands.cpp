// The "G" command set of the box utility connection and its acknowledgement checks.
//
// A box acknowledges each request with a line beginning "Extended Command done " and the number
// of bytes it received, followed by a line containing "Done"; lines beginning "#" are comments.

#include <cstring>
#include <string>

#include "support/exceptions.h"
#include "support/number_text.h"
#include "support/text.h"
#include "utility/vellumetric_utility.h"

namespace tessamer {

namespace {

constexpr size_t kCountIndex = kResponseMarker.size();  // first character after the marker

bool Contains(const char* line, std::string_view part) {
  return std::string_view(line).find(part) != std::string_view::npos;
}

std::string LetterRequest(char letter, int32_t variable) {
  std::string request{'G', letter, ' '};
  AppendInt(request, variable);
  request += "\r\n";
  return request;
}

std::wstring IncorrectResponseText(char letter) {
  std::wstring text = L"Incorrect response received for ";
  text += static_cast<wchar_t>(static_cast<unsigned char>(letter));
  text += L" request";
  return text;
}

}  // namespace

int CVellumetricUtility::WaitForResponse(char* buffer, size_t size, std::string_view marker) {
  if (size == 0) return 0;
  buffer[0] = 0;
  const std::string markerText(marker);
  size_t length = 0;
  for (;;) {
    length = link.ReadLine(buffer, size);
    if (length == 0) return 0;
    if (buffer[0] != '#' && Contains(buffer, markerText)) break;
  }
  // The following line goes just behind the acknowledgement's terminating zero.
  char* next = buffer + length + 1;
  const size_t nextSize = size - length - 1;
  for (;;) {
    if (link.ReadLine(next, nextSize) == 0) return 0;
    if (next[0] == '#') continue;
    return Contains(next, kCompletionWord) ? static_cast<int>(length) : -2;
  }
}

bool CVellumetricUtility::CheckCount(const char* acknowledgement, size_t requestLength) {
  if (acknowledgement[kCountIndex] == 0) {
    RecordFailure(L"Bytes written not sent back in response");
    return false;
  }
  int64_t count = 0;
  ParseInt(acknowledgement + kCountIndex, count);
  if (count == static_cast<int64_t>(requestLength)) return true;
  std::string text = "Variable #: ";
  AppendInt(text, static_cast<int64_t>(requestLength));
  text += " written does not match variable #: ";
  AppendInt(text, static_cast<int32_t>(count));
  text += " in response";
  RecordFailure(Widen(text));
  return false;
}

bool CVellumetricUtility::ExchangeRequest(std::string_view request, char letter) {
  const size_t sent = link.Send(request);
  char response[kLetterResponseSize];
  if (WaitForResponse(response, sizeof response, kResponseMarker) <= 0) {
    RecordFailure(IncorrectResponseText(letter));
    return false;
  }
  return CheckCount(response, sent);
}

template <typename Item, typename Format>
bool CVellumetricUtility::SendEach(std::span<const Item> items, char letter, Format format,
                                   size_t* interrupted) {
  bool result = true;
  size_t index = 0;
  try {
    if (connectPerCommand) OpenAndGreet();
    for (; index < items.size(); ++index) {
      const std::string request = format(items[index]);
      // A request that does not fit the request buffer is never sent, not even in part.
      if (request.size() >= kRequestBufferSize) continue;
      result = ExchangeRequest(request, letter);
    }
  } catch (const socket_exception& failure) {
    RecordException(failure, failure.error_code());
    if (interrupted != nullptr) *interrupted = index;
    return false;  // the connection stays as the failure left it
  }
  if (connectPerCommand) Disconnect();
  return result;
}

bool CVellumetricUtility::SendLetterCommand(std::span<const int32_t> variables, char letter) {
  return SendEach(variables, letter, [letter](int32_t v) { return LetterRequest(letter, v); },
                  nullptr);
}

bool CVellumetricUtility::SendZCommands(std::span<const int32_t> variables,
                                        std::vector<int32_t>& undone) {
  size_t interrupted = variables.size();
  const bool result =
      SendEach(variables, 'Z', [](int32_t v) { return LetterRequest('Z', v); }, &interrupted);
  undone.assign(variables.begin() + static_cast<std::ptrdiff_t>(interrupted), variables.end());
  return result;
}

bool CVellumetricUtility::SendSetValues(std::span<const SetValue> values) {
  return SendEach(values, 'S',
                  [](const SetValue& item) {
                    std::string request = "GS ";
                    AppendInt(request, item.second);
                    request += ' ';
                    AppendFixed(request, item.first, 4);
                    request += "\r\n";
                    return request;
                  },
                  nullptr);
}

bool CVellumetricUtility::SendTextCommands(std::span<const std::string> texts) {
  return SendEach(texts, 'C',
                  [](const std::string& text) {
                    std::string request = "GC ";
                    request += text.c_str();  // a zero-terminated text ends at its first zero
                    request += "\r\n";
                    return request;
                  },
                  nullptr);
}

bool CVellumetricUtility::SendYRequest(std::span<const int32_t> variables) {
  bool result = false;
  try {
    if (connectPerCommand) OpenAndGreet();
    std::string request = "GY ";
    for (const int32_t variable : variables) {
      AppendInt(request, variable);
      request += ' ';
    }
    request += "\r\n";
    const size_t sent = link.Send(request);
    if (WaitForResponse(responseBuffer.data(), responseBuffer.size(), kResponseMarker) <= 0) {
      RecordFailure(L"Incorrect response received for Y request");
    } else {
      result = CheckCount(responseBuffer.data(), sent);
    }
    link.DrainInput();
    if (connectPerCommand) Disconnect();
  } catch (const socket_exception& failure) {
    RecordException(failure, failure.error_code());
    result = false;
  }
  return result;
}

bool CVellumetricUtility::RunZCommand(std::span<const int32_t> variables,
                                      std::vector<int32_t>& undone) {
  try {
    if (connectPerCommand) OpenAndGreet();
  } catch (const socket_exception& failure) {
    RecordException(failure, 0);
    return false;
  }
  undone.clear();
  const bool perCommand = connectPerCommand;
  connectPerCommand = false;  // the inner operation neither opens nor closes
  bool result = false;
  if (missingBanner) {
    result = SendYRequest(variables);
  } else {
    std::vector<int32_t> left;
    result = SendZCommands(variables, left);
    undone.insert(undone.end(), left.begin(), left.end());
  }
  connectPerCommand = perCommand;
  if (connectPerCommand) Disconnect();
  return result;
}

bool CVellumetricUtility::CommandA(int32_t variable) {
  return SendLetterCommand(std::span<const int32_t>(&variable, 1), 'A');
}

bool CVellumetricUtility::CommandU(int32_t variable) {
  return SendLetterCommand(std::span<const int32_t>(&variable, 1), 'U');
}

bool CVellumetricUtility::CommandZ(int32_t variable) {
  std::vector<int32_t> undone;
  return RunZCommand(std::span<const int32_t>(&variable, 1), undone);
}

bool CVellumetricUtility::CommandS(int32_t variable, double value) {
  const SetValue item{value, variable};
  return SendSetValues(std::span<const SetValue>(&item, 1));
}

}  // namespace tessamer
