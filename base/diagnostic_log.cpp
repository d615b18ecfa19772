#include "base/diagnostic_log.h"

#include "base/utf8_paths.h"
#include "base/version.h"
#include "base/windows_error.h"

#include <shlobj.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr wchar_t kLogName[] = L"launcher.log";

std::filesystem::path logPath(const std::filesystem::path& folder, int generation) {
    std::wstring name = kLogName;
    if (generation > 0) name += L"." + std::to_wstring(generation);
    return folder / name;
}

// Named for the folder, so that separate log folders (tests) do not share it.
std::wstring rotationMutexName(const std::filesystem::path& folder) {
    std::wstring key = folder.lexically_normal().wstring();
    CharLowerBuffW(key.data(), static_cast<DWORD>(key.size()));
    return L"Local\\TinderhallowLogRotation-" + std::to_wstring(std::hash<std::wstring>{}(key));
}

FileHandle openForAppend(const std::filesystem::path& path) {
    return FileHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The log's own failures are told to its caller only: logging them would
// queue more lines for the writer that cannot write them.
bool failWithLastError(std::string_view text, std::string* error) {
    if (error != nullptr) *error = withWindowsError(text, GetLastError());
    return false;
}

const char* levelName(LogLevel level) {
    switch (level) {
        case LogLevel::Info: return "INFO ";
        case LogLevel::Warning: return "WARN ";
        case LogLevel::Error: return "ERROR";
    }
    return "INFO ";
}

struct LogQueue {
    std::mutex mutex;
    std::condition_variable wake;
    std::string pending;
    bool stopping = false;
    bool echo = false;
    std::unique_ptr<DiagnosticLogFile> file;
    std::thread writer;
};

LogQueue& logQueue() {
    static LogQueue* queue = new LogQueue;  // never destroyed: threads may log during exit
    return *queue;
}

void echoLine(const std::string& line);

void writerBody() {
    LogQueue& queue = logQueue();
    bool toldFailure = false;
    std::unique_lock lock(queue.mutex);
    for (;;) {
        queue.wake.wait(lock, [&] { return queue.stopping || !queue.pending.empty(); });
        if (queue.pending.empty() && queue.stopping) return;
        std::string batch;
        batch.swap(queue.pending);
        lock.unlock();
        // A failed write is dropped: the program runs on without that part of
        // its log, and standard error (the toolkit's) hears of it once.
        std::string failure;
        try {
            if (!queue.file->append(batch, &failure) && !toldFailure) {
                toldFailure = true;
                echoLine("Lines of the log were lost: " + failure + "\n");
            }
        } catch (...) {
            // Out of memory for the message: the lines are lost as above.
        }
        lock.lock();
    }
}

void echoLine(const std::string& line) {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

std::filesystem::path defaultLogFolder() {
    PWSTR folder = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
        CoTaskMemFree(folder);
        return {};
    }
    std::filesystem::path result = std::filesystem::path(folder) / L"Tinderhallow" / L"logs";
    CoTaskMemFree(folder);
    return result;
}

DiagnosticLogFile::DiagnosticLogFile(std::filesystem::path folder, std::uint64_t rotationBytes)
    : folder_(std::move(folder)), rotationBytes_(rotationBytes) {
    mutex_.reset(CreateMutexW(nullptr, FALSE, rotationMutexName(folder_).c_str()));
}

bool DiagnosticLogFile::check(std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (ec) {
        if (error) *error = "Cannot make the log folder " + pathToUtf8(folder_) + ": " + errorCodeMessage(ec);
        return false;
    }
    const std::filesystem::path path = logPath(folder_, 0);
    if (!openForAppend(path)) {
        return failWithLastError("Cannot open the log " + pathToUtf8(path) + " for writing", error);
    }
    return true;
}

bool DiagnosticLogFile::rotateIfFull(std::uint64_t adding, std::string* error) {
    const std::filesystem::path current = logPath(folder_, 0);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(current.c_str(), GetFileExInfoStandard, &data)) return true;
    const std::uint64_t size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    if (size == 0 || size + adding <= rotationBytes_) return true;
    const std::filesystem::path first = logPath(folder_, 1);
    const std::filesystem::path second = logPath(folder_, 2);
    if (GetFileAttributesW(first.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !MoveFileExW(first.c_str(), second.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return failWithLastError("Cannot move the log " + pathToUtf8(first), error);
    }
    if (!MoveFileExW(current.c_str(), first.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return failWithLastError("Cannot move the log " + pathToUtf8(current), error);
    }
    return true;
}

bool DiagnosticLogFile::append(const std::string& lines, std::string* error) {
    if (lines.empty()) return true;
    // The lock covers the write too: Wine's append mode finds the end and
    // writes in two steps, so two writers could overwrite each other there.
    const DWORD waited = mutex_ ? WaitForSingleObject(mutex_.get(), 5000) : WAIT_FAILED;
    const bool locked = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    std::string rotationError;
    bool rotated = true;
    if (locked) {
        rotated = rotateIfFull(lines.size(), &rotationError);
    } else {
        rotated = failWithLastError("Cannot take the log's lock", &rotationError);
    }
    const std::filesystem::path path = logPath(folder_, 0);
    bool ok = true;
    {
        // A log that cannot rotate still takes the lines: it grows rather than loses them.
        FileHandle file = openForAppend(path);
        DWORD written = 0;
        if (!file) {
            ok = failWithLastError("Cannot open the log " + pathToUtf8(path) + " for writing", error);
        } else if (!WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr)) {
            ok = failWithLastError("Cannot write the log " + pathToUtf8(path), error);
        } else if (written != lines.size()) {
            if (error) *error = "The log " + pathToUtf8(path) + " took only part of the lines (the disk may be full).";
            ok = false;
        }
    }
    if (locked) ReleaseMutex(mutex_.get());
    if (ok && !rotated) {
        if (error) *error = rotationError;
        return false;
    }
    return ok;
}

std::string formatLogLine(LogLevel level, std::string_view component, std::string_view message) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char head[96];
    std::snprintf(head, sizeof head, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ pid=%lu tid=%lu %s ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                  static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(GetCurrentThreadId()),
                  levelName(level));
    std::string line = head;
    line.append(component);
    line += ": ";
    for (char c : message) line += (c == '\r' || c == '\n') ? ' ' : c;
    line += "\r\n";
    return line;
}

bool startDiagnosticLog(const std::filesystem::path& folder, bool echo, std::string* error) {
    LogQueue& queue = logQueue();
    std::lock_guard lock(queue.mutex);
    queue.echo = echo;
    if (queue.writer.joinable()) return true;
    if (folder.empty()) {
        if (error) *error = "The system names no local application data folder for the log.";
        return false;
    }
    auto file = std::make_unique<DiagnosticLogFile>(folder);
    if (!file->check(error)) return false;
    queue.file = std::move(file);
    queue.stopping = false;
    try {
        queue.writer = std::thread(writerBody);
    } catch (const std::exception& e) {
        queue.file.reset();
        if (error) *error = std::string("Cannot start the log's writer: ") + e.what();
        return false;
    }
    return true;
}

void stopDiagnosticLog() {
    LogQueue& queue = logQueue();
    {
        std::lock_guard lock(queue.mutex);
        if (!queue.writer.joinable()) return;
        queue.stopping = true;
    }
    queue.wake.notify_one();
    queue.writer.join();
    std::lock_guard lock(queue.mutex);
    queue.file.reset();
    queue.pending.clear();
}

void logEvent(LogLevel level, std::string_view component, std::string_view message) {
    try {
        const std::string line = formatLogLine(level, component, message);
        LogQueue& queue = logQueue();
        bool echo = false;
        {
            std::lock_guard lock(queue.mutex);
            echo = queue.echo;
            // Bounded while the disk lags: past the rotation size new lines are dropped.
            if (queue.writer.joinable() && !queue.stopping && queue.pending.size() < kLogRotationBytes) {
                queue.pending += line;
            }
        }
        queue.wake.notify_one();
        if (echo) echoLine(line);
    } catch (...) {
        // Out of memory while logging: the event is dropped, the program goes on.
    }
}

std::string urlWithoutQuery(std::string_view url) {
    std::string text(url.substr(0, url.find_first_of("?#")));
    // A user name and password before the host go too.
    const std::size_t scheme = text.find("://");
    if (scheme != std::string::npos) {
        const std::size_t hostStart = scheme + 3;
        const std::size_t at = text.find('@', hostStart);
        if (at != std::string::npos && at < text.find('/', hostStart)) text.erase(hostStart, at + 1 - hostStart);
    }
    return text;
}

std::string systemDescription() {
    std::string text = "Windows";
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return text;
    // RtlGetVersion tells the truth where GetVersionEx answers for the manifest.
    using RtlGetVersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto rtlGetVersion =
        reinterpret_cast<RtlGetVersionCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (rtlGetVersion != nullptr && rtlGetVersion(&version) == 0) {
        text += " " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
                std::to_string(version.dwBuildNumber);
    }
    using WineGetVersionCall = const char*(CDECL*)();
    const auto wineGetVersion =
        reinterpret_cast<WineGetVersionCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    if (wineGetVersion != nullptr) {
        const char* wine = wineGetVersion();
        if (wine != nullptr) text += std::string("; Wine ") + wine;
    }
    return text;
}

void logProgramStart(std::string_view program) {
    logInfo("start", std::string(program) + " " TINDERHALLOW_VERSION_TEXT " on " + systemDescription());
}
