#include "base/diagnostic_log.h"
#include "base/fail.h"
#include "delivery/download_headers.h"
#include "delivery/download_transfer.h"

namespace {

std::string redirectedVia(const std::string& hops) { return hops.empty() ? std::string() : ", redirected" + hops; }

}  // namespace

bool PatchDownloader::fetchSmallFile(const std::filesystem::path& relativePath, std::uint64_t limit,
                                     std::vector<std::uint8_t>& body, DWORD& status, std::string* error) {
    status = 0;
    body.clear();
    bool retryable = false;
    if (!connect(error)) return false;
    const std::string relativeText = genericPathUtf8(relativePath);
    Response response;
    const std::string url = urlWithoutQuery(baseUrl_ + "/" + relativeText);
    if (!openResponse(relativeText, {}, response, error, retryable)) {
        logWarning("http", "GET " + url + ": no answer" + (error != nullptr ? "; " + *error : std::string(".")));
        return false;
    }
    status = response.status;
    if (status != 200) {
        logInfo("http", "GET " + url + ": HTTP " + std::to_string(status) + redirectedVia(response.hops) + ".");
        // An unread error body would be taken for the next answer.
        closeConnection();
        return fail(error, "Patch server returned HTTP " + std::to_string(status) + " for " + relativeText + ".");
    }
    std::uint64_t received = 0;
    const bool read = readWholeBody(
        response.request.get(), limit,
        [&](const std::uint8_t* data, std::size_t size) {
            body.insert(body.end(), data, data + size);
            return true;
        },
        received, error);
    logEvent(read ? LogLevel::Info : LogLevel::Warning, "http",
             "GET " + url + ": HTTP 200, " + std::to_string(received) + " bytes" + redirectedVia(response.hops) +
                 (read ? "." : "; the body broke off."));
    return read;
}

bool PatchDownloader::fetchRange(const std::filesystem::path& relativePath, std::uint64_t first, std::uint64_t last,
                                 std::uint64_t total, const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
                                 bool& ignoresRanges, std::string* error) {
    ignoresRanges = false;
    bool retryable = false;
    if (!connect(error)) return false;
    const std::string relativeText = genericPathUtf8(relativePath);
    const std::wstring headers = L"Range: bytes=" + std::to_wstring(first) + L"-" + std::to_wstring(last) + L"\r\n";
    Response response;
    if (!openResponse(relativeText, headers, response, error, retryable)) return false;
    ContentRange range;
    if (response.status != 206 ||
        !parseContentRange(queryHeaderText(response.request.get(), WINHTTP_QUERY_CONTENT_RANGE), range) ||
        range.first != first || range.last != last || range.total != total) {
        ignoresRanges = response.status == 200;
        logWarning("http", "GET " + urlWithoutQuery(baseUrl_ + "/" + relativeText) + " bytes " + std::to_string(first) +
                               "-" + std::to_string(last) + ": HTTP " + std::to_string(response.status) +
                               ", not the range asked for.");
        closeConnection();
        return fail(error, "Patch server did not send the range asked for of " + relativeText + " (HTTP " +
                               std::to_string(response.status) + ").");
    }
    const std::uint64_t wanted = last - first + 1;
    std::uint64_t received = 0;
    if (!readWholeBody(response.request.get(), wanted, sink, received, error)) return false;
    if (received != wanted) {
        closeConnection();
        return fail(error, "Patch server sent a short range of " + relativeText + ".");
    }
    return true;
}
