// Benchmark reference: the plainest fast WinHTTP download program, against
// which the launcher's downloads are measured. THREADS threads share one
// session; each keeps one connection and, per file, sends one GET, reads the
// body with WinHttpReadData straight into a 1 MiB buffer (no
// WinHttpQueryDataAvailable) and writes it with WriteFile. No hashing, no
// retries, no checks beyond the status.
// Usage: winhttp_reference BASE_URL LISTFILE DESTDIR THREADS
//   LISTFILE: one relative path per line (anything after a space is ignored)
// Prints: "<n> files in <seconds> s" (the time inside the process).
// `winhttp_reference wait` only waits for the end of its input, so a
// benchmark can keep Wine started.

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kBuffer = 1024 * 1024;

struct Target {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;
    bool secure = false;
};

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

bool crack(const std::wstring& url, Target& target) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    while (!target.path.empty() && target.path.back() == L'/') target.path.pop_back();
    target.port = parts.nPort;
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

bool fetch(HINTERNET connection, const Target& base, const std::string& relative, const std::wstring& destination,
           std::vector<char>& buffer) {
    const std::wstring path = base.path + L"/" + widen(relative);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, base.secure ? WINHTTP_FLAG_SECURE : 0);
    if (request == nullptr) return false;
    bool ok = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr);
    DWORD status = 0;
    DWORD size = sizeof(status);
    ok = ok &&
         WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) &&
         status == 200;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (ok) {
        file = CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ok = file != INVALID_HANDLE_VALUE;
    }
    while (ok) {
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), kBuffer, &read)) {
            ok = false;
            break;
        }
        if (read == 0) break;
        DWORD written = 0;
        ok = WriteFile(file, buffer.data(), read, &written, nullptr) && written == read;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    WinHttpCloseHandle(request);
    return ok;
}

void createParents(const std::wstring& path) {
    for (std::size_t slash = path.find_first_of(L"\\/", 3); slash != std::wstring::npos;
         slash = path.find_first_of(L"\\/", slash + 1)) {
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"wait") {
        char c;
        while (std::fread(&c, 1, 1, stdin) == 1) {}
        return 0;
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: winhttp_reference BASE_URL LISTFILE DESTDIR THREADS\n");
        return 2;
    }
    Target base;
    if (!crack(argv[1], base)) {
        std::fprintf(stderr, "cannot parse the base URL\n");
        return 2;
    }
    std::vector<std::string> paths;
    {
        std::ifstream list(argv[2], std::ios::binary);
        std::string line;
        while (std::getline(list, line)) {
            const std::size_t end = line.find_first_of(" \r");
            if (end != std::string::npos) line.resize(end);
            if (!line.empty()) paths.push_back(line);
        }
    }
    const std::wstring destination = argv[3];
    const int threads = std::max(1, _wtoi(argv[4]));

    const auto start = std::chrono::steady_clock::now();
    HINTERNET session = WinHttpOpen(L"WinHttpReference/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            std::vector<char> buffer(kBuffer);
            HINTERNET connection = WinHttpConnect(session, base.host.c_str(), base.port, 0);
            for (std::size_t i = next++; i < paths.size() && !failed; i = next++) {
                std::wstring local = destination + L"\\" + widen(paths[i]);
                for (wchar_t& c : local) {
                    if (c == L'/') c = L'\\';
                }
                createParents(local);
                if (connection == nullptr || !fetch(connection, base, paths[i], local, buffer)) failed = true;
            }
            if (connection != nullptr) WinHttpCloseHandle(connection);
        });
    }
    for (std::thread& worker : workers) worker.join();
    WinHttpCloseHandle(session);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failed) {
        std::fprintf(stderr, "a download failed\n");
        return 1;
    }
    std::printf("%zu files in %.3f s\n", paths.size(), seconds);
    return 0;
}
