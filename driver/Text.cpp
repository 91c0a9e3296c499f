#include "Text.h"

#include <cstdarg>
#include <cstdio>

namespace driversim {

std::string Utf8(const std::wstring& w)
{
    int cb = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), NULL, 0, NULL, NULL);
    std::string s(cb, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), s.data(), cb, NULL, NULL);
    return s;
}

bool Wide(const std::string& s, std::wstring* pOut)
{
    if (s.empty()) {
        pOut->clear();
        return true;
    }
    int cch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), NULL, 0);
    if (cch <= 0)
        return false;
    pOut->assign(cch, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), (int)s.size(), pOut->data(), cch);
    return true;
}

std::string Format(const char* pszFormat, ...)
{
    char sz[1024];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    va_end(args);
    return sz;
}

std::string Quoted(const std::wstring& path) { return "\"" + Utf8(path) + "\""; }

std::string ErrorText(DWORD dwError)
{
    char sz[256] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError, 0, sz,
                        sizeof(sz), NULL))
        return Format("error %lu", dwError);
    std::string s = sz;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s + Format(" (error %lu)", dwError);
}

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) == CSTR_EQUAL;
}

bool Within(const std::wstring& path, const std::wstring& base)
{
    return path.size() >= base.size() && SameText(path.substr(0, base.size()), base) &&
           (path.size() == base.size() || path[base.size()] == L'\\');
}

std::wstring FoldKey(const std::wstring& s)
{
    std::wstring key = s;
    for (wchar_t& c : key)
        if (c >= L'a' && c <= L'z')
            c = (wchar_t)(c - L'a' + L'A');
    return key;
}

}  // namespace driversim
