// vaultfilter.exe: the driver simulator as a program, to serve a real agent
// (--serve) or to put a few requests to it and check the answers (--demo);
// its file commands (put, get, ls, ...) go to the serving one.
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DriverSim.h"
#include "FileCommands.h"
#include "MountServer.h"

namespace {

const char kUsage[] =
    "usage: vaultfilter [--serve [--seconds N] [--mount-port P]] | --demo [--wait-seconds N] | --help\n"
    "       vaultfilter put|get|cat|ls|mv|rm|mkdir|rmdir|where|check ...\n"
    "\n"
    "Hosts the Vault Filter's port \\ScannerPort over the named pipe\n"
    "\\\\.\\pipe\\ScannerPort, as the stand-in fltlib.dll expects it.\n"
    "\n"
    "  --serve          (the default) print one line per event: agent connected\n"
    "                   with its context, each control message with its command\n"
    "                   code and count, agent gone. Runs for N seconds with\n"
    "                   --seconds N, else until Ctrl-C, Ctrl-Break or the console\n"
    "                   closes. Meanwhile it carries out the file commands that\n"
    "                   other vaultfilter processes send it (below), one line each,\n"
    "                   and serves vaultfs (a Linux FUSE file system) on\n"
    "                   127.0.0.1, port P or one the system chooses, written with\n"
    "                   a secret into the prefix's vaultfs.endpoint file.\n"
    "  --demo           wait up to N seconds (default 60) for an agent, send it a\n"
    "                   few requests (codes 17, 0, 3, and five 17s at once), print\n"
    "                   and check each reply, then wait up to N seconds for the\n"
    "                   agent to go away. Exit 0 when everything was as expected.\n"
    "\n"
    "%s"
    "\n"
    "Exit codes: 0 done, 1 a demo expectation or a file command failed, 2 bad\n"
    "arguments, 3 the port is already hosted or cannot be created (--serve,\n"
    "--demo) or no vaultfilter --serve runs (file commands; check: 2).\n";

void PrintUsage(FILE* f) { fprintf(f, kUsage, driversim::kFileCommandUsage); }

std::string Narrow(const std::wstring& w)
{
    int cb = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), NULL, 0, NULL, NULL);
    std::string s(cb, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), (int)w.size(), s.data(), cb, NULL, NULL);
    return s;
}

HANDLE g_hQuit = NULL;

BOOL WINAPI OnConsoleEvent(DWORD)
{
    SetEvent(g_hQuit);
    return TRUE;
}

void Say(const char* pszFormat, const std::string& text = {})
{
    printf("vaultfilter: ");
    printf(pszFormat, text.c_str());
    printf("\n");
    fflush(stdout);
}

bool Load(driversim::DriverSim& sim)
{
    if (driversim::DriverSim::PortHosted()) {
        Say("port \\ScannerPort is already hosted by another driver stand-in; not starting");
        return false;
    }
    if (!sim.Load()) {
        Say("cannot create the pipe of port \\ScannerPort");
        return false;
    }
    return true;
}

int Serve(DWORD dwSeconds, unsigned short mountPort)
{
    driversim::DriverSim sim;
    sim.SetEventSink([](const std::string& line) { Say("%s", line); });
    if (!Load(sim))
        return 3;
    driversim::VaultFiles files(sim);
    driversim::FileCommandServer commands(files);
    driversim::MountServer mount(files);
    if (!mount.Start([](const std::string& line) { Say("%s", line); }, mountPort))
        Say("cannot listen for vaultfs on 127.0.0.1:%s", std::to_string(mountPort));
    else
        Say("vaultfs served on 127.0.0.1:%s", std::to_string(mount.Port()) +
            (mount.EndpointPath().empty() ? std::string(", no endpoint file")
                                          : ", endpoint file " + Narrow(mount.EndpointPath())));
    g_hQuit = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!commands.Start([](const std::string& line) { Say("%s", line); }, [] { SetEvent(g_hQuit); }))
        Say("another process takes the file commands already; this one takes none");
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    WaitForSingleObject(g_hQuit, dwSeconds != 0 ? dwSeconds * 1000 : INFINITE);
    mount.Stop();
    commands.Stop();
    sim.Unload();
    return 0;
}

// A file command, sent to the serving simulator; its output printed as it
// came (binary for cat), its exit code passed on.
int SendCommand()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args(argv + 1, argv + argc);
    LocalFree(argv);
    // A check shows how far it got on one line of a terminal.
    size_t shown = 0;
    auto progress = [&](const std::string& line) {
        fprintf(stderr, "\r%-*s", (int)shown, line.c_str());
        fflush(stderr);
        shown = std::max(shown, line.size());
    };
    if (args[0] == L"check" && _isatty(_fileno(stderr)) &&
        std::find(args.begin(), args.end(), L"--progress") == args.end())
        args.push_back(L"--progress");
    std::string output;
    int code = driversim::SendFileCommand(args, &output, progress);
    if (shown != 0)
        fprintf(stderr, "\r%*s\r", (int)shown, "");
    FILE* f = code == 0 ? stdout : stderr;
    if (f == stdout)
        _setmode(_fileno(stdout), _O_BINARY);
    fwrite(output.data(), 1, output.size(), f);
    fflush(f);
    return code;
}

// One request to the agent; true when its reply is whole and says what is
// expected.
bool Ask(driversim::DriverSim& sim, uint64_t id, ULONG code, BOOLEAN expected, int loggedIn = -1)
{
    std::vector<uint8_t> reply;
    if (id == 0 || !sim.Await(id, &reply, 10000)) {
        printf("  code %2lu: no reply\n", code);
        return false;
    }
    struct ReplyMessage m = {};
    memcpy(&m, reply.data(), std::min<size_t>(reply.size(), sizeof(m)));
    bool ok = reply.size() == REPLY_MESSAGE_SIZE && m.ReplyHeader.MessageId == id &&
              m.Reply.Succeeded == expected && (loggedIn < 0 || m.Reply.Login.LoggedIn == loggedIn);
    printf("  code %2lu: reply %u bytes, Succeeded %u", code, (unsigned)reply.size(), m.Reply.Succeeded);
    if (loggedIn >= 0)
        printf(", LoggedIn %u", m.Reply.Login.LoggedIn);
    printf(" %s\n", ok ? "(as expected)" : "(NOT as expected)");
    return ok;
}

int Demo(DWORD dwSeconds)
{
    driversim::DriverSim sim;
    if (!Load(sim))
        return 3;
    Say("port \\ScannerPort loaded, waiting for the agent");
    if (!sim.WaitForAgent(dwSeconds * 1000)) {
        Say("no agent connected within %s s", std::to_string(dwSeconds));
        return 1;
    }
    Say("agent connected, context \"%s\"", sim.ConnectionContext());

    auto* pNote = new Notification();   // 30 KB: not on the stack
    Notification& note = *pNote;
    bool ok = true;
    note.eCommandType = DeviceUnpluggedNotice;
    wcscpy(note.Volume, L"\\Device\\HarddiskVolume9");
    ok &= Ask(sim, sim.Send(note), DeviceUnpluggedNotice, 1);
    note.eCommandType = 0;
    ok &= Ask(sim, sim.Send(note), 0, 0);
    note.eCommandType = AuthenticateUser;
    wcscpy(note.Volume, L"\\Device\\HarddiskVolume1");
    wcscpy(note.ParentDir, L"\\NoSuchVault\\");
    wcscpy(note.FileName, L"file.txt");
    ok &= Ask(sim, sim.Send(note), AuthenticateUser, 1, 0);
    note = Notification();
    note.eCommandType = DeviceUnpluggedNotice;
    wcscpy(note.Volume, L"\\Device\\HarddiskVolume9");
    uint64_t ids[5];
    for (uint64_t& id : ids)
        id = sim.Send(note);
    for (uint64_t id : ids)
        ok &= Ask(sim, id, DeviceUnpluggedNotice, 1);
    delete pNote;
    Say(ok ? "demo requests answered" : "demo requests NOT answered as expected");

    bool gone = sim.WaitForAgentGone(dwSeconds * 1000);
    Say(gone ? "agent gone" : "agent still connected after %s s", std::to_string(dwSeconds));
    for (const std::string& error : sim.Errors())
        Say("protocol error: %s", error);
    ok = ok && gone && sim.Errors().empty();
    sim.Unload();
    return ok ? 0 : 1;
}

bool ParseNumber(const char* psz, DWORD* pdw)
{
    char* pEnd = nullptr;
    unsigned long n = psz != nullptr ? strtoul(psz, &pEnd, 10) : 0;
    if (psz == nullptr || *psz == 0 || *pEnd != 0 || n > 86400 * 365)
        return false;
    *pdw = (DWORD)n;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && driversim::IsFileCommand(std::wstring(argv[1], argv[1] + strlen(argv[1]))))
        return SendCommand();
    bool bDemo = false, bServe = false;
    DWORD dwServeSeconds = 0, dwWaitSeconds = 60, dwMountPort = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--serve") {
            bServe = true;
        } else if (arg == "--demo") {
            bDemo = true;
        } else if (arg == "--seconds" && ParseNumber(i + 1 < argc ? argv[i + 1] : nullptr, &dwServeSeconds)) {
            i++;
        } else if (arg == "--wait-seconds" && ParseNumber(i + 1 < argc ? argv[i + 1] : nullptr, &dwWaitSeconds)) {
            i++;
        } else if (arg == "--mount-port" && ParseNumber(i + 1 < argc ? argv[i + 1] : nullptr, &dwMountPort) &&
                   dwMountPort <= 65535) {
            i++;
        } else {
            fprintf(stderr, "vaultfilter: bad argument \"%s\"\n", arg.c_str());
            PrintUsage(stderr);
            return 2;
        }
    }
    if (bDemo && bServe) {
        fprintf(stderr, "vaultfilter: --serve and --demo exclude each other\n");
        return 2;
    }
    return bDemo ? Demo(dwWaitSeconds) : Serve(dwServeSeconds, (unsigned short)dwMountPort);
}
