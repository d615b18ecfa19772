#pragma once
// What one attempt of a PatchDownloader holds: the answer in flight and the
// file its body goes to. Shared by the files that make up the downloader.

#include "delivery/download_client.h"
#include "delivery/partial_download.h"
#include "update/sha256.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

// One read's most: big reads keep WinHTTP's per-call cost off the transfer.
inline constexpr DWORD kReadBytes = 1024 * 1024;

// The request in flight, and the connection to another host when a redirect
// led there. Both are closed on every path out of an attempt.
struct PatchDownloader::Response {
    WinHttpHandle request;
    WinHttpHandle otherHost;
    DWORD status = 0;
    DWORD secureFailures = 0;  // written by the request's status callback
    std::string url;           // where the answer came from, after redirects
    std::string requestUrl;    // what was asked for, before redirects
    bool tokenSent = false;    // a refusal then is the token's, not the host's
    std::string hops;          // " > host" per redirect followed, for the log
};

// One attempt's file: "<destination>.download", and what it already holds
// when an earlier attempt left bytes to resume.
struct PatchDownloader::Transfer {
    std::filesystem::path temporary;
    std::filesystem::path record;  // the resume record beside it
    FileHandle file;               // open from the first byte kept or written
    std::uint64_t held = 0;        // bytes in the file before this answer's body
    ResumeRecord resume;           // where those bytes came from
    bool resumable = false;        // a release file: hashed, and kept when a transfer breaks
    bool recorded = false;         // the resume record names this file's source
    bool complete = false;         // every byte arrived and matched; only the move is left
    DWORD status = 0;              // of the answer the body came with
    Sha256Stream digest{};
};

// Removes a file the downloader made itself; a missing one is no error.
inline void removeFile(const std::filesystem::path& path) { DeleteFileW(path.c_str()); }
