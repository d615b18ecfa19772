// Starts programs from inside a running Wine session, as a player's shell
// or another program does, on commands read from standard input (one a line):
//   start PATH   starts PATH (working folder: its own), prints "started PID"
//   close        posts WM_CLOSE to the last started program's windows, waits
//                for its end (ending it after 30 s), prints "closed CODE"
// End of input closes a program still running the same way, then exits.
// Each answer is flushed at once: the benchmark times from its command.
//
// Usage: start_in_session.exe   (driven by bench/window_start_bench.py)

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

PROCESS_INFORMATION child{};

std::wstring wide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

BOOL CALLBACK closeIfChilds(HWND window, LPARAM) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == child.dwProcessId) PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

// Only the program this process started is ever ended.
DWORD closeChild() {
    if (child.hProcess == nullptr) return 0;
    EnumWindows(closeIfChilds, 0);
    if (WaitForSingleObject(child.hProcess, 30000) != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, 10000);
    }
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    child = PROCESS_INFORMATION{};
    return code;
}

bool start(const std::string& path) {
    const std::wstring program = wide(path);
    std::wstring commandLine = L"\"" + program + L"\"";
    std::wstring folder = program.substr(0, program.find_last_of(L"\\/"));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.empty() ? nullptr : folder.c_str(), &startup, &child) != 0;
}

}  // namespace

int wmain() {
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.rfind("start ", 0) == 0) {
            closeChild();
            if (start(line.substr(6))) std::printf("started %lu\n", child.dwProcessId);
            else std::printf("failed %lu\n", GetLastError());
        } else if (line == "close") {
            std::printf("closed %lu\n", closeChild());
        } else {
            std::printf("unknown command\n");
        }
        std::fflush(stdout);
    }
    closeChild();
    return 0;
}
