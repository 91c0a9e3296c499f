// Where the vault explorer stand-in (VododizEveru.exe) writes down what it
// saw, for tests: the file below, in the folder of VododizEveru.exe. Every
// event is one ASCII line, ended by CR LF and appended with a single write,
// so several instances can share the file. Nothing ever truncates it: a test
// deletes it before it starts explorers.
#pragma once

#define EXPLORER_RECORD_FILE L"VododizEveru.record.txt"

// The instance has started and its window exists (window: its handle).
#define EXPLORER_RECORD_START   "start pid=%lu window=0x%llX\r\n"
// Its window received message 0x598, with these parameters.
#define EXPLORER_RECORD_MESSAGE "0x598 pid=%lu wparam=0x%llX lparam=0x%llX\r\n"
// Its message loop ended (WM_CLOSE or WM_QUIT); the process exits with 0.
#define EXPLORER_RECORD_END     "end pid=%lu\r\n"
