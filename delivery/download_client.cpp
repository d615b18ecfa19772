#include "delivery/download_client.h"

#include "base/secure_failure.h"

#include <algorithm>
#include <fstream>
#include <mutex>
#include <system_error>
#include <vector>

namespace {

constexpr DWORD kChunkBytes = 131072;

// The process-wide session: created on first use, closed at exit.
struct SessionHolder {
    HINTERNET handle = nullptr;
    ~SessionHolder() {
        if (handle != nullptr) WinHttpCloseHandle(handle);
    }
};

SessionHolder downloadSession;
std::once_flag downloadSessionOnce;

std::mutex downloadTokenMutex;
std::string downloadToken;

HINTERNET sessionHandle() {
    std::call_once(downloadSessionOnce, [] {
        HINTERNET session = WinHttpOpen(L"TinderhallowLauncher/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (session != nullptr) WinHttpSetTimeouts(session, 10000, 10000, 30000, 30000);
        downloadSession.handle = session;
    });
    return downloadSession.handle;
}

// Closes a request handle on every path out of an attempt.
class RequestHandle {
public:
    explicit RequestHandle(HINTERNET handle) : handle_(handle) {}
    ~RequestHandle() {
        if (handle_ != nullptr) WinHttpCloseHandle(handle_);
    }
    RequestHandle(const RequestHandle&) = delete;
    RequestHandle& operator=(const RequestHandle&) = delete;
    HINTERNET get() const { return handle_; }

private:
    HINTERNET handle_;
};

void setError(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
}

// The system's text for a Windows error code, without the trailing line break.
std::string systemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length > 0 && buffer != nullptr) text.assign(buffer, length);
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
    if (text.empty()) return "Windows error " + std::to_string(code);
    return wideToUtf8(text);
}

// Creates every missing folder of the chain; `code` receives the Windows
// error of the step that failed.
bool createFolderChain(const std::filesystem::path& folder, DWORD& code) {
    if (folder.empty()) return true;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
        code = ERROR_ALREADY_EXISTS;
        return false;
    }
    const std::filesystem::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !createFolderChain(parent, code)) return false;
    if (CreateDirectoryW(folder.c_str(), nullptr)) return true;
    code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS) {
        const DWORD now = GetFileAttributesW(folder.c_str());
        if (now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_DIRECTORY)) return true;
    }
    return false;
}

// Content-Length as a number; 0 ("unknown") for anything that is not a
// plain decimal number that fits.
std::uint64_t parseLength(const wchar_t* text) {
    std::uint64_t value = 0;
    bool digits = false;
    for (; *text == L' '; ++text) {
    }
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        const std::uint64_t digit = static_cast<std::uint64_t>(*text - L'0');
        if (value > (UINT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
        digits = true;
    }
    for (; *text == L' '; ++text) {
    }
    return (digits && *text == L'\0') ? value : 0;
}

void removeFile(const std::filesystem::path& path) { DeleteFileW(path.c_str()); }

}  // namespace

bool isHttpUrl(std::string_view text) {
    auto startsWith = [&](std::string_view prefix) {
        if (text.size() < prefix.size()) return false;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != prefix[i]) return false;
        }
        return true;
    };
    return startsWith("http://") || startsWith("https://");
}

std::string percentEncodePath(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                           byte == '-' || byte == '.' || byte == '/' || byte == '_' || byte == '~';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

bool appendWindowsError(const std::string& text, std::string* error) {
    const DWORD code = GetLastError();
    if (error != nullptr) *error = text + " (Windows error " + std::to_string(code) + ").";
    return false;
}

void setDownloadToken(const std::string& token) {
    std::lock_guard<std::mutex> lock(downloadTokenMutex);
    downloadToken = token;
}

PatchDownloader::PatchDownloader(const std::string& baseUrl) : baseUrl_(baseUrl) {
    while (!baseUrl_.empty() && baseUrl_.back() == '/') baseUrl_.pop_back();
    const std::wstring url = utf8ToWide(baseUrl_ + "/");

    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return;

    if (parts.lpszHostName != nullptr) host_.assign(parts.lpszHostName, parts.dwHostNameLength);
    if (parts.lpszUrlPath != nullptr) basePath_.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    while (!basePath_.empty() && basePath_.back() == L'/') basePath_.pop_back();
    port_ = parts.nPort;
    secure_ = parts.nScheme == INTERNET_SCHEME_HTTPS;
}

PatchDownloader::~PatchDownloader() { closeConnection(); }

void PatchDownloader::closeConnection() {
    if (connection_ != nullptr) {
        WinHttpCloseHandle(connection_);
        connection_ = nullptr;
    }
}

bool PatchDownloader::connect(std::string* error) {
    if (connection_ != nullptr) return true;
    if (host_.empty()) {
        setError(error, "Could not parse patch URL.");
        return false;
    }
    HINTERNET session = sessionHandle();
    if (session == nullptr) return appendWindowsError("Could not initialize patch download", error);
    closeConnection();
    connection_ = WinHttpConnect(session, host_.c_str(), port_, 0);
    if (connection_ == nullptr) return appendWindowsError("Could not connect to patch server", error);
    return true;
}

bool PatchDownloader::downloadOnce(const std::filesystem::path& relativePath, const std::filesystem::path& destination,
                                   const ProgressCallback& progress, std::string* error, bool& retryable) {
    retryable = false;
    if (!connect(error)) {
        retryable = true;
        return false;
    }

    const std::string relativeText = genericPathUtf8(relativePath);
    const std::wstring requestPath = basePath_ + L"/" + utf8ToWide(percentEncodePath(relativeText));

    DWORD secureFailures = 0;  // outlives the request, whose callback writes it
    RequestHandle request(WinHttpOpenRequest(connection_, L"GET", requestPath.c_str(), nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES, secure_ ? WINHTTP_FLAG_SECURE : 0));
    if (request.get() == nullptr) {
        retryable = true;
        appendWindowsError("Could not create patch request", error);
        closeConnection();
        return false;
    }

    watchSecureFailures(request.get(), &secureFailures);

    std::string token;
    {
        std::lock_guard<std::mutex> lock(downloadTokenMutex);
        token = downloadToken;
    }
    std::wstring headers;
    if (!token.empty()) headers = L"Authorization: Bearer " + utf8ToWide(token) + L"\r\n";
    const BOOL sent = headers.empty()
                          ? WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                                               0, 0, 0)
                          : WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(-1),
                                               WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    if (!sent || !WinHttpReceiveResponse(request.get(), nullptr)) {
        // A refused certificate stays refused: another attempt cannot help.
        retryable = !describeSecureFailure(GetLastError(), secureFailures, "patch server", error);
        if (retryable) appendWindowsError("Patch server did not respond", error);
        closeConnection();
        return false;
    }

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        status = 0;
    }
    if (status != 200) {
        if (status == 401 || status == 403) {
            setError(error, "The download server did not accept your login (HTTP " + std::to_string(status) +
                                "). Log in again and retry.");
        } else {
            setError(error, "Patch server returned HTTP " + std::to_string(status) + " for " + relativeText + ".");
        }
        retryable = status >= 500;
        return false;
    }

    wchar_t lengthText[64] = {};
    DWORD lengthSize = sizeof(lengthText);
    std::uint64_t expected = 0;
    if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, lengthText,
                            &lengthSize, WINHTTP_NO_HEADER_INDEX)) {
        lengthText[63] = L'\0';
        expected = parseLength(lengthText);
    }

    DWORD folderError = 0;
    if (!createFolderChain(destination.parent_path(), folderError)) {
        setError(error, "Could not create download folder: " + systemMessage(folderError));
        return false;
    }

    const std::filesystem::path temporary = destination.native() + L".download";
    // Some WinHTTP builds (Wine's) hand out the body 8 KiB at a time; a
    // chunk-sized stream buffer keeps the file writes at 128 KiB anyway.
    std::vector<char> fileBuffer(kChunkBytes);
    std::ofstream file;
    file.rdbuf()->pubsetbuf(fileBuffer.data(), static_cast<std::streamsize>(fileBuffer.size()));
    file.open(temporary, std::ios::binary | std::ios::trunc);
    if (!file) {
        setError(error, "Could not create download file: " + pathToUtf8(temporary));
        return false;
    }

    // A broken transfer leaves no partial file, and its connection is not reused.
    auto abandonTransfer = [&] {
        file.close();
        removeFile(temporary);
        closeConnection();
        retryable = true;
        return false;
    };

    std::vector<char> buffer(kChunkBytes);
    std::uint64_t received = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            appendWindowsError("Patch download interrupted", error);
            return abandonTransfer();
        }
        if (available == 0) break;
        while (available > 0) {
            DWORD read = 0;
            if (!WinHttpReadData(request.get(), buffer.data(), std::min(available, kChunkBytes), &read) || read == 0) {
                appendWindowsError("Patch download read failed", error);
                return abandonTransfer();
            }
            if (!file.write(buffer.data(), read)) {
                file.close();
                removeFile(temporary);
                setError(error, "Could not write downloaded patch file.");
                return false;
            }
            received += read;
            available -= std::min(available, read);
            if (progress && expected != 0) {
                progress(std::min(static_cast<float>(received) / static_cast<float>(expected), 1.0f));
            }
        }
    }

    // Buffered bytes reach the disk only here, so a failing close is a
    // failed write too.
    file.close();
    if (file.fail()) {
        removeFile(temporary);
        setError(error, "Could not write downloaded patch file.");
        return false;
    }
    if (expected != 0 && expected != received) {
        setError(error, "Patch download size did not match the server response.");
        return abandonTransfer();
    }

    // Replacing in one move (never deleting first) keeps the previous copy
    // when the move fails.
    if (!MoveFileExW(temporary.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        const DWORD code = GetLastError();
        setError(error, "Could not finalize downloaded file: " + systemMessage(code));
        return false;
    }

    if (progress) progress(1.0f);
    if (error != nullptr) error->clear();
    return true;
}

bool downloadWithRetries(PatchDownloader& downloader, const std::filesystem::path& relativePath,
                         const std::filesystem::path& destination, const ProgressCallback& progress,
                         std::string* error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool retryable = false;
        if (downloader.downloadOnce(relativePath, destination, progress, error, retryable)) return true;
        if (!retryable) return false;
        Sleep(static_cast<DWORD>(250 * (attempt + 1)));
    }
    return false;
}

bool downloadPatchFile(const std::string& baseUrl, const std::filesystem::path& relativePath,
                       const std::filesystem::path& destination, const ProgressCallback& progress,
                       std::string* error) {
    if (!isHttpUrl(baseUrl)) {
        setError(error, "Patch source is not an HTTP URL.");
        return false;
    }
    PatchDownloader downloader(baseUrl);
    return downloadWithRetries(downloader, relativePath, destination, progress, error);
}
