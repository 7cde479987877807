#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "engine/aDirectory.h"

namespace {

class DirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/hvdirXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override {
        if (!cwd.empty()) {
            ASSERT_EQ(chdir(cwd.c_str()), 0);
        }
        std::system(("chmod -R u+w " + root + " 2>/dev/null; rm -rf " + root).c_str());
    }
    std::string root, cwd;
};

TEST_F(DirectoryTest, EnsureCreatesEveryMissingAncestor) {
    std::string deep = root + "/a/b/c";
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    for (const char* p : {"/a", "/a/b", "/a/b/c"})
        EXPECT_TRUE(aDirectory_Exists((root + p).c_str()));
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone) << "existing directory";
    EXPECT_EQ(aDirectory_Ensure((root + "/d//e").c_str(), 0755), aErrNone) << "doubled separator";
    EXPECT_TRUE(aDirectory_Exists((root + "/d/e").c_str()));

    char buf[4096];
    ASSERT_EQ(aDirectory_CWD(buf, sizeof buf), aErrNone);
    cwd = buf;
    ASSERT_EQ(chdir(root.c_str()), 0);
    EXPECT_EQ(aDirectory_Ensure("x/y/z", 0755), aErrNone) << "relative path, nothing exists";
    EXPECT_TRUE(aDirectory_Exists("x/y/z"));
}

TEST_F(DirectoryTest, EnsureFailures) {
    std::string file = root + "/file";
    FILE* f = fopen(file.c_str(), "w");
    fclose(f);
    EXPECT_EQ(aDirectory_Ensure((file + "/below").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(file.c_str(), 0755), aErrPermission);
    if (geteuid() != 0) {
        std::string locked = root + "/locked";
        ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
        EXPECT_EQ(aDirectory_Ensure((locked + "/x/y").c_str(), 0755), aErrPermission);
    }
    EXPECT_FALSE(aDirectory_Exists(nullptr));
    EXPECT_FALSE(aDirectory_Exists(file.c_str()));
}

TEST_F(DirectoryTest, ListDeleteAndDeleteTree) {
    ASSERT_EQ(aDirectory_Ensure((root + "/t/sub").c_str(), 0755), aErrNone);
    FILE* f = fopen((root + "/t/sub/file").c_str(), "w");
    fputs("12345", f);
    fclose(f);

    struct Seen {
        std::set<std::string> names;
        int files = 0;
    } seen;
    auto record = [](const aDirectoryListData* e, void* user) -> bool {
        auto* s = static_cast<Seen*>(user);
        std::string p(e->path);
        s->names.insert(p.substr(p.rfind('/') + 1));
        if (!e->isDirectory) {
            ++s->files;
            EXPECT_EQ(e->size, 5u);
        }
        return true;
    };
    EXPECT_EQ(aDirectory_List((root + "/t/sub").c_str(), record, &seen), aErrNone);
    EXPECT_EQ(seen.names, (std::set<std::string>{".", "..", "file"}));
    EXPECT_EQ(seen.files, 1);

    int calls = 0;
    auto stop = [](const aDirectoryListData*, void* user) -> bool {
        ++*static_cast<int*>(user);
        return false;
    };
    EXPECT_EQ(aDirectory_List((root + "/t").c_str(), stop, &calls), aErrNone);
    EXPECT_EQ(calls, 1) << "a false result stops the listing";
    EXPECT_EQ(aDirectory_List((root + "/none").c_str(), stop, &calls), aErrNotFound);

    EXPECT_EQ(aDirectory_Delete((root + "/t").c_str()), aErrUnknown) << "not empty";
    EXPECT_EQ(aDirectory_DeleteTree((root + "/t").c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists((root + "/t").c_str()));
    EXPECT_EQ(aDirectory_DeleteTree((root + "/t").c_str()), aErrNotFound);
}

TEST(DirectoryPaths, BuildPathIntoABuffer) {
    struct Case {
        const char* parts[12];
        aErr expected;
        const char* text;
    } cases[] = {
        {{"abc", "def"}, aErrNone, "abc/def"},
        {{"abc/", "def"}, aErrNone, "abc/def"},
        {{"abc", "/def"}, aErrNone, "abc/def"},
        {{"abcdefghijklmno"}, aErrOverrun, ""},
        {{"abcdefghijklmn"}, aErrNone, "abcdefghijklmn"},
        {{"abcdefghij", "klmn"}, aErrOverrun, "abcdefghij/"},
        {{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"}, aErrParam, ""},
    };
    for (const Case& c : cases) {
        char buf[16] = "garbage";
        aErr err = aDirectory_BuildPath(buf, sizeof buf, c.parts[0], c.parts[1], c.parts[2],
                                        c.parts[3], c.parts[4], c.parts[5], c.parts[6], c.parts[7],
                                        c.parts[8], c.parts[9], c.parts[10], c.parts[11]);
        EXPECT_EQ(err, c.expected) << c.parts[0];
        EXPECT_STREQ(buf, c.text) << c.parts[0];
    }
    char buf[16];
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, "root", "x"), aErrNone);
    EXPECT_STREQ(buf, "root/x");
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, buf, "x"), aErrParam) << "aliasing refused";
    EXPECT_EQ(aDirectory_JoinPath(nullptr, 4, "a", "b"), aErrParam);
}

TEST(DirectoryPaths, BuildPathText) {
    EXPECT_EQ(BuildPath("root", "x", nullptr), "root/x");
    EXPECT_EQ(BuildPath("root/", "x", nullptr), "root//x");
    EXPECT_EQ(BuildPath("root", nullptr), "root");
    EXPECT_EQ(BuildPath("/home/u", ".kestrova", "updater", nullptr), "/home/u/.kestrova/updater");
}

TEST(DirectoryPaths, HomeAndExecutable) {
    char buf[4096];
    EXPECT_EQ(aDirectory_GetHomeDirectory(buf, sizeof buf), aErrNone);
    EXPECT_GT(strlen(buf), 0u);
    char tiny[3];
    EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrNone);
    EXPECT_LE(strlen(tiny), 2u) << "a long home is cut and terminated";
    EXPECT_EQ(aDirectory_ExecutableFilePath(buf, sizeof buf), aErrNone);
    EXPECT_NE(std::string(buf).find("portability_tests"), std::string::npos);
}

}  // namespace
