#include "delivery/patch_notes.h"

#include "delivery/patch_notes_worker.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_paths.h"
#include "ui/launcher_state.h"

#include <gtest/gtest.h>

namespace {

struct Parsed {
    bool ok = false;
    std::vector<NewsCard> news{{"old", "", ""}};
    std::vector<PatchNotesEntry> notes{{"old", {}}};
};

Parsed parse(const std::string& text) {
    Parsed parsed;
    parsed.ok = parsePatchNotes(text, parsed.news, parsed.notes);
    return parsed;
}

void resetLists() { replaceNews(LauncherState::builtInNews(), LauncherState::builtInPatchNotes()); }

TEST(PatchNotesDocument, SkipsEntriesWithoutTitleAndKeepsDocumentOrder) {
    Parsed p = parse(R"({"entries":[{"title":"","date":"x"},{"title":"Ashfall","date":"2026-12-01","summary":"S",
        "lines":[{"tag":"Fix","text":"Gate"},{"text":"Only text"},"plain",{"tag":"New"}]},
        {"title":"Second"}]})");
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(p.news.size(), 2u);
    EXPECT_EQ(p.news[0].title, "Ashfall");
    EXPECT_EQ(p.news[0].date, "2026-12-01");
    EXPECT_EQ(p.news[0].summary, "S");
    ASSERT_EQ(p.notes.size(), 2u);
    EXPECT_EQ(p.notes[0].title, "2026-12-01   Ashfall");
    EXPECT_EQ(p.notes[0].lines, (std::vector<std::string>{"Fix: Gate", ": Only text", "New: "}));
    EXPECT_EQ(p.notes[1].title, "   Second");
    EXPECT_TRUE(p.notes[1].lines.empty());
}

TEST(PatchNotesDocument, TreatsNonStringTextMembersAsEmpty) {
    Parsed p = parse(R"({"entries":[{"title":"T","date":7,"summary":null,"lines":[{"tag":{},"text":[1]}]},
        {"title":42}]})");
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(p.news.size(), 1u);
    EXPECT_EQ(p.notes[0].title, "   T");
    EXPECT_EQ(p.notes[0].lines, (std::vector<std::string>{": "}));
}

TEST(PatchNotesDocument, IgnoresLinesThatAreNotAnArrayOfObjects) {
    Parsed p = parse(R"({"entries":[{"title":"T","lines":"a"},{"title":"U","lines":["a","b"]}]})");
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.notes[0].lines.empty());
    EXPECT_TRUE(p.notes[1].lines.empty());
}

TEST(PatchNotesDocument, RefusesUnusableDocumentsAndKeepsTheLists) {
    for (const char* text :
         {"", "{", "[]", R"({"entries":{}})", R"({"other":[]})", R"({"entries":[]})", R"({"entries":[{"title":""},3]})",
          "// c\n{\"entries\":[{\"title\":\"T\"}]}", "{\"entries\":[{\"title\":\"\xff\"}]}"}) {
        Parsed p = parse(text);
        EXPECT_FALSE(p.ok) << text;
        EXPECT_EQ(p.news[0].title, "old");
        EXPECT_EQ(p.notes[0].title, "old");
    }
}

TEST(PatchNotesDocument, AcceptsAByteOrderMark) {
    EXPECT_TRUE(parse("\xEF\xBB\xBF{\"entries\":[{\"title\":\"T\"}]}").ok);
}

TEST(LoadPatchNotes, ReplacesTheStateListsFromAGoodFileOnly) {
    ScratchDir dir;
    resetLists();
    writeTextFile(dir / L"bad.json", "{\"entries\":[{\"title\":\"Trunc");
    loadPatchNotes(dir / L"bad.json");
    loadPatchNotes(dir / L"missing.json");
    LauncherState state = copyLauncherState();
    EXPECT_EQ(state.newsCards.size(), 2u);
    EXPECT_EQ(state.newsCards[0].title, "Welcome to Tinderhallow");

    writeTextFile(dir / L"good.json", R"({"entries":[{"title":"Cinders","lines":[{"tag":"New","text":"Forge"}]}]})");
    loadPatchNotes(dir / L"good.json");
    state = copyLauncherState();
    ASSERT_EQ(state.newsCards.size(), 1u);
    EXPECT_EQ(state.newsCards[0].title, "Cinders");
    EXPECT_EQ(state.patchNotes[0].lines[0], "New: Forge");
}

TEST(LoadPatchNotes, TreatsAnOversizedDocumentLikeAnInvalidOne) {
    ScratchDir dir;
    resetLists();
    std::string text = R"({"entries":[{"title":"Huge","summary":")";
    text.append(static_cast<size_t>(kPatchNotesSizeLimit), 'x');
    text += "\"}]}";
    writeTextFile(dir / L"huge.json", text);
    loadPatchNotes(dir / L"huge.json");
    EXPECT_EQ(copyLauncherState().newsCards[0].title, "Welcome to Tinderhallow");
}

TEST(RunPatchNotes, AnOversizedDownloadIsCutOffAndKeepsTheCachedNotes) {
    ScratchDir dir;
    resetLists();
    ScriptedServer server([](const RecordedRequest&, int) {
        ScriptedResponse response;
        response.generatedBodyBytes = 64ull * 1024 * 1024;
        response.sendContentLength = false;
        return response;
    });
    const std::string cached = R"({"entries":[{"title":"Cached"}]})";
    writeTextFile(dir / L".patch_remote" / L"patch_notes.json", cached);
    writeTextFile(dir / L"patch_source.txt", server.url() + "\n");
    const std::filesystem::path previousDir = currentLauncherDir();
    setLauncherDir(dir.path());
    runPatchNotes();
    setLauncherDir(previousDir);

    EXPECT_EQ(readTextFile(dir / L".patch_remote" / L"patch_notes.json"), cached);
    EXPECT_FALSE(std::filesystem::exists(dir / L".patch_remote" / L"patch_notes.json.download"));
    EXPECT_EQ(copyLauncherState().newsCards[0].title, "Cached");
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_LT(server.bodyBytesSent(), 64ull * 1024 * 1024);
}

}  // namespace
