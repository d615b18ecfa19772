#include "base/secure_failure.h"

#include "base/windows_error.h"

namespace {

enum class SecureProblem { None, Revoked, NotTrusted, Expired, NameMismatch, Unverified, Channel };

void CALLBACK noteSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length) {
    if (status != WINHTTP_CALLBACK_STATUS_SECURE_FAILURE || context == 0 || information == nullptr ||
        length < sizeof(DWORD)) {
        return;
    }
    *reinterpret_cast<DWORD*>(context) |= *static_cast<const DWORD*>(information);
}

// Several bits can be set at once; the gravest reason is the one told.
SecureProblem problemFromFlags(DWORD flags) {
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) return SecureProblem::Revoked;
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) return SecureProblem::NotTrusted;
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) return SecureProblem::Expired;
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) return SecureProblem::NameMismatch;
    if (flags & (WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT |
                 WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE)) {
        return SecureProblem::Unverified;
    }
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR) return SecureProblem::Channel;
    return SecureProblem::None;
}

SecureProblem problemFromCode(DWORD code) {
    switch (code) {
        case ERROR_WINHTTP_SECURE_CERT_REVOKED: return SecureProblem::Revoked;
        case ERROR_WINHTTP_SECURE_INVALID_CA: return SecureProblem::NotTrusted;
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return SecureProblem::Expired;
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return SecureProblem::NameMismatch;
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        case ERROR_WINHTTP_SECURE_FAILURE: return SecureProblem::Unverified;
        // Windows: no TLS handshake was possible. Wine 8 reports every refused
        // certificate this way too, with no reason and no callback.
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return SecureProblem::Channel;
        default: return SecureProblem::None;
    }
}

}  // namespace

void watchSecureFailures(HINTERNET request, DWORD* flags) {
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(flags);
    if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) return;
    WinHttpSetStatusCallback(request, noteSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
}

bool describeSecureFailure(DWORD code, DWORD flags, std::string_view server, std::string* error) {
    SecureProblem problem = problemFromFlags(flags);
    if (problem == SecureProblem::None) problem = problemFromCode(code);
    if (problem == SecureProblem::None) return false;
    if (error == nullptr) return true;

    const std::string certificate = "The " + std::string(server) + "'s certificate ";
    std::string text;
    switch (problem) {
        case SecureProblem::Revoked: text = certificate + "was revoked"; break;
        case SecureProblem::NotTrusted: text = certificate + "is not trusted"; break;
        case SecureProblem::Expired: text = certificate + "has expired or is not valid yet"; break;
        case SecureProblem::NameMismatch: text = certificate + "does not match the server name"; break;
        case SecureProblem::Unverified: text = certificate + "could not be verified"; break;
        case SecureProblem::Channel:
            text = "Could not set up a secure connection to the " + std::string(server) +
                   "; its certificate may not be valid";
            break;
        case SecureProblem::None: break;
    }
    *error = withWindowsError(text, code);
    return true;
}
