#include "support/error_info.h"

#include <cwctype>

#include "support/error_numbers.h"
#include "support/text.h"

namespace tessamer {

void ErrorInfo::SetSystemError(uint32_t number, const wchar_t* operation) {
  failed = true;
  code = static_cast<int32_t>(number);
  const std::wstring systemText = Widen(SystemMessageText(static_cast<int>(number)));
  if (operation != nullptr) {
    text = L"Error occurred while ";
    text += operation;
    text += L".\r\n\r\nError details: ";
    text += systemText;
  } else {
    text = systemText;
  }
  while (!text.empty() && std::iswspace(static_cast<wint_t>(text.back()))) text.pop_back();
}

void ErrorInfo::Set(int32_t newCode, std::wstring newText) {
  failed = true;
  code = newCode;
  text = std::move(newText);
}

void ErrorInfo::Clear() {
  failed = false;
  code = 0;
  text.clear();
}

}  // namespace tessamer
