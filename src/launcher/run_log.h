// The run's log, kept only when the environment variable SETUP_LAUNCHER_LOG names a file: one
// UTF-8 line per step, appended as it happens, so that a run that was ended from outside shows
// how far it got. Without the variable nothing is written anywhere.
#pragma once

#include <windows.h>

// Opens the log named by SETUP_LAUNCHER_LOG, created when missing, shared with readers and with
// other runs appending to it. A name that is a link or another reparse point, or a file with
// more than one name, is not written to: the launcher may run as SYSTEM in a folder others can
// write, where such a name could lead to any file of the machine. Says so in a debug line.
void OpenRunLog();

// Appends "<local time> [<process id>] <label><text>" as one line; `text` is in the ANSI code
// page. Does nothing without a log.
void LogLine(const char* label, const char* text);
void LogWideLine(const char* label, const wchar_t* text);
// The same with a number, in decimal.
void LogNumber(const char* label, DWORD number);
