// UTF-16 from the system turned into UTF-8, the bytes verifiers are made of.
#pragma once

#include <windows.h>

#include <string>

namespace ventrix {

// False when the text holds an unpaired surrogate (no UTF-8 exists for it).
inline bool utf8FromWide(const std::wstring& wide, std::string& out) {
    out.clear();
    if (wide.empty()) return true;
    const int length = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return false;
    out.resize(static_cast<std::size_t>(size));
    if (WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, out.data(), size, nullptr, nullptr) != size) return false;
    // WideCharToMultiByte puts U+FFFD for an unpaired surrogate before Vista's flag existed.
    return out.find("\xEF\xBF\xBD") == std::string::npos || wide.find(L'\xFFFD') != std::wstring::npos;
}

}  // namespace ventrix
