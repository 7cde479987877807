// UpdaterStore and UpdaterStoreItem on real directories in a private temporary root.
#include "firmware/UpdaterStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "BirdWriter.h"
#include "FirmwareTestSupport.h"

namespace {

std::vector<std::string> SortedNames(const std::vector<UpdaterStoreItem>& items) {
    std::vector<std::string> names;
    for (const auto& item : items) names.push_back(item.name);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(UpdaterStore, CreatesRootAndRefusesAFileInItsPlace) {
    TempDir dir;
    LogCapture log;
    UpdaterStore store(dir / "a/b/updater");
    EXPECT_TRUE(IsDirectory(dir / "a/b/updater"));
    EXPECT_EQ(store.BasePath(), dir / "a/b/updater");
    EXPECT_NE(log.text().find("UpdaterStore: Created directory [" + (dir / "a/b/updater") + "].\n"),
              std::string::npos);
    UpdaterStore again(dir / "a/b/updater");
    EXPECT_NE(log.text().find("UpdaterStore: [" + (dir / "a/b/updater") + "] already exists.\n"),
              std::string::npos);

    WriteText(dir / "file", "x");
    try {
        UpdaterStore bad(dir / "file");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "UpdaterStore: " + (dir / "file") + " exists and is a file");
    }
    try {
        UpdaterStore bad(dir / "file/sub");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "UpdaterStore: Could not create directory " + (dir / "file/sub") + " error 12");
    }
}

TEST(UpdaterStore, AddDeviceMakesDirectoryWithSettings) {
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem item = store.AddDevice(0x0012ABCDu);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(item.basePath, dir.path());
    EXPECT_EQ(item.name, "0012ABCD");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(IsDirectory(dir / "0012ABCD"));
    const std::string settings = ReadText(dir / "0012ABCD/.settings");
    EXPECT_EQ(settings.rfind("CREATED_TIME=", 0), 0u);
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos);
    EXPECT_EQ(item.attributes.path(), dir / "0012ABCD/.settings");
    // Adding it again keeps what is there.
    item.attributes.Add("LATEST_DOWNLOAD", "7.bird");
    item.attributes.Save();
    UpdaterStoreItem again = store.AddDevice("0012ABCD");
    EXPECT_EQ(again.attributes.GetString("LATEST_DOWNLOAD"), "7.bird");
}

TEST(UpdaterStore, FindDeviceByExactName) {
    TempDir dir;
    // The root's own path holds the searched serial: it must not make every entry match.
    UpdaterStore store(dir / "0012ABCD-home/updater");
    const std::string root = store.BasePath();
    ASSERT_EQ(mkdir((root + "/0012ABCE").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/0012ABCD.old").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/X0012ABCD").c_str(), 0755), 0);
    UpdaterStoreItem item;
    LogCapture log;
    EXPECT_FALSE(store.FindDevice(0x0012ABCDu, item));
    EXPECT_NE(log.text().find("UpdaterStore: FindDevice Not Found 0012ABCD.\n"), std::string::npos);
    EXPECT_FALSE(item.IsValid());

    ASSERT_EQ(mkdir((root + "/0012ABCD").c_str(), 0755), 0);
    EXPECT_TRUE(store.FindDevice(0x0012ABCDu, item));
    EXPECT_NE(log.text().find("UpdaterStore: FindDevice Found 0012ABCD.\n"), std::string::npos);
    EXPECT_EQ(item.name, "0012ABCD");
    EXPECT_EQ(item.basePath, root);
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(item.attributes.path(), root + "/0012ABCD/.settings");
    EXPECT_NE(log.text().find("_find_item([" + root + "/0012ABCE], 1, "), std::string::npos);
}

TEST(UpdaterStore, FindDeviceOnEmptyOrUnreadableRoot) {
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem item;
    LogCapture log;
    EXPECT_FALSE(store.FindDevice("0012ABCD", item));
    EXPECT_NE(log.text().find("Not Found"), std::string::npos);
    aDirectory_DeleteTree(dir.path().c_str());
    EXPECT_FALSE(store.FindDevice("0012ABCD", item));
}

TEST(UpdaterStore, FindLocalBuildsSkipsDotEntries) {
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x00000042u);
    WriteText(dir / "00000042/100.bird", "bird");
    WriteText(dir / "00000042/101.bird", "bird");
    WriteText(dir / "00000042/.hidden", "x");
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x42, items));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(SortedNames(items), (std::vector<std::string>{"100.bird", "101.bird"}));
    for (const auto& item : items) {
        EXPECT_EQ(item.type, STORE_ITEM_FILE);
        EXPECT_EQ(item.basePath, dir / "00000042");
    }
    // Trying to load attributes below a file created nothing.
    EXPECT_EQ(ReadText(dir / "00000042/100.bird"), "bird");

    ASSERT_EQ(mkdir((dir / "00000042/sub").c_str(), 0755), 0);
    items.clear();
    store.FindLocalBuilds(0x42, items);
    ASSERT_EQ(items.size(), 3u);
    auto sub = std::find_if(items.begin(), items.end(), [](auto& i) { return i.name == "sub"; });
    ASSERT_NE(sub, items.end());
    EXPECT_EQ(sub->type, STORE_ITEM_DIRECTORY);

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x43, none));
    EXPECT_TRUE(none.empty());
}

TEST(UpdaterStoreItem, DefaultItemNamesNothing) {
    UpdaterStoreItem item;
    EXPECT_FALSE(item.IsValid());
    EXPECT_EQ(item.type, STORE_ITEM_UNKNOWN);
    EXPECT_TRUE(item.attributes.path().empty());
    EXPECT_TRUE(item.attributes.entries().empty());
}

TEST(UpdaterStoreItem, WriteFileReplacesWholeAndReadsBack) {
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x11u);
    BirdWriter w;
    w.Firmware(0, Bytes(300, 0x5A)).Info(12345, "1.0", 0x11, "Model");
    const Bytes bytes = w.FileBytes();
    ASSERT_EQ(device.WriteFile("12345.bird", bytes.data(), bytes.size()), aErrNone);
    EXPECT_EQ(ReadText(dir / "00000011/12345.bird"), std::string(bytes.begin(), bytes.end()));
    BirdFile file = device.ReadBirdFile("12345.bird");
    EXPECT_EQ(file.GetBuild(), 12345u);
    EXPECT_EQ(file.path(), dir / "00000011/12345.bird");

    const uint8_t small[] = {1, 2, 3};
    ASSERT_EQ(device.WriteFile("12345.bird", small, 3), aErrNone);
    EXPECT_EQ(ReadText(dir / "00000011/12345.bird"), std::string("\1\2\3"));
    // Only the build, the attributes and nothing temporary.
    std::vector<UpdaterStoreItem> items;
    store.FindLocalBuilds(0x11, items);
    EXPECT_EQ(SortedNames(items), std::vector<std::string>{"12345.bird"});

    EXPECT_EQ(device.WriteFile("x.bird", nullptr, 3), aErrNotFound);
    UpdaterStoreItem ghost(dir.path(), "nope", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(ghost.WriteFile("x.bird", small, 3), aErrNotFound);
}

TEST(UpdaterStoreItem, ReadBirdFileErrors) {
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x11u);
    WriteText(dir / "00000011/1.bird", "BIRD\x01\x01 not a bird file");
    try {
        device.ReadBirdFile("1.bird");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid bird " + (dir / "00000011/1.bird"));
    }
    try {
        device.ReadBirdFile("2.bird");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid bird " + (dir / "00000011/2.bird"));
    }
    WriteText(dir / "00000011/3.bird", std::string("bird\x01\x01garbage", 13));
    try {
        device.ReadBirdFile("3.bird");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
}

TEST(UpdaterStoreItem, FileExistsComparesEntryNames) {
    TempDir dir;
    UpdaterStore store(dir / "12345.bird-root");
    UpdaterStoreItem device = store.AddDevice(0x11u);
    LogCapture log;
    EXPECT_FALSE(device.FileExists("12345.bird"));  // only the root's path holds it
    EXPECT_NE(log.text().find("UpdaterStore: FindDevice Not Found 12345.bird.\n"),
              std::string::npos);
    WriteText(device.Path() + "/112345.bird", "x");
    EXPECT_TRUE(device.FileExists("12345.bird"));  // a longer name ending with it matches
    EXPECT_NE(log.text().find("UpdaterStore: FindDevice Found 12345.bird.\n"), std::string::npos);
}

TEST(UpdaterStoreItem, CopiesCarryAttributes) {
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x11u);
    device.attributes.Add("K", "v");
    UpdaterStoreItem copy = device;
    EXPECT_EQ(copy.attributes.GetString("K"), "v");
    copy.attributes.Add("K", "w");
    EXPECT_EQ(device.attributes.GetString("K"), "v");
    UpdaterStoreItem assigned;
    assigned = copy;
    EXPECT_EQ(assigned.Path(), dir / "00000011");
}
