#include "base/secure_failure.h"

#include <gtest/gtest.h>

#include <string>

// Wine reports no reason at all (every refused certificate is error 12157);
// these reasons come from Windows, so they are checked here rather than over
// a real connection.

TEST(SecureFailure, NamesWhatFailedFromTheWindowsErrorCode) {
    const struct {
        DWORD code;
        const char* text;
    } cases[] = {
        {ERROR_WINHTTP_SECURE_INVALID_CA, "The patch server's certificate is not trusted (Windows error 12045)."},
        {ERROR_WINHTTP_SECURE_CERT_CN_INVALID,
         "The patch server's certificate does not match the server name (Windows error 12038)."},
        {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID,
         "The patch server's certificate has expired or is not valid yet (Windows error 12037)."},
        {ERROR_WINHTTP_SECURE_CERT_REVOKED, "The patch server's certificate was revoked (Windows error 12170)."},
        {ERROR_WINHTTP_SECURE_FAILURE, "The patch server's certificate could not be verified (Windows error 12175)."},
        {ERROR_WINHTTP_SECURE_INVALID_CERT,
         "The patch server's certificate could not be verified (Windows error 12169)."},
        {ERROR_WINHTTP_SECURE_CHANNEL_ERROR,
         "Could not set up a secure connection to the patch server; its certificate may not be valid "
         "(Windows error 12157)."},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_TRUE(describeSecureFailure(c.code, 0, "patch server", &error)) << c.code;
        EXPECT_EQ(error, c.text);
    }
    std::string error;
    EXPECT_TRUE(describeSecureFailure(ERROR_WINHTTP_SECURE_INVALID_CA, 0, "game server", &error));
    EXPECT_EQ(error, "The game server's certificate is not trusted (Windows error 12045).");
}

TEST(SecureFailure, TellsTheGravestReasonThatTheSecureFailureCallbackReported) {
    std::string error;
    EXPECT_TRUE(
        describeSecureFailure(ERROR_WINHTTP_SECURE_FAILURE,
                              WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA | WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID,
                              "patch server", &error));
    EXPECT_EQ(error, "The patch server's certificate is not trusted (Windows error 12175).");
    EXPECT_TRUE(describeSecureFailure(
        ERROR_WINHTTP_SECURE_FAILURE,
        WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID | WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "game server",
        &error));
    EXPECT_EQ(error, "The game server's certificate has expired or is not valid yet (Windows error 12175).");
    EXPECT_TRUE(describeSecureFailure(
        ERROR_WINHTTP_SECURE_FAILURE,
        WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, "patch server", &error));
    EXPECT_EQ(error, "The patch server's certificate was revoked (Windows error 12175).");
    EXPECT_TRUE(describeSecureFailure(ERROR_WINHTTP_SECURE_FAILURE, WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID,
                                      "patch server", &error));
    EXPECT_EQ(error, "The patch server's certificate does not match the server name (Windows error 12175).");
}

TEST(SecureFailure, LeavesEveryOtherFailureToTheCaller) {
    for (const DWORD code : {ERROR_WINHTTP_TIMEOUT, ERROR_WINHTTP_CANNOT_CONNECT, ERROR_WINHTTP_CONNECTION_ERROR,
                             ERROR_WINHTTP_NAME_NOT_RESOLVED, ERROR_WINHTTP_SECURE_FAILURE_PROXY}) {
        std::string error = "unchanged";
        SetLastError(code);
        EXPECT_FALSE(describeSecureFailure(code, 0, "patch server", &error)) << code;
        EXPECT_EQ(error, "unchanged");
        EXPECT_EQ(GetLastError(), code);
    }
}
