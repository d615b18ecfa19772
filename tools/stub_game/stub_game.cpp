// Stand-in for the game in tests: records the arguments it was started with,
// one per line (UTF-8), in "game_command_line.txt" beside itself.
//
// "--hold RELATIVE_PATH" plays a running game that keeps one of its files
// open (read sharing only, as games keep their data files): the file is
// opened before the record is written, and the program then waits until it
// is ended.

#include <windows.h>
#include <shellapi.h>

#include <string>

static std::string toUtf8(const wchar_t* text) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) return {};
    std::string out(static_cast<size_t>(needed - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), needed, nullptr, nullptr);
    return out;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string record = "argc=" + std::to_string(argc > 0 ? argc - 1 : 0) + "\n";
    for (int i = 1; i < argc; ++i) record += toUtf8(argv[i]) + "\n";

    wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    const std::wstring module(self, length);
    const std::wstring folder = module.substr(0, module.find_last_of(L"\\/") + 1);
    const std::wstring holdPath = argc == 3 && std::wstring(argv[1]) == L"--hold" ? folder + argv[2] : L"";
    LocalFree(argv);
    HANDLE held = INVALID_HANDLE_VALUE;
    if (!holdPath.empty()) {
        held = CreateFileW(holdPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held == INVALID_HANDLE_VALUE) return 2;
    }
    const std::wstring path = folder + L"game_command_line.txt";
    // Written under a temporary name and renamed, so a reader never sees half.
    const std::wstring temporary = path + L".tmp";
    HANDLE file =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return 1;
    if (held != INVALID_HANDLE_VALUE) Sleep(INFINITE);
    return 0;
}
