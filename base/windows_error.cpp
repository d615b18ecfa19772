#include "base/windows_error.h"

#include "base/diagnostic_log.h"
#include "base/utf8_paths.h"

namespace {

std::string trimTrailingSpace(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

}  // namespace

std::string windowsErrorMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) text = trimTrailingSpace(wideToUtf8(std::wstring_view(buffer, length)));
    if (buffer != nullptr) LocalFree(buffer);
    if (text.empty()) text = "Windows error " + std::to_string(code) + ".";
    return text;
}

std::string errorCodeMessage(const std::error_code& ec) {
    if (ec.category() == std::system_category()) return windowsErrorMessage(static_cast<DWORD>(ec.value()));
    std::string text = trimTrailingSpace(ec.message());
    if (text.empty()) text = "Error " + std::to_string(ec.value());
    if (text.back() != '.') text += '.';
    return text;
}

std::string withWindowsError(std::string_view text, DWORD code) {
    return std::string(text) + " (Windows error " + std::to_string(code) + ").";
}

bool appendWindowsError(std::string_view text, std::string* error) {
    const DWORD code = GetLastError();
    if (error != nullptr) *error = withWindowsError(text, code);
    // Where the failure is formed, so support sees it even when a caller words it otherwise.
    logWarning("windows", withWindowsError(text, code) + " " + windowsErrorMessage(code));
    SetLastError(code);
    return false;
}
