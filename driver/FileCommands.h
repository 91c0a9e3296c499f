// File commands for a person: "vaultfilter put a.txt N:\a.txt" and the like.
// Only the process that hosts the port can put requests to the agent, so a
// serving simulator takes the commands on a pipe of its own and carries
// them out; the vaultfilter process that a person starts only sends one
// command and prints the answer.
//
// The pipe: \\.\pipe\vaultfilter-commands, message mode. A command is one
// message: its words in UTF-16LE, each followed by a NUL; local file paths
// already made absolute by the sender. The answer is one message: a 32-bit
// exit code, then what the command prints (UTF-8 text; the content for cat).
// A check given --progress sends progress lines before it: messages of the
// code kCommandProgress, then the line.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VaultFiles.h"

namespace driversim {

#define FILE_COMMAND_PIPE L"\\\\.\\pipe\\vaultfilter-commands"

// Exit codes of a file command.
enum : int {
    kCommandDone = 0,
    kCommandFailed = 1,
    kCommandBadArguments = 2,
    kCommandNoSimulator = 3,
    // check: 0 sound, 1 problems found (or left after a repair), 2 could
    // not check (bad arguments, not logged in, no agent, no simulator).
    kCheckCouldNot = 2,
    kCommandProgress = -1,   // not an exit code: a message with a progress line
};

// The usage lines of the file commands.
extern const char kFileCommandUsage[];

// Whether word names a file command (put, get, cat, ls, mv, rm, mkdir, rmdir, where, check, stop).
bool IsFileCommand(const std::wstring& word);

using ProgressSink = std::function<void(const std::string& line)>;

// Carries out one command (args[0] is its name) and returns its exit code;
// what it prints goes to *pOutput, progress lines (a check given
// --progress) to progress.
int RunFileCommand(VaultFiles& files, const std::vector<std::wstring>& args, std::string* pOutput,
                   const ProgressSink& progress = {});

// The sender's side: local paths made absolute (a path beginning with "/"
// is a path of the host system, reached through Wine's mapping), the command
// sent to the serving simulator and its answer returned, progress lines
// handed to progress as they come. kCommandNoSimulator when none serves
// (kCheckCouldNot for a check).
int SendFileCommand(std::vector<std::wstring> args, std::string* pOutput, const ProgressSink& progress = {});

// The serving side: a thread that takes commands one at a time.
class FileCommandServer {
public:
    explicit FileCommandServer(VaultFiles& files);
    ~FileCommandServer();
    FileCommandServer(const FileCommandServer&) = delete;
    FileCommandServer& operator=(const FileCommandServer&) = delete;

    // False when another process already takes commands, or the pipe
    // cannot be made. The sink hears one line per command and its outcome.
    // onStop is called after a "stop" command has been answered.
    bool Start(std::function<void(const std::string&)> sink = {}, std::function<void()> onStop = {});
    void Stop();

    struct State;

private:
    std::unique_ptr<State> m_state;
};

}  // namespace driversim
