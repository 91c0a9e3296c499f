// The log and trace channels against the prefix's real registry, files and
// debugger output, and the SID text forms.
#include <windows.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/Diag.h"
#include "diag/UserSid.h"
#include "support/AgentHarness.h"
#include "support/DebugMonitor.h"

namespace {

const wchar_t kSettingsKey[] = L"Software\\Revedi Zadoder Avir.\\Vuzaziz";
const std::string kBanner = "\n\n\t\t=====================Service Started=====================\n\n\n";

void SetValue(const wchar_t* pwszName, DWORD dwType, const void* pData, DWORD cbData)
{
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, pwszName, dwType, pData, cbData));
}

std::filesystem::path DiagFolder() { return harness::LogFolder(); }

// A file's content, or nothing when there is no such file.
std::optional<std::string> ReadAll(const std::wstring& path)
{
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return std::nullopt;
    return harness::ReadFileText(path);
}

// Today's file of a channel, "\r\n" of its text-mode stream read back as "\n".
std::optional<std::string> DatedFile(const std::wstring& path)
{
    std::optional<std::string> content = ReadAll(path);
    if (content) std::erase(*content, '\r');
    return content;
}

using harness::Narrow;

// Channels start from nothing: no levels, no streams, no folder.
class ChannelTest : public ::testing::Test {
protected:
    static inline DebugMonitor monitor;
    static inline bool bMonitoring = false;
    std::string sid;

    static void SetUpTestSuite() { bMonitoring = monitor.Start(); }
    // The levels go at the end, as in a new prefix: every program that
    // needs them sets its own.
    static void TearDownTestSuite()
    {
        monitor.Stop();
        harness::SetLevels(-1, -1);
    }

    void SetUp() override
    {
        ASSERT_TRUE(bMonitoring) << "another DBWIN monitor owns this session's debugger output";
        ResetDiagnostics();
        _fcloseall();  // the channels' streams, replaced ones included
        std::error_code error;
        std::filesystem::remove_all(DiagFolder(), error);
        ASSERT_FALSE(std::filesystem::exists(DiagFolder())) << "cannot clear the diagnostics folder";
        sid = Narrow(GetUserSidString());
        DebuggerLines();
    }
    void TearDown() override
    {
        ResetDiagnostics();
        _fcloseall();
    }
    void Open(DWORD dwLog, DWORD dwTrace)
    {
        harness::SetLevels(dwLog, dwTrace);
        OpenLogFile();
        OpenTraceFile();
    }
    // This process's debugger output since the last call.
    static std::vector<std::string> DebuggerLines() { return monitor.TakeOwn(); }
    std::string Log(const std::string& message) { return "REVUZEZ(" + sid + "): " + message; }
    std::string Trace(const std::string& message) { return "REVUZEZ-TRC(" + sid + "): " + message; }
};

TEST_F(ChannelTest, EachLevelChoosesDebuggerOutputAndFileButErrorRecordsOnlyNeedTheFile)
{
    const std::string error = "Error: Mapping the drive occurred in file: ConnectVault, Line: 512\n";
    for (auto [dwLog, dwTrace] : {std::pair<DWORD, DWORD>{0, 0}, {1, 0}, {0, 1}, {2, 3}, {3, 2}, {4, 4}}) {
        SCOPED_TRACE("LogLevel " + std::to_string(dwLog) + ", TraceLevel " + std::to_string(dwTrace));
        ASSERT_NO_FATAL_FAILURE(SetUp());
        Open(dwLog, dwTrace);
        SetLastError(4321);  // callers trace a failure, then log GetLastError()
        WriteLog("log %d\n", 7);
        WriteTrace("trace %s", "t");
        LogError("Mapping the drive", "ConnectVault", 512);
        EXPECT_EQ(4321u, GetLastError());

        std::vector<std::string> expected;
        if (dwLog == 1 || dwLog == 3) expected.push_back(Log("log 7\n"));
        if (dwTrace == 1 || dwTrace == 3) expected.push_back(Trace("trace t"));
        EXPECT_EQ(expected, DebuggerLines());

        std::optional<std::string> logFile = DatedFile(harness::LogFilePath()), traceFile = DatedFile(harness::TraceFilePath());
        EXPECT_EQ(dwLog >= 2 || dwTrace >= 2, std::filesystem::exists(DiagFolder()));
        if (dwLog < 2) EXPECT_EQ(std::nullopt, logFile);
        if (dwLog == 2 || dwLog == 3) EXPECT_EQ(Log("log 7\n") + "\n" + error, logFile);
        if (dwLog == 4) EXPECT_EQ(error, logFile);
        if (dwTrace < 2) EXPECT_EQ(std::nullopt, traceFile);
        if (dwTrace == 2 || dwTrace == 3) EXPECT_EQ(kBanner + Trace("trace t") + "\n", traceFile);
        if (dwTrace == 4) EXPECT_EQ("", traceFile);
    }
}

TEST_F(ChannelTest, LevelsAreRawFourBytesAndAMissingKeyMeansNone)
{
    const BYTE binaryTwo[4] = {2, 0, 0, 0};
    SetValue(L"LogLevel", REG_BINARY, binaryTwo, sizeof binaryTwo);
    OpenLogFile();
    WriteLog("binary");
    EXPECT_EQ(Log("binary") + "\n", DatedFile(harness::LogFilePath()));

    ASSERT_NO_FATAL_FAILURE(SetUp());
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey));
    OpenLogFile();
    OpenTraceFile();
    WriteLog("unseen");
    WriteTrace("unseen");
    EXPECT_EQ(std::vector<std::string>{}, DebuggerLines());
    EXPECT_FALSE(std::filesystem::exists(DiagFolder()));
}

TEST_F(ChannelTest, ReopenReplacesTheLogAndAppendsToTheTrace)
{
    for (const char* pszRun : {"first", "second"}) {
        Open(2, 2);
        WriteLog(pszRun);
        WriteTrace(pszRun);
    }
    EXPECT_EQ(Log("second") + "\n", DatedFile(harness::LogFilePath()));
    EXPECT_EQ(kBanner + Trace("first") + "\n" + kBanner + Trace("second") + "\n", DatedFile(harness::TraceFilePath()));
}

TEST_F(ChannelTest, MessageThatDoesNotFitIsDroppedAndLongLineLosesItsPrefix)
{
    Open(3, 0);
    const size_t cchRoom = 1055 - Log("").size();  // message room beside the prefix
    auto message = [](size_t cch) { return std::string(cch, static_cast<char>('a' + cch % 26)); };
    for (size_t cch : {cchRoom, cchRoom + 1, size_t{1055}, size_t{1056}})
        WriteLog("%s", message(cch).c_str());
    std::vector<std::string> expected = {Log(message(cchRoom)), message(cchRoom + 1), message(1055)};
    EXPECT_EQ(expected, DebuggerLines());
    EXPECT_EQ(expected[0] + "\n" + expected[1] + "\n" + expected[2] + "\n", DatedFile(harness::LogFilePath()));
}

TEST_F(ChannelTest, WideMessagesKeepTheNarrowLimitAndFormatsFollowTheRuntime)
{
    Open(3, 0);
    const size_t cchRoom = 1055 - Log("").size();
    WriteLogW(L"%s", std::wstring(cchRoom, L'v').c_str());
    WriteLogW(L"%s", std::wstring(1055, L'w').c_str());
    WriteLogW(L"%s", std::wstring(1056, L'x').c_str());
    WriteLogW(L"%ws|%s|%d", L"ws", L"wide", 5);
    WriteLog("%ws|%s", L"wide", "narrow");
    std::vector<std::string> expected = {Log(std::string(cchRoom, 'v')), std::string(1055, 'w'), Log("ws|wide|5"),
                                         Log("wide|narrow")};
    EXPECT_EQ(expected, DebuggerLines());
    EXPECT_EQ(expected[0] + "\n" + expected[1] + "\n" + expected[2] + "\n" + expected[3] + "\n",
              DatedFile(harness::LogFilePath()));
}

TEST_F(ChannelTest, LinesBeforeTheSidExistHaveAnEmptyPrefix)
{
    ResetUserSidString();
    Open(1, 1);
    WriteLog("before\n");
    std::string made = Narrow(GetUserSidString());
    WriteLog("after\n");
    std::vector<std::string> expected = {
        "REVUZEZ(): before\n",
        "REVUZEZ-TRC(): ObtainUserSid - Start",
        "REVUZEZ(): Successfully obtain the user sid\n",
        "REVUZEZ-TRC(): ObtainUserSid - End",
        "REVUZEZ(): Sid calculated: " + made,
        "REVUZEZ(" + made + "): after\n",
    };
    EXPECT_EQ(expected, DebuggerLines());
}

TEST_F(ChannelTest, ConcurrentWritersNeverSplitALine)
{
    Open(2, 0);
    const int kThreads = 4, kLines = 1000;
    const std::string padding(300, 'z');
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++)
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLines; i++) WriteLog("writer %d line %d %s", t, i, padding.c_str());
        });
    for (std::thread& writer : writers) writer.join();

    std::vector<int> nextLine(kThreads, 0);
    std::istringstream content(DatedFile(harness::LogFilePath()).value_or(""));
    for (std::string line; std::getline(content, line);) {
        int t = -1, i = -1;
        sscanf(line.c_str(), ("REVUZEZ(" + sid + "): writer %d line %d").c_str(), &t, &i);
        ASSERT_TRUE(t >= 0 && t < kThreads && i == nextLine[t]) << line;
        ASSERT_EQ(Log("writer " + std::to_string(t) + " line " + std::to_string(nextLine[t]++) + " " + padding), line);
    }
    EXPECT_EQ(std::vector<int>(kThreads, kLines), nextLine);
}

// A top-level filter that handles the exception, so that the system filter
// returns EXCEPTION_EXECUTE_HANDLER instead of starting a debugger.
LONG nTopFilterCalls;
LONG WINAPI HandlingTopFilter(EXCEPTION_POINTERS*) { return ++nTopFilterCalls, EXCEPTION_EXECUTE_HANDLER; }

int* volatile pNowhere = nullptr;
// clang's guards cover only the calls made in a __try body.
__attribute__((noinline)) void WriteNowhere() { *pNowhere = 1; }

__attribute__((noinline)) DWORD FaultUnderGuard()
{
    DWORD dwCode = 0;
    __try {
        WriteNowhere();
    } __except (dwCode = GetExceptionCode(), ExceptionFilter(GetExceptionInformation())) {
    }
    return dwCode;
}

TEST(ExceptionFilter, RecordsTheSystemFilterResultAndRunsTheHandler)
{
    const std::string before = ReadAll(L"C:\\scanuser.log").value_or("");
    nTopFilterCalls = 0;
    LPTOP_LEVEL_EXCEPTION_FILTER pPrevious = SetUnhandledExceptionFilter(HandlingTopFilter);
    DWORD dwCode = FaultUnderGuard();
    SetUnhandledExceptionFilter(pPrevious);

    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), dwCode);
    EXPECT_EQ(1, nTopFilterCalls);
    // Text mode turns the "\n" of "\r\n" into "\r\n" as well.
    EXPECT_EQ(before + "Exception occurred 1\r\r\n", ReadAll(L"C:\\scanuser.log"));
}

std::vector<BYTE> MakeSid(std::initializer_list<BYTE> authority, std::initializer_list<DWORD> subAuthorities)
{
    // Filled by hand: Wine's InitializeSid refuses the full 15 sub-authorities.
    std::vector<BYTE> sid(GetSidLengthRequired(static_cast<UCHAR>(subAuthorities.size())));
    SID* pSid = reinterpret_cast<SID*>(sid.data());
    pSid->Revision = SID_REVISION;
    pSid->SubAuthorityCount = static_cast<BYTE>(subAuthorities.size());
    std::copy(authority.begin(), authority.end(), pSid->IdentifierAuthority.Value);
    std::copy(subAuthorities.begin(), subAuthorities.end(), pSid->SubAuthority);
    return sid;
}

std::optional<std::string> TextOf(PSID pSid)
{
    LPWSTR pwszText = nullptr;
    if (!SidToText(pSid, &pwszText)) return std::nullopt;
    std::string text = Narrow(pwszText);
    EXPECT_EQ(nullptr, LocalFree(pwszText));
    return text;
}

TEST(SidToText, WritesDecimalOrHexadecimalAuthorityAndEverySubAuthority)
{
    const DWORD m = 4294967295u;
    std::string fifteenMax = "S-1-0xffffffffffff";
    for (int i = 0; i < 15; i++) fifteenMax += "-4294967295";
    std::pair<std::vector<BYTE>, std::string> cases[] = {
        {MakeSid({0, 0, 0, 0, 0, 5}, {18}), "S-1-5-18"},
        {MakeSid({0, 0, 1, 2, 3, 4}, {7, 0}), "S-1-16909060-7-0"},  // last four bytes, big-endian
        {MakeSid({0, 0, 0, 0, 0, 5}, {}), "S-1-5"},
        {MakeSid({0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc}, {1}), "S-1-0x123456789abc-1"},
        {MakeSid({0, 1, 0, 0, 0, 5}, {}), "S-1-0x000100000005"},
        {MakeSid({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, {m, m, m, m, m, m, m, m, m, m, m, m, m, m, m}), fifteenMax},
    };
    for (auto& [sid, text] : cases) EXPECT_EQ(text, TextOf(sid.data()));

    std::vector<BYTE> badRevision = MakeSid({0, 0, 0, 0, 0, 5}, {18});
    badRevision[0] = 2;
    EXPECT_EQ(std::nullopt, TextOf(badRevision.data()));
}

TEST(ObtainUserSid, GivesTheTokenUserWithOrWithoutAThreadToken)
{
    HANDLE hToken;
    BYTE tokenUser[256];
    DWORD cb;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken));
    ASSERT_TRUE(GetTokenInformation(hToken, TokenUser, tokenUser, sizeof tokenUser, &cb));
    CloseHandle(hToken);
    PSID pExpected = reinterpret_cast<TOKEN_USER*>(tokenUser)->User.Sid;

    // Wine has no second user to impersonate; impersonating self still takes
    // the thread-token path.
    for (bool bImpersonate : {false, true}) {
        SCOPED_TRACE(bImpersonate ? "impersonating" : "not impersonating");
        if (bImpersonate) ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
        PSID pSid = nullptr;
        // Wine counts no handles, but gives out the lowest free one: a handle
        // left open would take the slot the next one gets.
        auto nextHandle = [] { HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr); CloseHandle(h); return h; };
        const HANDLE hFree = nextHandle();
        BOOL bOk = ObtainUserSid(GetCurrentThreadId(), GetCurrentProcessId(), &pSid);
        EXPECT_EQ(hFree, nextHandle()) << "every handle it opened is closed again";
        if (bImpersonate) RevertToSelf();
        ASSERT_TRUE(bOk);
        EXPECT_TRUE(EqualSid(pExpected, pSid));
        EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, pSid));
    }
    PSID pUntouched = pExpected;
    EXPECT_FALSE(ObtainUserSid(0, GetCurrentProcessId(), &pUntouched));
    EXPECT_EQ(pExpected, pUntouched);

    EXPECT_EQ(TextOf(pExpected), Narrow(GetUserSidString()));
    EXPECT_EQ(GetUserSidString(), GetUserSidString());
}

}  // namespace
