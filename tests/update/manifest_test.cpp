#include "update/manifest.h"

#include "base/utf8_paths.h"
#include "tests/support/test_paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kDigest(64, 'a');
const std::string kOtherDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string entry(const std::string& path, const std::string& extra = "") {
    return "{\"path\": \"" + path + "\", \"sha256\": \"" + kDigest + "\"" + extra + "}";
}

std::string manifestWith(const std::string& files) {
    return "{\"schemaVersion\": 1, \"releaseId\": \"r1\", \"files\": [" + files + "]}";
}

class ManifestTest : public ::testing::Test {
protected:
    // Loads `text` from a real file; the error text starts non-empty so that
    // clearing it on success is visible.
    bool load(const std::string& text, ReleaseManifest& manifest) {
        writeTextFile(file(), text);
        error = "stale";
        return loadReleaseManifest(file(), manifest, &error);
    }
    bool loads(const std::string& text) {
        ReleaseManifest manifest;
        return load(text, manifest);
    }
    std::filesystem::path file() const { return scratch / "update_manifest.json"; }
    std::string invalidMessage() const { return "Manifest is invalid or unsupported: " + pathToUtf8(file()); }

    std::vector<std::string> genericPaths(const ReleaseManifest& manifest) {
        std::vector<std::string> paths;
        for (const auto& f : manifest.files) paths.push_back(genericPathUtf8(f.path));
        return paths;
    }

    ScratchDir scratch;
    std::string error;
};

// --- Grammar --------------------------------------------------------------

TEST_F(ManifestTest, LoadsATypicalManifest) {
    ReleaseManifest manifest;
    ASSERT_TRUE(
        load("{\n  \"schemaVersion\": 1,\n  \"minimumLauncherVersion\": 1,\n  \"releaseId\": \"2024.06-a\",\n"
             "  \"files\": [\n"
             "    {\"path\": \"bin/game.pak\", \"size\": 1048576, \"sha256\": \"" +
                 kOtherDigest +
                 "\"},\n"
                 "    {\"path\": \"data\\\\maps\\\\a.bin\", \"size\": 0, \"sha256\": \"" +
                 kDigest +
                 "\"}\n"
                 "  ]\n}\n",
             manifest));
    EXPECT_EQ(error, "");
    EXPECT_EQ(manifest.schemaVersion, 1);
    EXPECT_EQ(manifest.minimumLauncherVersion, 1);
    EXPECT_EQ(manifest.releaseId, "2024.06-a");
    ASSERT_EQ(manifest.files.size(), 2u);
    EXPECT_EQ(manifest.files[0].path.native(), L"bin/game.pak");
    EXPECT_EQ(manifest.files[0].size, 1048576u);
    EXPECT_EQ(manifest.files[0].sha256, kOtherDigest);
    EXPECT_EQ(manifest.files[1].path.native(), L"data\\maps\\a.bin");
    EXPECT_EQ(manifest.files[1].size, 0u);
}

TEST_F(ManifestTest, LoadsTheSmallestManifestWithDefaults) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load("{\"schemaVersion\":1,\"releaseId\":\"x\"}", manifest));
    EXPECT_EQ(manifest.releaseId, "x");
    EXPECT_EQ(manifest.minimumLauncherVersion, 0);
    EXPECT_TRUE(manifest.files.empty());
}

TEST_F(ManifestTest, GivesSizeZeroToAnEntryWithoutSize) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load(manifestWith(entry("a.pak")), manifest));
    ASSERT_EQ(manifest.files.size(), 1u);
    EXPECT_EQ(manifest.files[0].size, 0u);
}

TEST_F(ManifestTest, AcceptsTheLargestSizeThatFitsInSixtyFourBits) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load(manifestWith(entry("a.pak", ", \"size\": 18446744073709551615")), manifest));
    EXPECT_EQ(manifest.files[0].size, 18446744073709551615u);
}

TEST_F(ManifestTest, AcceptsTrailingCommasEverywhere) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load("{\"schemaVersion\": 1, \"releaseId\": \"r\", \"files\": [{\"path\": \"a\", \"sha256\": \"" +
                         kDigest + "\",}, ],}",
                     manifest));
    EXPECT_EQ(manifest.files.size(), 1u);
    EXPECT_TRUE(loads("{\"schemaVersion\": 1, \"releaseId\": \"r\", \"files\": [],}"));
}

TEST_F(ManifestTest, AcceptsLeadingAndTrailingWhitespaceOfEveryKind) {
    EXPECT_TRUE(loads(" \t\r\n\v\f{\f\"schemaVersion\"\v:\t1\r,\n\"releaseId\" : \"r\" } \t\r\n\v\f"));
}

TEST_F(ManifestTest, RefusesAByteOrderMark) {
    EXPECT_FALSE(loads("\xEF\xBB\xBF{\"schemaVersion\":1,\"releaseId\":\"r\"}"));
    EXPECT_EQ(error, invalidMessage());
}

TEST_F(ManifestTest, LetsALaterKeyOverwriteAnEarlierOne) {
    ReleaseManifest manifest;
    ASSERT_TRUE(
        load("{\"releaseId\":\"old\",\"schemaVersion\":7,\"releaseId\":\"new\",\"schemaVersion\":1}", manifest));
    EXPECT_EQ(manifest.releaseId, "new");
    EXPECT_EQ(manifest.schemaVersion, 1);
}

TEST_F(ManifestTest, AppendsTheEntriesOfASecondFilesArray) {
    ReleaseManifest manifest;
    ASSERT_TRUE(
        load("{\"schemaVersion\":1,\"releaseId\":\"r\",\"files\":[" + entry("b") + "],\"files\":[" + entry("a") + "]}",
             manifest));
    EXPECT_EQ(genericPaths(manifest), (std::vector<std::string>{"a", "b"}));
}

TEST_F(ManifestTest, MatchesKeysCaseSensitively) {
    EXPECT_FALSE(loads("{\"SchemaVersion\":1,\"releaseId\":\"r\"}"));  // no schema version at all
    EXPECT_EQ(error, invalidMessage());
    ReleaseManifest manifest;
    ASSERT_TRUE(
        load("{\"schemaVersion\":1,\"releaseId\":\"r\",\"ReleaseId\":\"other\",\"releaseIdx\":\"y\"}", manifest));
    EXPECT_EQ(manifest.releaseId, "r");
}

TEST_F(ManifestTest, DecodesTheEightEscapesAndKeepsOtherBytesUnchanged) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load("{\"schemaVersion\":1,\"releaseId\":\"\\\"\\/\\\\\\b\\f\\n\\r\\t\x01\xC3\xA9\"}", manifest));
    EXPECT_EQ(manifest.releaseId, "\"/\\\b\f\n\r\t\x01\xC3\xA9");
}

TEST_F(ManifestTest, RefusesAnyOtherEscapeIncludingUnicodeEscapes) {
    EXPECT_FALSE(loads("{\"schemaVersion\":1,\"releaseId\":\"\\u0041\"}"));
    EXPECT_EQ(error, invalidMessage());
    EXPECT_FALSE(loads("{\"schemaVersion\":1,\"releaseId\":\"\\x\"}"));
    EXPECT_FALSE(loads("{\"schemaVersion\":1,\"releaseId\":\"r\",\"note\":\"\\a\"}"));
}

TEST_F(ManifestTest, SkipsAnUnknownObjectWithBracesAndEscapedQuotesInStrings) {
    ReleaseManifest manifest;
    ASSERT_TRUE(
        load("{\"schemaVersion\":1,\"extra\":{\"a\":\"}}\\\"{\",\"b\":{\"c\":[1,2]}},\"releaseId\":\"r\"}", manifest));
    EXPECT_EQ(manifest.releaseId, "r");
}

TEST_F(ManifestTest, SkipsAnUnknownArrayCountingOnlySquareBrackets) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load("{\"schemaVersion\":1,\"extra\":[[\"]\"],{],\"releaseId\":\"r\"}", manifest));
    EXPECT_EQ(manifest.releaseId, "r");
}

TEST_F(ManifestTest, SkipsBareTextUpToTheNextComma) {
    ReleaseManifest manifest;
    ASSERT_TRUE(
        load("{\"schemaVersion\":1,\"note\": not json at all ,\"flag\":true,\"n\":null,\"f\":-1.5e3,"
             "\"releaseId\":\"r\"}",
             manifest));
    EXPECT_EQ(manifest.releaseId, "r");
}

TEST_F(ManifestTest, SkipsUnknownKeysInFileObjects) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load(manifestWith("{\"mode\":\"0755\",\"path\":\"a\",\"tags\":[\"x\"],\"sha256\":\"" + kDigest +
                                  "\",\"meta\":{\"k\":1}}"),
                     manifest));
    EXPECT_EQ(manifest.files.size(), 1u);
}

TEST_F(ManifestTest, RefusesUnterminatedUnknownValues) {
    EXPECT_FALSE(loads("{\"schemaVersion\":1,\"releaseId\":\"r\",\"extra\":{\"a\":1"));
    EXPECT_EQ(error, invalidMessage());
    EXPECT_FALSE(loads("{\"schemaVersion\":1,\"releaseId\":\"r\",\"extra\":\"open"));
}

// --- Refusals -------------------------------------------------------------

TEST_F(ManifestTest, ReportsAMissingFile) {
    ReleaseManifest manifest;
    error = "stale";
    const auto missing = scratch / "absent.json";
    EXPECT_FALSE(loadReleaseManifest(missing, manifest, &error));
    EXPECT_EQ(error, "Could not open manifest: " + pathToUtf8(missing));
}

TEST_F(ManifestTest, RefusesWrongOrMissingSchemaVersions) {
    const std::vector<std::string> refused = {
        "{\"schemaVersion\":2,\"releaseId\":\"r\"}",          "{\"releaseId\":\"r\"}",
        "{\"schemaVersion\":0,\"releaseId\":\"r\"}",          "{\"schemaVersion\":1.0,\"releaseId\":\"r\"}",
        "{\"schemaVersion\":2147483648,\"releaseId\":\"r\"}", "{\"schemaVersion\":-1,\"releaseId\":\"r\"}",
        "{\"schemaVersion\":1e0,\"releaseId\":\"r\"}",        "{\"schemaVersion\":\"1\",\"releaseId\":\"r\"}",
        "{\"schemaVersion\":+1,\"releaseId\":\"r\"}",
    };
    for (const auto& text : refused) {
        EXPECT_FALSE(loads(text)) << text;
        EXPECT_EQ(error, invalidMessage()) << text;
    }
}

TEST_F(ManifestTest, KeepsTheLargestVersionThatFitsAndRefusesTheNext) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load("{\"schemaVersion\":1,\"minimumLauncherVersion\":2147483647,\"releaseId\":\"r\"}", manifest));
    EXPECT_EQ(manifest.minimumLauncherVersion, 2147483647);
    EXPECT_FALSE(loads("{\"schemaVersion\":1,\"minimumLauncherVersion\":2147483648,\"releaseId\":\"r\"}"));
    EXPECT_EQ(error, invalidMessage());
}

TEST_F(ManifestTest, KeepsTheReleaseSequenceAndRefusesAnyValueButAWholeNumberFromOne) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load("{\"schemaVersion\":1,\"releaseId\":\"r\"}", manifest));
    EXPECT_EQ(manifest.releaseSequence, 0);
    ASSERT_TRUE(load("{\"schemaVersion\":1,\"releaseSequence\":2147483647,\"releaseId\":\"r\"}", manifest));
    EXPECT_EQ(manifest.releaseSequence, 2147483647);
    for (const char* value : {"0", "2147483648", "-1", "1.0", "\"3\"", "1e2", "null"}) {
        const std::string text =
            std::string("{\"schemaVersion\":1,\"releaseSequence\":") + value + ",\"releaseId\":\"r\"}";
        EXPECT_FALSE(loads(text)) << text;
        EXPECT_EQ(error, invalidMessage()) << text;
    }
}

TEST_F(ManifestTest, RefusesAnEmptyOrMissingReleaseId) {
    EXPECT_FALSE(loads("{\"schemaVersion\":1,\"releaseId\":\"\"}"));
    EXPECT_EQ(error, invalidMessage());
    EXPECT_FALSE(loads("{\"schemaVersion\":1}"));
    EXPECT_EQ(error, invalidMessage());
}

TEST_F(ManifestTest, RefusesTextsThatAreNotOneObject) {
    const std::vector<std::string> refused = {
        "",
        "   ",
        "[]",
        "\"r\"",
        "{\"schemaVersion\":1,\"releaseId\":\"r\"",
        "{\"schemaVersion\":1,\"releaseId\":\"r\"}x",
        "{\"schemaVersion\":1,\"releaseId\":\"r\"}{}",
        "{\"schemaVersion\":1 \"releaseId\":\"r\"}",
        "{\"schemaVersion\" 1,\"releaseId\":\"r\"}",
        "{schemaVersion:1,\"releaseId\":\"r\"}",
        "{,\"schemaVersion\":1,\"releaseId\":\"r\"}",
        "{\"schemaVersion\":1,,\"releaseId\":\"r\"}",
        "{\"schemaVersion\":1,\"releaseId\":r}",
        "{\"schemaVersion\":1,\"releaseId\":\"r\",\"files\":{}}",
        "{\"schemaVersion\":1,\"releaseId\":\"r\",\"files\":[" + entry("a") + "}",
        "{\"schemaVersion\":1,\"releaseId\":\"r\",\"files\":[" + entry("a") + " " + entry("b") + "]}",
    };
    for (const auto& text : refused) {
        EXPECT_FALSE(loads(text)) << text;
        EXPECT_EQ(error, invalidMessage()) << text;
    }
}

TEST_F(ManifestTest, RefusesFileElementsThatAreNotObjects) {
    EXPECT_FALSE(loads(manifestWith("\"a\"")));
    EXPECT_EQ(error, invalidMessage());
    EXPECT_FALSE(loads(manifestWith("[]")));
    EXPECT_FALSE(loads(manifestWith(",")));
}

TEST_F(ManifestTest, RefusesEntriesWithoutAValidPathOrDigest) {
    const std::vector<std::string> refused = {
        "{\"sha256\":\"" + kDigest + "\"}",
        "{\"path\":\"a\"}",
        "{\"path\":\"a\",\"sha256\":\"" + std::string(63, 'a') + "\"}",
        "{\"path\":\"a\",\"sha256\":\"" + std::string(65, 'a') + "\"}",
        entry("../x"),
        entry(""),
        entry("/x"),
        entry("C:x"),
        entry("a/./b"),
        entry("a/b/"),
        "{\"path\":\"a\",\"size\":\"1\",\"sha256\":\"" + kDigest + "\"}",
        "{\"path\":\"a\",\"size\":-1,\"sha256\":\"" + kDigest + "\"}",
        "{\"path\":\"a\",\"size\":1.5,\"sha256\":\"" + kDigest + "\"}",
        "{\"path\":1,\"sha256\":\"" + kDigest + "\"}",
    };
    for (const auto& element : refused) {
        EXPECT_FALSE(loads(manifestWith(element))) << element;
        EXPECT_EQ(error, invalidMessage()) << element;
    }
}

TEST_F(ManifestTest, AcceptsAnUpperCaseDigestOfTheRightLength) {
    EXPECT_TRUE(loads(manifestWith("{\"path\":\"a\",\"sha256\":\"" + std::string(64, 'A') + "\"}")));
}

TEST_F(ManifestTest, RefusesNumbersWithMoreDigitsThanFitInSixtyFourBits) {
    // 2^64 + 1 would wrap to 1: a huge size must not pass for a small one,
    // nor a huge version for schema 1.
    EXPECT_FALSE(loads(manifestWith(entry("a.pak", ", \"size\": 18446744073709551617"))));
    EXPECT_EQ(error, invalidMessage());
    EXPECT_FALSE(loads(manifestWith(entry("a.pak", ", \"size\": 18446744073709551616"))));
    EXPECT_FALSE(loads("{\"schemaVersion\":18446744073709551617,\"releaseId\":\"r\"}"));
    EXPECT_EQ(error, invalidMessage());
    EXPECT_FALSE(loads("{\"schemaVersion\":1,\"minimumLauncherVersion\":18446744073709551616,\"releaseId\":\"r\"}"));
    EXPECT_EQ(error, invalidMessage());
}

TEST_F(ManifestTest, RefusesPathsNamingAnAlternateDataStream) {
    EXPECT_FALSE(loads(manifestWith(entry("bin/game.exe:payload"))));
    EXPECT_EQ(error, invalidMessage());
}

TEST_F(ManifestTest, WorksWithoutAnErrorText) {
    writeTextFile(file(), "{}");
    ReleaseManifest manifest;
    EXPECT_FALSE(loadReleaseManifest(file(), manifest));
    writeTextFile(file(), "{\"schemaVersion\":1,\"releaseId\":\"r\"}");
    EXPECT_TRUE(loadReleaseManifest(file(), manifest));
}

TEST_F(ManifestTest, LeavesTheCallersManifestUntouchedOnEveryFailure) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load("{\"schemaVersion\":1,\"minimumLauncherVersion\":3,\"releaseId\":\"kept\",\"files\":[" +
                         entry("keep.pak", ",\"size\":9") + "]}",
                     manifest));
    const std::string failures[] = {
        "{\"schemaVersion\":1,\"releaseId\":\"new\",\"files\":[" + entry("x") + "," + entry("x") + "]}",
        "{\"schemaVersion\":2,\"releaseId\":\"new\",\"files\":[" + entry("x") + "]}",
        "{\"schemaVersion\":1,\"releaseId\":\"new\",\"files\":[" + entry("x") + "," + entry("../y") + "]}",
    };
    for (const auto& text : failures) {
        EXPECT_FALSE(load(text, manifest)) << text;
        EXPECT_EQ(manifest.releaseId, "kept");
        EXPECT_EQ(manifest.minimumLauncherVersion, 3);
        ASSERT_EQ(manifest.files.size(), 1u);
        EXPECT_EQ(manifest.files[0].path.native(), L"keep.pak");
        EXPECT_EQ(manifest.files[0].size, 9u);
    }
    std::filesystem::remove(file());
    EXPECT_FALSE(loadReleaseManifest(file(), manifest, &error));
    EXPECT_EQ(manifest.releaseId, "kept");
    EXPECT_EQ(manifest.files.size(), 1u);
}

// --- Order and duplicates -------------------------------------------------

TEST_F(ManifestTest, SortsByTheBytesOfTheGenericPath) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load(manifestWith(entry("a/b") + "," + entry("a.pak") + "," + entry("B.pak") + "," +
                                  entry("\xC3\xA9.pak") + "," + entry("a\\\\a") + "," + entry("Z")),
                     manifest));
    // "." (0x2E) before "/" (0x2F); upper case before lower case; UTF-8 last.
    EXPECT_EQ(genericPaths(manifest), (std::vector<std::string>{"B.pak", "Z", "a.pak", "a/a", "a/b", "\xC3\xA9.pak"}));
}

TEST_F(ManifestTest, ReportsSlashAndBackslashSpellingsAsDuplicates) {
    EXPECT_FALSE(loads(manifestWith(entry("bin/a.pak") + "," + entry("bin\\\\a.pak"))));
    EXPECT_EQ(error, "Manifest contains duplicate paths.");
}

// Windows opens one file for both spellings, so one entry would overwrite
// or remove the other.
TEST_F(ManifestTest, RefusesPathsThatDifferOnlyInLetterCase) {
    for (const auto& twins : {entry("Bin/a.pak") + "," + entry("bin/a.pak"),
                              entry("Data/a.pak") + "," + entry("x.pak") + "," + entry("data\\\\A.pak"),
                              entry("\xC3\x89t\xC3\xA9.pak") + "," + entry("\xC3\xA9T\xC3\x89.pak")}) {
        EXPECT_FALSE(loads(manifestWith(twins))) << twins;
        EXPECT_EQ(error, invalidMessage()) << twins;
    }
    ReleaseManifest manifest;
    ASSERT_TRUE(load(manifestWith(entry("Data/a.pak") + "," + entry("data/b.pak")), manifest));
    EXPECT_EQ(manifest.files.size(), 2u);
}

// On Windows "GAMEDA~1.PAK" can be the other name of "gamedata.pak", under
// Wine "GAME~XOK.PAK": one entry would overwrite or remove the other.
TEST_F(ManifestTest, RefusesPathElementsInTheFormOfAnEightDotThreeName) {
    for (const char* path :
         {"GAMEDA~1.PAK", "data/PROGRA~2/a.pak", "a~1", "ABCDEF~1.p", "A~123456", "TIND~XOK.EXE", "ab~~~x0z"}) {
        EXPECT_FALSE(loads(manifestWith(entry(path)))) << path;
        EXPECT_EQ(error, invalidMessage()) << path;
    }
    for (const char* path : {"backup~2024.txt", "ABCDEFG~1.pak", "a~b.pak", "~1.pak", "GAMEDA~1.PAKS", "A~1234567",
                             "ABCD~XY6", "AB~C~XYZ"}) {
        EXPECT_TRUE(loads(manifestWith(entry(path)))) << path;
    }
}

TEST_F(ManifestTest, ReportsPathsThatDifferOnlyInSeparatorRunsAsDuplicates) {
    EXPECT_FALSE(loads(manifestWith(entry("a//b") + "," + entry("a/b"))));
    EXPECT_EQ(error, "Manifest contains duplicate paths.");
    EXPECT_FALSE(loads(manifestWith(entry("a\\\\/b") + "," + entry("a/b"))));
    EXPECT_EQ(error, "Manifest contains duplicate paths.");
}

TEST_F(ManifestTest, FindsDuplicatesThatTheByteOrderSeparates) {
    // "a/a" sorts between "a//b" and "a/b", which name one file.
    EXPECT_FALSE(loads(manifestWith(entry("a//b") + "," + entry("a/a") + "," + entry("a/b"))));
    EXPECT_EQ(error, "Manifest contains duplicate paths.");
}

// --- Text encoding --------------------------------------------------------

TEST_F(ManifestTest, ConvertsPathsFromUtf8ToTheRightWideName) {
    ReleaseManifest manifest;
    // "Ωdata/地图/Käse €.pak": none of it survives a Western code page.
    ASSERT_TRUE(load(manifestWith(entry("\xCE\xA9"
                                        "data/\xE5\x9C\xB0\xE5\x9B\xBE/K\xC3\xA4se \xE2\x82\xAC.pak")),
                     manifest));
    ASSERT_EQ(manifest.files.size(), 1u);
    EXPECT_EQ(manifest.files[0].path.native(), L"\u03A9data/\u5730\u56FE/K\u00E4se \u20AC.pak");
    EXPECT_EQ(genericPathUtf8(manifest.files[0].path),
              "\xCE\xA9"
              "data/\xE5\x9C\xB0\xE5\x9B\xBE/K\xC3\xA4se \xE2\x82\xAC.pak");
}

TEST_F(ManifestTest, SurvivesPathsThatAreNotValidUtf8) {
    ReleaseManifest manifest;
    ASSERT_TRUE(load(manifestWith(entry("bad\xFF\xC3.pak")), manifest));
    ASSERT_EQ(manifest.files.size(), 1u);
    EXPECT_EQ(manifest.files[0].path.native().substr(0, 3), L"bad");
    EXPECT_NE(manifest.files[0].path.native().find(L'\uFFFD'), std::wstring::npos);
}

TEST_F(ManifestTest, NamesANonAsciiManifestPathInItsMessage) {
    const auto folder = scratch / pathFromUtf8("r\xC3\xA9lease \xE5\x9C\xB0");
    std::filesystem::create_directories(folder);
    const auto path = folder / L"update_manifest.json";
    writeTextFile(path, "{}");
    ReleaseManifest manifest;
    EXPECT_FALSE(loadReleaseManifest(path, manifest, &error));
    EXPECT_EQ(error, "Manifest is invalid or unsupported: " + pathToUtf8(path));
    EXPECT_NE(error.find("r\xC3\xA9lease \xE5\x9C\xB0\\update_manifest.json"), std::string::npos);
}

// --- The path rules -------------------------------------------------------

TEST(IsSafeRelativePath, AcceptsPlainRelativePaths) {
    for (const wchar_t* text : {L"bin/game.pak", L"data\\maps\\a.bin", L"a//b", L"a", L".hidden", L"a..b"}) {
        EXPECT_TRUE(isSafeRelativePath(text)) << pathToUtf8(text);
    }
}

TEST(IsSafeRelativePath, RefusesRootsParentsDotsAndEmptyElements) {
    for (const wchar_t* text : {L"", L"/x", L"\\x", L"C:x", L"C:\\x", L"C:/x", L"\\\\server\\share\\x", L"//server/x",
                                L"../x", L"a/../b", L"a/..", L"./a", L"a/.", L"a/b/", L"a\\b\\", L"..."}) {
        EXPECT_FALSE(isSafeRelativePath(text)) << pathToUtf8(text);
    }
}

TEST(IsSafeRelativePath, RefusesAColonInAnyElement) {
    EXPECT_FALSE(isSafeRelativePath(L"game.exe:stream"));
    EXPECT_FALSE(isSafeRelativePath(L"bin/game.exe::$DATA"));
    EXPECT_FALSE(isSafeRelativePath(L"a/C:b"));
    EXPECT_FALSE(isSafeRelativePath(L"a:"));
}

TEST(IsSafeRelativePath, RefusesAnEmbeddedNul) {
    // Windows calls stop at the NUL, so "x/..<NUL>y" would act as "x/..".
    EXPECT_FALSE(isSafeRelativePath(std::wstring(L"x/..\0y", 6)));
    EXPECT_FALSE(isSafeRelativePath(std::wstring(L"a\0", 2)));
}

TEST(SamePathElements, TreatsSlashAndBackslashAlikeAndCollapsesRuns) {
    EXPECT_TRUE(samePathElements(L"bin/a.pak", L"bin\\a.pak"));
    EXPECT_TRUE(samePathElements(L"a//b", L"a\\b"));
    EXPECT_TRUE(samePathElements(L"a/\\/b/c", L"a/b\\c"));
    EXPECT_TRUE(samePathElements(L"a", L"a"));
}

TEST(SamePathElements, ComparesElementsExactly) {
    EXPECT_FALSE(samePathElements(L"Bin/a.pak", L"bin/a.pak"));
    EXPECT_FALSE(samePathElements(L"a/b", L"a/b/c"));
    EXPECT_FALSE(samePathElements(L"a/b", L"ab"));
    EXPECT_FALSE(samePathElements(L"a/b", L"a/b/"));
    EXPECT_FALSE(samePathElements(L"/a", L"a"));
    EXPECT_TRUE(samePathElements(L"/a", L"\\a"));
    EXPECT_TRUE(samePathElements(L"", L""));
    EXPECT_FALSE(samePathElements(L"", L"a"));
}

}  // namespace
