#pragma once
// A download kept for resuming: "<destination>.download" holds the bytes that
// arrived, and "<destination>.download.resume" beside it says where they came
// from (the URL asked for, before redirects, and the validator), so the
// next attempt can ask that server for the rest only while its copy is the
// same.

#include <filesystem>
#include <string>

struct ResumeRecord {
    std::string url;        // the URL asked for, before redirects
    std::string validator;  // a strong ETag (quotes included) or a Last-Modified date
};

// "<destination>.download"
std::filesystem::path partialDownloadPath(const std::filesystem::path& destination);
// "<destination>.download.resume"
std::filesystem::path resumeRecordPath(const std::filesystem::path& destination);

// False when the record is missing, unreadable, damaged or not one of ours
// (an older record, which named the URL after redirects, included).
[[nodiscard]] bool readResumeRecord(const std::filesystem::path& path, ResumeRecord& record);

// Writes the small text file; false when it could not be written whole
// (a partial record is then removed again).
[[nodiscard]] bool writeResumeRecord(const std::filesystem::path& path, const ResumeRecord& record);

// The validator of an answer that may be resumed later: a strong ETag when
// there is one, else Last-Modified when no weak ETag came and it is at least
// one second older than the answer's Date (a copy changed within its second
// keeps the date); empty when neither can be used.
std::string resumeValidator(const std::string& etag, const std::string& lastModified, const std::string& date);
