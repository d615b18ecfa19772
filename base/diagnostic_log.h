#pragma once
// The per-user diagnostic log that support asks for first:
// %LOCALAPPDATA%\Tinderhallow\logs\launcher.log, one line per event, kept to
// three files of about 1 MiB. The launcher and the toolkit append to it at
// the same time. Nothing secret goes in: callers pass URLs through
// urlWithoutQuery and never pass passwords, tokens, tickets or headers.

#include "base/handles.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

enum class LogLevel { Info, Warning, Error };

inline constexpr std::uint64_t kLogRotationBytes = 1024 * 1024;

// %LOCALAPPDATA%\Tinderhallow\logs; empty when the system names no such folder.
std::filesystem::path defaultLogFolder();

// Appends whole lines to launcher.log in one folder, shared with other
// processes: each batch is one append-mode write, made, like the move to .1
// and .2, under a mutex named for the folder.
class DiagnosticLogFile {
public:
    explicit DiagnosticLogFile(std::filesystem::path folder, std::uint64_t rotationBytes = kLogRotationBytes);
    DiagnosticLogFile(const DiagnosticLogFile&) = delete;
    DiagnosticLogFile& operator=(const DiagnosticLogFile&) = delete;

    // Makes the folder and opens the log once, to learn whether it can be written.
    [[nodiscard]] bool check(std::string* error = nullptr);
    // `lines` are whole lines, each ending in a line break.
    [[nodiscard]] bool append(const std::string& lines, std::string* error = nullptr);

private:
    [[nodiscard]] bool rotateIfFull(std::uint64_t adding, std::string* error);

    std::filesystem::path folder_;
    std::uint64_t rotationBytes_;
    KernelHandle mutex_;
};

// Starts the process's log: a queue and one writer thread. False (with the
// reason) when the folder cannot be written; events are then only echoed.
// `echo` also prints every line on standard error (the toolkit's --verbose).
[[nodiscard]] bool startDiagnosticLog(const std::filesystem::path& folder, bool echo, std::string* error = nullptr);
// Writes what is queued and ends the writer thread.
void stopDiagnosticLog();

// Queues one event; never waits on the disk. Line breaks in `message` become spaces.
void logEvent(LogLevel level, std::string_view component, std::string_view message);
inline void logInfo(std::string_view component, std::string_view message) {
    logEvent(LogLevel::Info, component, message);
}
inline void logWarning(std::string_view component, std::string_view message) {
    logEvent(LogLevel::Warning, component, message);
}
inline void logError(std::string_view component, std::string_view message) {
    logEvent(LogLevel::Error, component, message);
}

// The line as written, for the toolkit and tests: time, process, thread, level, component, message.
std::string formatLogLine(LogLevel level, std::string_view component, std::string_view message);

// "Windows 10.0.19045" and, under Wine, "; Wine 8.0" (ntdll's wine_get_version).
std::string systemDescription();
// The first event of a run: program, version, system.
void logProgramStart(std::string_view program);

// `url` without its query, fragment and user name and password: signed URLs
// carry secrets there.
std::string urlWithoutQuery(std::string_view url);
