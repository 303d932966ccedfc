#include "platform/utf16_win32.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>

namespace platform {
namespace {

// The system's conversions count in int. Everything converted here is far shorter (a command-line
// argument, an environment value, a path, a message, a piece of console output), and a longer
// text would not be cut silently: it converts to nothing.
int length_of(std::size_t size) { return size > INT_MAX ? 0 : static_cast<int>(size); }

std::optional<std::string> to_utf8(std::wstring_view text, DWORD flags) {
  if (text.empty()) return std::string();
  const int length = length_of(text.size());
  if (length == 0) return std::nullopt;
  const int size =
      ::WideCharToMultiByte(CP_UTF8, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, flags, text.data(), length, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

std::string utf8_from_utf16(std::wstring_view text) { return to_utf8(text, 0).value_or(""); }

std::optional<std::string> strict_utf8_from_utf16(std::wstring_view text) {
  return to_utf8(text, WC_ERR_INVALID_CHARS);
}

std::wstring utf16_from_utf8(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int length = length_of(text.size());
  if (length == 0) return std::wstring();
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
  return out;
}

}  // namespace platform
