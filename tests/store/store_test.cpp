// The store's pure logic in process: base64 texts, meta texts built and
// parsed with their diagnostics, and texts of any content thrown at both.
#include <windows.h>
#include <string.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "diag/Diag.h"
#include "store/Base64.h"
#include "store/MetaText.h"
#include "support/AgentHarness.h"
#include "support/DebugMonitor.h"

namespace {

using Lines = std::vector<std::string>;

// Both coders write into a buffer one byte larger than the size they state.
std::string Encode(const std::string& bytes)
{
    std::string out(BASE64_ENCODED_CB(bytes.size()) + 1, '\x7f');
    Base64Encode(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), out.data());
    EXPECT_EQ(out.size() - 2, strlen(out.c_str())) << "the stated size is exact";
    EXPECT_EQ('\x7f', out.back());
    return out.c_str();
}

std::string Decode(const std::string& text)
{
    std::string out(BASE64_DECODED_MAX_CB(strlen(text.c_str())) + 1, '\x7f');
    DWORD cb = Base64Decode(text.c_str(), reinterpret_cast<BYTE*>(out.data()));
    EXPECT_EQ('\x7f', out.back());
    return out.substr(0, cb);
}

TEST(Base64, EncodesGroupsPaddingAndALineBreakAfterEvery19thWholeGroupAndDecodesItBack)
{
    std::string line;
    for (int i = 0; i < 19; i++) line += "YWFh";  // "aaa"
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}, {std::string("\xfb\xff\x00", 3), "+/8A"},
        {std::string(56, 'a'), line.substr(0, 72) + "YWE="},  // a short group is not the 19th
        {std::string(57, 'a'), line + "\r\n"}, {std::string(58, 'a'), line + "\r\nYQ=="},
        {std::string(114, 'a'), line + "\r\n" + line + "\r\n"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(text, Encode(bytes)) << bytes.size() << " bytes";

    std::mt19937 random(7);
    for (size_t cb = 0; cb <= 200; cb++) {
        std::string bytes(cb, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        EXPECT_EQ(bytes, Decode(Encode(bytes))) << cb;
    }
}

TEST(Base64, DecodingSkipsStrayCharactersAndKeepsTheTablesQuirks)
{
    const std::pair<std::string, std::string> cases[] = {
        {" Zm9v\r\nYm!Fy\t", "foobar"},
        {"Zm\xc3\xa9" "9v\x80\xff", "foo"},        // bytes above 0x7f are stray too
        {"Zm9vYg", "foo"},                         // a final short group is dropped
        {"Zg==Zm8=", "ffo"},                       // padding ends a group, not the text
        {"A=AA", std::string("\x03\xd0\x00", 3)},  // "=" counts 61 wherever it stands
        {"AA=A", std::string("\x00\x0f\x40", 3)}, {"====", "\xf7"}, {"", ""},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(bytes, Decode(text)) << text;
}

TEST(BuildMetaXml, FormatsTheFixedTextAroundNameKeyTextAndSignedSizeHalves)
{
    const struct { std::string name, key; LONGLONG llSize; std::string size; } cases[] = {
        {"", "", 0, "0,0"}, {"cmVwb3J0LnR4dA==", "S2V5+/=", 4096, "0,4096"},
        {"n", "k", 3000000000, "0,-1294967296"}, {"n", "k", 0x100000001, "1,1"}, {"n", "k", -1, "-1,-1"},
        {std::string(259, 'N'), std::string(255, 'K'), LLONG_MAX, "2147483647,-1"},
    };
    META_TEXT meta;
    for (const auto& c : cases) {
        ASSERT_TRUE(BuildMetaXml(std::wstring(c.name.begin(), c.name.end()).c_str(),
                                 std::wstring(c.key.begin(), c.key.end()).c_str(), {.QuadPart = c.llSize}, &meta));
        EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<File>\n<Version>4.0</Version>\n<Type/>\n<FILENAME>" +
                      c.name + "</FILENAME>\n<Filekey>" + c.key + "</Filekey>\n<size>" + c.size +
                      "</size>\n<Checksum/>\n</File>",
                  std::string(meta.szText, meta.cbText + 1).c_str());
        EXPECT_EQ(153 + c.name.size() + c.key.size() + c.size.size() - 1, meta.cbText) << "153 fixed bytes";
    }
    // The UTF-8 forms must fit 260 and 256 bytes with their terminators.
    for (auto [name, key, bFits] : {std::tuple{std::wstring(260, L'N'), std::wstring(L"k"), false},
                                    {L"n", std::wstring(256, L'K'), false},
                                    {std::wstring(130, L'\u00e9'), L"k", false},
                                    {std::wstring(129, L'\u00e9'), L"k", true}})
        EXPECT_EQ(bFits, BuildMetaXml(name.c_str(), key.c_str(), {}, &meta)) << name.size();
}

const HCRYPTKEY kVaultKey = 0x5a17;

// The file keys' name decoding without the cipher: base64 only. Like the
// real one it refuses a text that decodes to nothing; it also refuses any
// key but the vault's and a length other than the text's plus one.
DWORD FakeDecodeFileName(HCRYPTKEY hVaultKey, WCHAR* pwszText, DWORD* pdwTextLength)
{
    char szText[4096];
    BYTE abName[4096];
    if (hVaultKey != kVaultKey || *pdwTextLength != wcslen(pwszText) + 1 ||
        !WideCharToMultiByte(CP_UTF8, 0, pwszText, -1, szText, sizeof szText, nullptr, nullptr))
        return ERROR_INVALID_PARAMETER;
    DWORD cb = Base64Decode(szText, abName);
    if (cb == 0) return ERROR_INVALID_DATA;
    pwszText[MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<char*>(abName), cb, pwszText, 259)] = L'\0';
    *pdwTextLength = cb;
    return 0;
}

// MAX_DATA_LENGTH bytes between no-access pages: a byte touched outside faults.
struct GuardedPages {
    char* pBase = static_cast<char*>(VirtualAlloc(nullptr, MAX_DATA_LENGTH + 8192, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
    GuardedPages() { DWORD dwOld; VirtualProtect(data(), MAX_DATA_LENGTH, PAGE_READWRITE, &dwOld); }
    ~GuardedPages() { VirtualFree(pBase, 0, MEM_RELEASE); }
    char* data() { return pBase + 4096; }
    char* end() { return data() + MAX_DATA_LENGTH; }
};

// Result, name, key text, size and lines ("T " traced, "L " logged).
using Parsed = std::tuple<bool, std::wstring, std::wstring, LONGLONG, Lines>;

// Both channels go to debugger output, read back by acting as the session's
// debug monitor; the levels go again once read, as in a new prefix.
class MetaTextTest : public testing::Test {
protected:
    static inline DebugMonitor monitor;

    static void SetUpTestSuite()
    {
        ASSERT_TRUE(monitor.Start()) << "another debug monitor owns this session's output";
        harness::SetLevels(1, 1);
        OpenLogFile();
        OpenTraceFile();
        harness::SetLevels(-1, -1);
        SetFileNameDecoder(FakeDecodeFileName);
    }
    static void TearDownTestSuite()
    {
        ResetDiagnostics();
        monitor.Stop();
    }

    // The agent's lines since the last call; the test framework's are left out.
    static Lines Taken()
    {
        Lines lines;
        for (const std::string& text : monitor.TakeOwn())
            if (text.starts_with("REVUZEZ") && text.find("): ") != std::string::npos)
                lines.push_back((text.starts_with("REVUZEZ-TRC(") ? "T " : "L ") + text.substr(text.find("): ") + 3));
        return lines;
    }
    static Parsed ParseIn(char* pszText, DWORD cchKey = 256)
    {
        WCHAR wszName[260] = L"-", wszKey[256] = L"-";
        LARGE_INTEGER liSize{.QuadPart = -1};
        Taken();
        bool bOk = GetFileDetailsFromXML(kVaultKey, pszText, wszName, &liSize, wszKey, cchKey);
        return {bOk, wszName, wszKey, liSize.QuadPart, Taken()};
    }
};

// Expected lines: the operation's Start and End around the parts.
Lines Around(const std::vector<Lines>& parts)
{
    Lines all = {"T GetFileDetailsFromXML() - Start"};
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    all.push_back("T GetFileDetailsFromXML() - End");
    return all;
}
Lines KeyLogged(const std::string& key) { return {"L Start of FSK Blob \n", "L " + key, "L End of FSK Blob\n"}; }
Lines SizeRead(int nHigh, int nLow)
{
    return {"L GetFileDetailsFromXML FileSize->HighPart = atol(res) " + std::to_string(nHigh) + "\n",
            "L GetFileDetailsFromXML FileSize->LowPart = atol(res) " + std::to_string(nLow) + "\n",
            "L File size retrieved successfully\n"};
}
const Lines kDecoded = {"L File Name successfully decoded report.txt\n"}, kKeyRead = {"L FSK Blob successfully retrieved\n"},
            kUndecodable = {"T GetFileDetailsFromXML() - File Name could not be decoded", "L File Name could not be decoded\n"},
            kNoKey = {"T GetFileDetailsFromXML() - FSK Blob could not be retrieved", "L FSK Blob could not be retrieved\n"},
            kException = {"T GetFileDetailsFromXML() - Exception occurred", "L Exception occurred while parsing file\n"};

const std::string kName = Encode("report.txt"), kKey = "S2V5+/=";
std::string Elements(const std::string& name, const std::string& size)
{
    return "<FILENAME>" + name + "</FILENAME>\n<Filekey>" + kKey + "</Filekey>\n<size>" + size + "</size>\n";
}

TEST_F(MetaTextTest, ReadsTheThreeElementsInOrderAndReportsEachFailure)
{
    META_TEXT built;
    ASSERT_TRUE(BuildMetaXml(L"cmVwb3J0LnR4dA==", L"S2V5+/=", {.QuadPart = 4096}, &built));
    const std::wstring name = L"report.txt", key = L"S2V5+/=";
    const Lines nameAndKey = Around({kDecoded, KeyLogged(kKey), kKeyRead});
    const struct { const char* what; std::string text; Parsed expected; DWORD cchKey = 256; } cases[] = {
        {"built", built.szText, {true, name, key, 4096, Around({kDecoded, KeyLogged(kKey), kKeyRead, SizeRead(0, 4096)})}},
        {"size first", "<size>1,2</size><FILENAME>" + kName + "</FILENAME><Filekey>" + kKey + "</Filekey>",
         {false, name, key, -1, nameAndKey}},
        {"lower case", "<filename>" + kName + "</filename><Filekey>" + kKey + "</Filekey><size>1,2</size>",
         {false, L"-", L"-", -1, Around({})}},
        {"no size", "<FILENAME>" + kName + "</FILENAME><Filekey>" + kKey + "</Filekey>", {false, name, key, -1, nameAndKey}},
        {"no comma", Elements(kName, "1234"), {false, name, key, -1, Around({kDecoded, KeyLogged(kKey), kKeyRead, kException})}},
        {"empty name", Elements("", "0,0"), {false, L"", L"-", -1, Around({kUndecodable})}},
        {"name too long", Elements(std::string(260, 'A'), "0,0"), {false, L"", L"-", -1, Around({kUndecodable})}},
        {"name in lines", Elements(kName.substr(0, 8) + "\r\n" + kName.substr(8), "0,0"),
         {true, name, key, 0, Around({kDecoded, KeyLogged(kKey), kKeyRead, SizeRead(0, 0)})}},
        {"no Filekey", "<FILENAME>" + kName + "</FILENAME><size>1,2</size>", {false, name, L"-", -1, Around({kDecoded, kNoKey})}},
        {"name to the end", "<FILENAME>" + kName, {false, name, L"-", -1, Around({kDecoded, kNoKey})}},
        {"cut in a tag", "<FILENAME>" + kName + "<Filekey>" + kKey + "</Filekey><size>1,2</size>",
         {false, name, L"-", -1, Around({kDecoded, kNoKey})}},
        {"key too long", Elements(kName, "1,2"), {false, name, L"", -1, Around({kDecoded, KeyLogged(kKey), kNoKey})}, 7},
        {"key room 1", Elements(kName, "1,2"), {false, name, L"", -1, Around({kDecoded, KeyLogged(kKey), kNoKey})}, 1},
        {"only elements read", "junk<FILENAME>" + kName + "<>\n<Filekey><><size> -7,\t+8x",
         {true, name, L"", -(7LL << 32) + 8, Around({kDecoded, KeyLogged(""), kKeyRead, SizeRead(-7, 8)})}},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(c.expected, ParseIn(text.data(), c.cchKey)) << c.what;
    }
    // Split at the first comma, each half read like atol; the low half wraps.
    for (auto [size, llSize, nLow] : {std::tuple{"12,34", (12LL << 32) + 34, 34}, {",5", 5LL, 5}, {"12,", 12LL << 32, 0},
                                      {"0,-1294967296", 3000000000LL, -1294967296}, {"0,3000000000", 3000000000LL, -1294967296},
                                      {"1,1", 0x100000001LL, 1}, {"-1,-1", -1LL, -1}, {"1,2,3", (1LL << 32) + 2, 2}}) {
        std::string text = Elements(kName, size);
        const Lines lines = Around({kDecoded, KeyLogged(kKey), kKeyRead, SizeRead(static_cast<int>(llSize >> 32), nLow)});
        EXPECT_EQ(Parsed(true, name, key, llSize, lines), ParseIn(text.data())) << size;
    }
}

// A fault that the guard caught would show as the exception lines.
TEST_F(MetaTextTest, CutsTheTextInPlaceAndNeverTouchesBytesPastTheDataLimit)
{
    std::string text = Elements(kName, "0,9"), expected = text;
    for (std::string tag : {"<FILENAME>", "<Filekey>", "<size>"}) {
        size_t iTag = expected.find(tag);
        expected[expected.find('<', iTag + tag.size())] = '\0';
        expected[iTag + 1] = '\0';
    }
    EXPECT_TRUE(std::get<0>(ParseIn(text.data())));
    EXPECT_EQ(expected, text);

    GuardedPages pages;
    for (auto [tail, expected] : {std::pair{"<FILENAME>" + kName + "</FILENAME><Filek",
                                            Parsed(false, L"report.txt", L"-", -1, Around({kDecoded, kNoKey}))},
                                  {"<FILENAME>" + kName + "</FILENAME><Filekey>k</Filekey><size>1,2",
                                   Parsed(true, L"report.txt", L"k", 0x100000002, Around({kDecoded, KeyLogged("k"), kKeyRead, SizeRead(1, 2)}))}}) {
        memset(pages.data(), ' ', MAX_DATA_LENGTH);
        memcpy(pages.end() - tail.size(), tail.data(), tail.size());
        EXPECT_EQ(expected, ParseIn(pages.data())) << tail;
    }
}

LONG nAccessViolations;
LONG WINAPI CountAccessViolations(EXCEPTION_POINTERS* pPointers)
{
    if (pPointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) InterlockedIncrement(&nAccessViolations);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Faults are counted before the meta parser's guard could hide them.
TEST(StoreFuzz, TextsOfAnyContentNeverFaultEitherParser)
{
    ResetDiagnostics();  // silent, and fast
    SetFileNameDecoder(FakeDecodeFileName);
    GuardedPages text, out;
    const std::string pieces[] = {"<FILENAME>", "<Filekey>", "<size>", "<", ",", "-", "\r\n", "==", "Zm9v", "\x80\xff"};
    std::mt19937 random(20261206);
    PVOID pHandler = AddVectoredExceptionHandler(1, CountAccessViolations);
    for (int i = 0; i < 3000; i++) {
        const size_t cb = random() % 4 == 0 ? MAX_DATA_LENGTH : random() % 2048;  // a quarter unterminated
        for (size_t at = 0; at < cb;) {
            const std::string piece = random() % 3 ? std::string(1, static_cast<char>(1 + random() % 255))
                                                   : pieces[random() % std::size(pieces)];
            memcpy(text.data() + at, piece.data(), std::min(piece.size(), cb - at));
            at += std::min(piece.size(), cb - at);
        }
        if (cb < MAX_DATA_LENGTH) text.data()[cb] = '\0';
        WCHAR wszName[260], wszKey[256];
        LARGE_INTEGER liSize;
        GetFileDetailsFromXML(kVaultKey, text.data(), wszName, &liSize, wszKey, 1 + random() % 256);
        text.end()[-1] = '\0';
        Base64Decode(text.data(), reinterpret_cast<BYTE*>(out.end() - BASE64_DECODED_MAX_CB(strlen(text.data()))));
    }
    RemoveVectoredExceptionHandler(pHandler);
    EXPECT_EQ(0, nAccessViolations);
}

}  // namespace
