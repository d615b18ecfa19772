#include "account/local_settings.h"

#include "base/product.h"
#include "tests/support/test_paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

TEST(TrimSettingLine, DropsTrailingLineEndsSpacesAndTabs) {
    EXPECT_EQ(trimSettingLine("https://play.example \t\r\n"), "https://play.example");
    EXPECT_EQ(trimSettingLine("\r\n\r\n"), "");
    EXPECT_EQ(trimSettingLine(""), "");
}

TEST(TrimSettingLine, DropsLeadingSpacesAndTabsThenOneByteOrderMark) {
    EXPECT_EQ(trimSettingLine(" \t\xEF\xBB\xBFname"), "name");
    EXPECT_EQ(trimSettingLine("\xEF\xBB\xBF\xEF\xBB\xBFname"), "\xEF\xBB\xBFname");
}

TEST(TrimSettingLine, KeepsSpacesThatFollowTheByteOrderMark) {
    EXPECT_EQ(trimSettingLine("\xEF\xBB\xBF  name"), "  name");
}

TEST(TrimSettingLine, KeepsInnerSpaces) { EXPECT_EQ(trimSettingLine("  a b\tc  "), "a b\tc"); }

TEST(LoadServerUrl, GivesTheBuiltInAddressOnlyWhenTheFileIsMissing) {
    ScratchDir dir;
    EXPECT_EQ(loadServerUrl(dir.path()), kDefaultServerUrl);
    EXPECT_EQ(loadServerUrl(dir / "no such folder"), kDefaultServerUrl);
}

TEST(LoadServerUrl, BuiltInAddressIsHttpsWithoutPathOrTrailingSlash) {
    const std::string url = kDefaultServerUrl;
    ASSERT_EQ(url.rfind("https://", 0), 0u);
    EXPECT_EQ(url.find('/', 8), std::string::npos);
}

TEST(LoadServerUrl, AnEmptyFileGivesAnEmptyAddress) {
    ScratchDir dir;
    writeTextFile(dir / "server_url.txt", "");
    EXPECT_EQ(loadServerUrl(dir.path()), "");
}

TEST(LoadServerUrl, RemovesEveryTrailingSlashAndTheLineEnd) {
    ScratchDir dir;
    writeTextFile(dir / "server_url.txt", "http://127.0.0.1:8080/\r\n");
    EXPECT_EQ(loadServerUrl(dir.path()), "http://127.0.0.1:8080");
    writeTextFile(dir / "server_url.txt", "  https://play.example//  \r\n");
    EXPECT_EQ(loadServerUrl(dir.path()), "https://play.example");
}

TEST(LoadServerUrl, IgnoresAByteOrderMark) {
    ScratchDir dir;
    writeTextFile(dir / "server_url.txt", "\xEF\xBB\xBFhttps://play.example\r\n");
    EXPECT_EQ(loadServerUrl(dir.path()), "https://play.example");
}

TEST(LoadServerUrl, IgnoresTheSecondLine) {
    ScratchDir dir;
    writeTextFile(dir / "server_url.txt", "https://play.example\r\nhttps://other.example\r\n");
    EXPECT_EQ(loadServerUrl(dir.path()), "https://play.example");
}

TEST(LoadServerUrl, AFolderInPlaceOfTheFileGivesAnEmptyAddress) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "server_url.txt");
    EXPECT_EQ(loadServerUrl(dir.path()), "");
}

TEST(LoadServerUrl, AnOverlongFirstLineGivesAnEmptyAddress) {
    ScratchDir dir;
    writeTextFile(dir / "server_url.txt", "https://" + std::string(kMaxSettingLineBytes, 'a'));
    EXPECT_EQ(loadServerUrl(dir.path()), "");
    writeTextFile(dir / "server_url.txt", "https://play.example\n" + std::string(kMaxSettingLineBytes, 'a'));
    EXPECT_EQ(loadServerUrl(dir.path()), "https://play.example");
}

TEST(LoadRememberedAccount, GivesAnEmptyNameWhenTheFileIsMissing) {
    ScratchDir dir;
    EXPECT_EQ(loadRememberedAccount(dir.path()), "");
}

TEST(LoadRememberedAccount, ReadsTheFirstLineWithoutLeadingSpacesOrByteOrderMark) {
    ScratchDir dir;
    writeTextFile(dir / "launcher_account.txt", "   Brannoc\r\nsecond line\r\n");
    EXPECT_EQ(loadRememberedAccount(dir.path()), "Brannoc");
    writeTextFile(dir / "launcher_account.txt",
                  "\xEF\xBB\xBF"
                  "Brannoc\n");
    EXPECT_EQ(loadRememberedAccount(dir.path()), "Brannoc");
}

TEST(LoadRememberedAccount, LoadsTwentyBytesAndRefusesTwentyOne) {
    ScratchDir dir;
    const std::string twenty(20, 'x');
    writeTextFile(dir / "launcher_account.txt", twenty + "\r\n");
    EXPECT_EQ(loadRememberedAccount(dir.path()), twenty);

    // Ten two-byte letters are twenty bytes; eleven are twenty-two.
    std::string tenLetters;
    for (int i = 0; i < 10; ++i) tenLetters += "\xC3\xA9";
    writeTextFile(dir / "launcher_account.txt", tenLetters + "\r\n");
    EXPECT_EQ(loadRememberedAccount(dir.path()), tenLetters);
    writeTextFile(dir / "launcher_account.txt", tenLetters + "\xC3\xA9\r\n");
    EXPECT_EQ(loadRememberedAccount(dir.path()), "");

    writeTextFile(dir / "launcher_account.txt", std::string(21, 'x') + "\r\n");
    EXPECT_EQ(loadRememberedAccount(dir.path()), "");
}

TEST(LoadRememberedAccount, AFolderInPlaceOfTheFileGivesAnEmptyName) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "launcher_account.txt");
    EXPECT_EQ(loadRememberedAccount(dir.path()), "");
}

TEST(SaveRememberedAccount, WritesTheNameWithCarriageReturnLineFeed) {
    ScratchDir dir;
    saveRememberedAccount(dir.path(), "Brannoc \xC3\xA9");
    EXPECT_EQ(readTextFile(dir / "launcher_account.txt"), "Brannoc \xC3\xA9\r\n");
    saveRememberedAccount(dir.path(), "Ty");
    EXPECT_EQ(readTextFile(dir / "launcher_account.txt"), "Ty\r\n");
    EXPECT_EQ(loadRememberedAccount(dir.path()), "Ty");
}

TEST(SaveRememberedAccount, AnEmptyNameDeletesTheFile) {
    ScratchDir dir;
    saveRememberedAccount(dir.path(), "Brannoc");
    ASSERT_TRUE(std::filesystem::exists(dir / "launcher_account.txt"));
    saveRememberedAccount(dir.path(), "");
    EXPECT_FALSE(std::filesystem::exists(dir / "launcher_account.txt"));
    saveRememberedAccount(dir.path(), "");  // a missing file is no error
    EXPECT_EQ(loadRememberedAccount(dir.path()), "");
}

TEST(SaveRememberedAccount, LeavesAFolderInPlaceOfTheFileAlone) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "launcher_account.txt");
    saveRememberedAccount(dir.path(), "Brannoc");
    saveRememberedAccount(dir.path(), "");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "launcher_account.txt"));
}

}  // namespace
