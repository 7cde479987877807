// KeyValueStore: parsing of attribute lines, typed getters and setters, the modified rules and
// how files are created and rewritten.
#include "firmware/KeyValueStore.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "FirmwareTestSupport.h"

namespace {

// The file's lines as written, in order.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (d) {
        struct dirent* e = readdir(d);
        if (!e) break;
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    if (d) closedir(d);
    return names;
}

bool LooksLikeCtime(const std::string& s) {
    // Wed Dec  9 12:36:07 2026
    struct tm t;
    memset(&t, 0, sizeof t);
    const char* end = strptime(s.c_str(), "%a %b %e %H:%M:%S %Y", &t);
    return s.size() == 24 && end && *end == '\0';
}

}  // namespace

// ---- line parsing ----

struct LineCase {
    const char* name;
    std::string line;
    bool entry;
    std::string key;
    std::string value;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseLineTest, SplitsKeyAndValue) {
    std::string key = "unset", value = "unset";
    // The line lives in a buffer of exactly its size: nothing beyond it may be read.
    std::unique_ptr<char[]> exact(new char[GetParam().line.size() + 1]);
    memcpy(exact.get(), GetParam().line.data(), GetParam().line.size());
    exact[GetParam().line.size()] = '\0';
    EXPECT_EQ(KeyValueStore::ParseLine(exact.get(), GetParam().line.size(), &key, &value),
              GetParam().entry);
    if (GetParam().entry) {
        EXPECT_EQ(key, GetParam().key);
        EXPECT_EQ(value, GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseLineTest,
    ::testing::Values(LineCase{"plain", "KEY=value\n", true, "KEY", "value"},
                      LineCase{"white_space_around", " \t KEY \t= \t in ner \t\r\n", true, "KEY",
                               "in ner"},
                      LineCase{"equals_in_value", "A=B=C\n", true, "A", "B=C"},
                      LineCase{"comment", "#X=1\n", false, "", ""},
                      LineCase{"indented_hash_is_a_key", " #X=1\n", true, "#X", "1"},
                      LineCase{"empty_value", "X=\n", true, "X", ""},
                      LineCase{"too_short", "X\n", false, "", ""},
                      LineCase{"two_chars_no_newline", "X=", false, "", ""},
                      LineCase{"no_newline", "K=v", true, "K", "v"},
                      LineCase{"no_equals", "  lonely key \n", true, "lonely key", ""},
                      LineCase{"blank", "     \n", false, "", ""},
                      LineCase{"nothing_before_equals", "  =v\n", false, "", ""},
                      LineCase{"case_kept", "Key=Value\n", true, "Key", "Value"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

// ---- loading ----

TEST(KeyValueStoreLoad, ReadsFileLaterLinesReplaceEarlier) {
    TempDir dir;
    WriteText(dir / ".settings",
              "# written by hand\n"
              "LATEST_DOWNLOAD = 12345.bird\n"
              "NAME=rack 4 = left\n"
              "\n"
              "X=\n"
              "LATEST_DOWNLOAD=12346.bird\n"
              "  #K = 1\n");
    KeyValueStore store(dir / ".settings");
    EXPECT_EQ(store.path(), dir / ".settings");
    EXPECT_FALSE(store.modified());
    EXPECT_EQ(store.GetString("LATEST_DOWNLOAD"), "12346.bird");
    EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 0), 12346);
    EXPECT_EQ(store.GetString("NAME"), "rack 4 = left");
    EXPECT_EQ(store.GetString("#K"), "1");
    EXPECT_EQ(store.entries().size(), 4u);
    EXPECT_EQ(store["# written by hand"], nullptr);
}

TEST(KeyValueStoreLoad, KeepsEntriesTheFileDoesNotName) {
    TempDir dir;
    WriteText(dir / "a", "A=1\nB=2\n");
    KeyValueStore store;
    store.Add("B", "old");
    store.Add("C", "kept");
    store.Load(dir / "a");
    EXPECT_EQ(store.GetString("A"), "1");
    EXPECT_EQ(store.GetString("B"), "2");
    EXPECT_EQ(store.GetString("C"), "kept");
    EXPECT_FALSE(store.modified());
}

TEST(KeyValueStoreLoad, StopsAtOverlongLineKeepingEarlierEntries) {
    TempDir dir;
    WriteText(dir / "a", "A=1\nB=" + std::string(3000, 'x') + "\nC=3\n");
    KeyValueStore store(dir / "a");
    EXPECT_EQ(store.GetString("A"), "1");
    EXPECT_EQ(store["C"], nullptr);
}

TEST(KeyValueStoreLoad, MissingFileIsCreatedWithTwoStamps) {
    TempDir dir;
    LogCapture log;
    const time_t before = time(nullptr);
    KeyValueStore store(dir / ".settings");
    const time_t after = time(nullptr);
    EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file: '" +
                              (dir / ".settings") + "' (2)\n"),
              std::string::npos);
    const std::vector<std::string> lines = Lines(ReadText(dir / ".settings"));
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(lines[0].rfind("CREATED_TIME=", 0), 0u);
    ASSERT_EQ(lines[1].rfind("UPDATED_TIME=", 0), 0u);
    const std::string created = lines[0].substr(13), updated = lines[1].substr(13);
    EXPECT_TRUE(LooksLikeCtime(created)) << created;
    EXPECT_TRUE(LooksLikeCtime(updated)) << updated;
    if (before == after) {
        EXPECT_EQ(created, updated);
    }
    EXPECT_FALSE(store.modified());
    EXPECT_EQ(store.entries().size(), 2u);
    EXPECT_EQ(store.path(), dir / ".settings");
    // Nothing but the file itself is left behind.
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{".settings"});
}

TEST(KeyValueStoreLoad, ExistingUnreadablePathIsNotReplaced) {
    TempDir dir;
    // A directory where the file should be: it exists, so nothing may be written over it.
    ASSERT_EQ(mkdir((dir / ".settings").c_str(), 0755), 0);
    KeyValueStore store(dir / ".settings");
    EXPECT_TRUE(IsDirectory(dir / ".settings"));
    EXPECT_EQ(store["CREATED_TIME"], nullptr);
}

TEST(KeyValueStoreLoad, PathBelowAFileIsOnlyLogged) {
    TempDir dir;
    WriteText(dir / "100.bird", "bird");
    LogCapture log;
    KeyValueStore store(dir / "100.bird/.settings");
    EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file for writting: '" +
                              (dir / "100.bird/.settings") + "'"),
              std::string::npos);
    EXPECT_EQ(ReadText(dir / "100.bird"), "bird");
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"100.bird"});
}

// ---- getters ----

TEST(KeyValueStoreGet, TypedGettersAndDefaults) {
    KeyValueStore store;
    store.Add("I", "-42");
    store.Add("F", "12345.bird");
    store.Add("H", "0x1F");
    store.Add("H2", "ff");
    store.Add("B", "2");
    store.Add("B0", "0");
    store.Add("D", "2.5");
    store.Add("T", "text");
    store.Add("E", "");
    EXPECT_EQ(store.GetInt("I", 7), -42);
    EXPECT_EQ(store.GetInt("F", 7), 12345);
    EXPECT_EQ(store.GetInt("T", 7), 0);
    EXPECT_EQ(store.GetInt("E", 7), 7);
    EXPECT_EQ(store.GetHex("H", 1), 0x1Fu);
    EXPECT_EQ(store.GetHex("H2", 1), 0xFFu);
    EXPECT_EQ(store.GetHex("E", 1), 1u);
    EXPECT_TRUE(store.GetBOOL("B", false));
    EXPECT_FALSE(store.GetBOOL("B0", true));
    EXPECT_TRUE(store.GetBOOL("E", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("D", 1.0), 2.5);
    EXPECT_DOUBLE_EQ(store.GetDouble("E", 1.5), 1.5);
    EXPECT_EQ(store.GetString("E", "default"), "");
    EXPECT_EQ(store.GetString("missing", "default"), "default");
    EXPECT_EQ(store.GetString("missing"), "");
    EXPECT_STREQ(store["T"], "text");
    EXPECT_EQ(store["missing"], nullptr);
}

TEST(KeyValueStoreGet, NumericGettersInsertMissingKeysWithoutModifying) {
    TempDir dir;
    KeyValueStore store;
    store.Save(dir / "s");
    ASSERT_FALSE(store.modified());
    EXPECT_EQ(store.GetInt("GI", 3), 3);
    EXPECT_EQ(store.GetHex("GH", 4), 4u);
    EXPECT_TRUE(store.GetBOOL("GB", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("GD", 0.5), 0.5);
    EXPECT_EQ(store.GetString("GS", "x"), "x");
    EXPECT_EQ(store["GO"], nullptr);
    EXPECT_FALSE(store.modified());
    store.Save();
    EXPECT_EQ(ReadText(dir / "s"), "GB=\nGD=\nGH=\nGI=\n");
}

// ---- setters and modified ----

TEST(KeyValueStoreAdd, FormatsValues) {
    KeyValueStore store;
    store.Add("I", int32_t(-5));
    store.Add("D", 1.25);
    store.AddHex("H", 255);
    store.AddHex("H2", 0xABCD);
    store.Add("S", std::string("a b"));
    store.Add("C", "c");
    EXPECT_EQ(store.GetString("I"), "-5");
    EXPECT_EQ(store.GetString("D"), "1.250000");
    EXPECT_EQ(store.GetString("H"), "0x000000FF");
    EXPECT_EQ(store.GetString("H2"), "0x0000ABCD");
    EXPECT_EQ(store.GetString("S"), "a b");
    EXPECT_EQ(store.GetString("C"), "c");
}

struct ModifiedCase {
    const char* name;
    void (*change)(KeyValueStore&);
    bool modified;
};

void PrintTo(const ModifiedCase& c, std::ostream* os) {
    *os << c.name;
}

class ModifiedTest : public ::testing::TestWithParam<ModifiedCase> {};

TEST_P(ModifiedTest, SetOnlyByRealChanges) {
    KeyValueStore store;
    store.Add("K", "5");
    store.Add("E", "");
    TempDir dir;
    store.Save(dir / "s");
    ASSERT_FALSE(store.modified());
    GetParam().change(store);
    EXPECT_EQ(store.modified(), GetParam().modified);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ModifiedTest,
    ::testing::Values(
        ModifiedCase{"same_int", [](KeyValueStore& s) { s.Add("K", int32_t(5)); }, false},
        ModifiedCase{"same_text", [](KeyValueStore& s) { s.Add("K", "5"); }, false},
        ModifiedCase{"other_int", [](KeyValueStore& s) { s.Add("K", int32_t(6)); }, true},
        ModifiedCase{"new_key", [](KeyValueStore& s) { s.Add("N", "1"); }, true},
        ModifiedCase{"new_key_empty", [](KeyValueStore& s) { s.Add("N", ""); }, false},
        ModifiedCase{"empty_to_empty", [](KeyValueStore& s) { s.Add("E", ""); }, false},
        ModifiedCase{"hex_differs", [](KeyValueStore& s) { s.AddHex("K", 5); }, true},
        ModifiedCase{"merge_same_values",
                     [](KeyValueStore& s) {
                         KeyValueStore other;
                         other.Add("K", "5");
                         s.Add(other);
                     },
                     true},
        ModifiedCase{"merge_empty", [](KeyValueStore& s) { s.Add(KeyValueStore()); }, false},
        ModifiedCase{"clear", [](KeyValueStore& s) { s.Clear(); }, true},
        ModifiedCase{"getter_insert", [](KeyValueStore& s) { s.GetInt("Z", 0); }, false}),
    [](const ::testing::TestParamInfo<ModifiedCase>& info) { return info.param.name; });

// ---- saving ----

TEST(KeyValueStoreSave, EntriesInByteOrderAndUpdatedStampOnlyWhenModified) {
    TempDir dir;
    KeyValueStore store;
    store.Add("LATEST_DOWNLOAD", "12345.bird");
    store.Add("LAST_DOWNLOAD_DATE", "Wed Dec  9 12:36:07 2026");
    store.Add("lower", "1");
    store.Add("A", "2");
    store.Save(dir / ".settings");
    const std::vector<std::string> lines = Lines(ReadText(dir / ".settings"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "A=2");
    EXPECT_EQ(lines[1], "LAST_DOWNLOAD_DATE=Wed Dec  9 12:36:07 2026");
    EXPECT_EQ(lines[2], "LATEST_DOWNLOAD=12345.bird");
    EXPECT_EQ(lines[3].rfind("UPDATED_TIME=", 0), 0u);
    EXPECT_EQ(lines[4], "lower=1");
    EXPECT_FALSE(store.modified());
}

TEST(KeyValueStoreSave, UnchangedStoreKeepsItsUpdatedStamp) {
    TempDir dir;
    WriteText(dir / ".settings", "A=5\nUPDATED_TIME=then\n");
    KeyValueStore store(dir / ".settings");
    store.Add("A", int32_t(5));
    ASSERT_FALSE(store.modified());
    store.Save();
    EXPECT_EQ(ReadText(dir / ".settings"), "A=5\nUPDATED_TIME=then\n");
    store.Add("A", int32_t(6));
    store.Save();
    EXPECT_EQ(ReadText(dir / ".settings").find("UPDATED_TIME=then"), std::string::npos);
}

TEST(KeyValueStoreSave, WithoutPathUsesDefaultInWorkingDirectory) {
    TempDir dir;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    LogCapture log;
    KeyValueStore store;
    store.Add("K", "v");
    store.Save();
    EXPECT_EQ(chdir(cwd), 0);
    EXPECT_EQ(store.path(), ".settings");
    EXPECT_NE(
        log.text().find("Attibutes: no filename given for attributes, using default:[.settings]\n"),
        std::string::npos);
    EXPECT_NE(ReadText(dir / ".settings").find("K=v\n"), std::string::npos);
}

TEST(KeyValueStoreSave, FailedSaveLeavesMapFlagAndOldFile) {
    TempDir dir;
    KeyValueStore store;
    store.Add("K", "v");
    LogCapture log;
    store.Save(dir / "missing-dir/.settings");
    EXPECT_TRUE(store.modified());
    EXPECT_EQ(store["UPDATED_TIME"], nullptr);
    EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file for writting: '" +
                              (dir / "missing-dir/.settings") + "' (2)\n"),
              std::string::npos);
}

TEST(KeyValueStoreSave, ReplacesFileWholeLeavingNoTemporaryFile) {
    TempDir dir;
    WriteText(dir / ".settings", "OLD=1\n");
    struct stat before;
    ASSERT_EQ(stat((dir / ".settings").c_str(), &before), 0);
    KeyValueStore store(dir / ".settings");
    store.Clear();
    store.Add("NEW", "2");
    store.Save();
    const std::string text = ReadText(dir / ".settings");
    EXPECT_EQ(text.find("OLD"), std::string::npos);
    EXPECT_EQ(text.rfind("NEW=2\nUPDATED_TIME=", 0), 0u);
    struct stat after;
    ASSERT_EQ(stat((dir / ".settings").c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);  // a new file renamed into place
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{".settings"});
}

TEST(KeyValueStoreSave, RoundTripsThroughTheFile) {
    TempDir dir;
    KeyValueStore store;
    store.Add("LATEST_TRANSFER", "/home/user/builds/my file.bird");
    store.Add("EQ", "a=b=c");
    store.AddHex("H", 0xDEADBEEF);
    store.Add("E", "");
    store.Save(dir / "s");
    KeyValueStore again(dir / "s");
    EXPECT_EQ(again.entries(), store.entries());
}

TEST(KeyValueStoreCopy, CopiesPathEntriesAndFlag) {
    KeyValueStore store;
    store.Add("K", "v");
    KeyValueStore copy = store;
    EXPECT_TRUE(copy.modified());
    EXPECT_EQ(copy.entries(), store.entries());
    copy.Add("K", "w");
    EXPECT_EQ(store.GetString("K"), "v");
}
