// Small text and path helpers shared by the driver's files and front-ends.
#pragma once

#include <windows.h>

#include <string>

namespace driversim {

std::string Utf8(const std::wstring& w);
// False when s is not valid UTF-8.
bool Wide(const std::string& s, std::wstring* pOut);
std::string Format(const char* pszFormat, ...);
// A path or name in double quotes, for messages.
std::string Quoted(const std::wstring& path);
// The system's sentence for an error code, with the code.
std::string ErrorText(DWORD dwError);

// Names compared as the file system compares them (case folded).
bool SameText(const std::wstring& a, const std::wstring& b);
// Whether path is base itself or lies below it.
bool Within(const std::wstring& path, const std::wstring& base);
// A name or path with ASCII letters folded, as the agent compares logical
// names: the key of maps by name.
std::wstring FoldKey(const std::wstring& s);

}  // namespace driversim
