#include "plovendale/platform/key_value_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/disk_faults.h"
#include "support/test_environment.h"

namespace plovendale {
namespace {

TEST(KeyValueStore, StringsAndBooleansKeepTheirKindAcrossReopening) {
    test::TempDir dir;
    const std::string path = dir.file("defaults.sqlite");
    {
        auto store = makeSQLiteKeyValueStore(path);
        EXPECT_FALSE(store->stringForKey("missing"));
        EXPECT_FALSE(store->boolForKey("missing"));
        store->setString("first", "k");
        store->setString("second", "k");
        store->setString(std::string("nul\0inside", 10), "binary");
        store->setString("", "empty");
        store->setBool(true, "flag");
        store->setString("YES", "yes-text");
        store->setString("nope", "other-text");
        store->setString(std::string((48 << 20) + 1, 'x'), "huge");
    }
    auto store = makeSQLiteKeyValueStore(path);
    EXPECT_EQ(store->stringForKey("k"), "second");
    EXPECT_EQ(store->stringForKey("binary"), std::string("nul\0inside", 10));
    EXPECT_EQ(store->stringForKey("empty"), "");
    EXPECT_FALSE(store->stringForKey("flag")) << "a boolean is not a string";
    EXPECT_TRUE(store->boolForKey("flag"));
    EXPECT_TRUE(store->boolForKey("yes-text"));
    EXPECT_FALSE(store->boolForKey("other-text"));
    EXPECT_FALSE(store->stringForKey("huge")) << "past the bound, not read";
    EXPECT_EQ(store->currentStringForKey("binary"), std::string("nul\0inside", 10));
    EXPECT_FALSE(store->currentStringForKey("flag") || store->currentStringForKey("huge"));
    EXPECT_EQ(store->update("huge", [](const auto& now) { return now; }, {}), true);
    store->removeObjectForKey("k");
    EXPECT_FALSE(store->stringForKey("k"));
}

TEST(KeyValueStore, AWriteTheDiskCannotTakeFailsWholeAndKeepsWhatWasStored) {
    auto& disk = test::DiskFaults::install();
    test::TestPlatform platform;
    platform.configure();
    test::TempDir dir;
    const std::string path = dir.file("defaults.sqlite");
    {
        auto store = makeSQLiteKeyValueStore(path);
        ASSERT_TRUE(store->setStrings({{"a", "1"}, {"b", "1"}}));
        ASSERT_TRUE(store->setBool(true, "flag"));
        disk.fillAfterCommits(0);
        const std::map<std::string, std::string> twos{{"a", "2"}, {"b", "2"}};
        const std::vector<std::string> both{"a", "b"};
        const std::function<bool()> writes[] = {
            [&] { return store->setString("2", "a"); },
            [&] { return store->setStrings(twos); },
            [&] { return store->setBool(false, "flag"); },
            [&] { return store->removeObjectForKey("b"); },
            [&] { return store->removeObjectsForKeys(both); },
        };
        for (const auto& write : writes) {
            SCOPED_TRACE(&write - writes);
            EXPECT_FALSE(write());
            EXPECT_EQ(store->stringForKey("a"), "1");
            EXPECT_EQ(store->stringForKey("b"), "1");
            EXPECT_TRUE(store->boolForKey("flag"));
        }
        disk.clear();
    }
    const auto lines = platform.log().lines();
    EXPECT_EQ(lines.size(), 5u);
    for (const auto& line : lines)
        EXPECT_NE(line.find("key-value store"), std::string::npos) << line;

    auto store = makeSQLiteKeyValueStore(path);
    EXPECT_EQ(store->stringForKey("a"), "1");
    EXPECT_EQ(store->stringForKey("b"), "1");
    EXPECT_TRUE(store->boolForKey("flag"));

    // Values written together take one commit: a disk with room for one takes all of them.
    disk.fillAfterCommits(1);
    EXPECT_TRUE(store->setStrings({{"a", "3"}, {"b", "3"}, {"c", "3"}}));
    EXPECT_FALSE(store->setString("4", "a"));
    EXPECT_EQ(store->stringForKey("a"), "3");
    disk.clear();

    // A change a crash may undo does not wait for the disk; every write that changes the file
    // does, once; one that changes nothing has nothing to sync.
    int syncs = disk.walSyncs();
    EXPECT_TRUE(store->updateWithoutSync("c", [](const auto&) { return std::nullopt; }));
    EXPECT_EQ(disk.walSyncs(), syncs);
    const auto toSix = [](const auto&) { return std::optional<std::string>("6"); };
    const std::pair<std::function<bool()>, int> durable[] = {
        {[&] { return store->setString("5", "d"); }, 1},
        {[&] {
             return store->setStrings({{"d", "6"}, {"e", "6"}});
         },
         1},
        {[&] { return store->setBool(true, "flag"); }, 1},
        {[&] {
             return store->update("e", toSix, {{"f", "6"}});
         },
         1},
        {[&] {
             return store->removeObjectsForKeys({"e", "f"});
         },
         1},
        {[&] { return store->removeObjectForKey("never-written"); }, 0},
    };
    for (std::size_t i = 0; i < std::size(durable); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(durable[i].first());
        EXPECT_EQ(disk.walSyncs(), syncs + durable[i].second);
        syncs = disk.walSyncs();
    }
    store.reset();
    store = makeSQLiteKeyValueStore(path);
    for (const char* key : {"a", "b"}) EXPECT_EQ(store->stringForKey(key), "3") << key;
    EXPECT_EQ(store->stringForKey("c"), std::nullopt);
}

// Reads come from memory: a store opened on a file that another one in the process already has
// open must still see every write made through either of them.
TEST(KeyValueStore, StoresOnOneFileSeeEachOthersWritesHoweverThePathIsSpelled) {
    test::TempDir dir;
    const std::string path = dir.file("defaults.sqlite");
    std::filesystem::create_directory_symlink(dir.path(), dir.file("link"));
    const std::pair<const char*, std::string> spellings[] = {
        {"the same path", path},
        {"a dot component", dir.path() + "/./defaults.sqlite"},
        {"a linked directory", dir.file("link") + "/defaults.sqlite"},
    };
    for (const auto& [name, other] : spellings) {
        SCOPED_TRACE(name);
        auto first = makeSQLiteKeyValueStore(path);
        auto second = makeSQLiteKeyValueStore(other);
        ASSERT_TRUE(first->setStrings({{"k", name}, {"gone", "x"}}));
        ASSERT_TRUE(second->setBool(true, "flag"));
        ASSERT_TRUE(second->removeObjectForKey("gone"));
        EXPECT_EQ(second->stringForKey("k"), name);
        EXPECT_TRUE(first->boolForKey("flag"));
        EXPECT_FALSE(first->stringForKey("gone"));
        first.reset();
        second.reset();
        EXPECT_EQ(makeSQLiteKeyValueStore(other)->stringForKey("k"), name) << "on disk";
    }
}

// Each process answers reads from the copy it read when it opened the file; an update must read
// the file itself, or one process's update overwrites the other's. The processes also make the
// file together: none may fall back to memory because another was setting the file up.
TEST(KeyValueStore, UpdatesFromProcessesOnOneNewFileLoseNothing) {
    test::TempDir dir;
    constexpr int kUpdates = 20;
    for (int round = 0; round < 8; ++round) {
        const std::string path = dir.file("defaults" + std::to_string(round) + ".sqlite");
        std::vector<pid_t> children;
        for (const char mark : {'a', 'b', 'c', 'd'}) {
            const pid_t child = fork();
            if (child == 0) {
                usleep(static_cast<useconds_t>((mark - 'a') * 400));
                auto store = makeSQLiteKeyValueStore(path);
                bool ok = true;
                for (int i = 0; i < kUpdates; ++i) {
                    ok = store->update("log",
                                       [mark](const auto& now) { return now.value_or("") + mark; },
                                       {}) &&
                         ok;
                    // A key of its own, written blind: another launch's write keeps it.
                    ok = store->setString(std::to_string(i), std::string("own.") + mark) && ok;
                }
                _exit(ok ? 0 : 1);
            }
            children.push_back(child);
        }
        for (const pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        const std::string log = makeSQLiteKeyValueStore(path)->stringForKey("log").value_or("");
        const auto reopened = makeSQLiteKeyValueStore(path);
        for (const char mark : {'a', 'b', 'c', 'd'}) {
            EXPECT_EQ(std::count(log.begin(), log.end(), mark), kUpdates) << round << mark;
            EXPECT_EQ(reopened->stringForKey(std::string("own.") + mark),
                      std::to_string(kUpdates - 1));
        }
    }
    // What an update sets beside its key is written though this process's copy holds it
    // already: another connection may have changed it since.
    const std::string path = dir.file("stale.sqlite");
    auto store = makeSQLiteKeyValueStore(path);
    ASSERT_TRUE(store->setString("mine", "shared"));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "UPDATE kv SET value = 'theirs' WHERE key = 'shared';", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    ASSERT_TRUE(
        store->update("other", [](const auto&) { return std::string("x"); }, {{"shared", "mine"}}));
    EXPECT_EQ(store->stringForKey("shared"), "mine");
}

TEST(KeyValueStore, UnusableFilesFallBackToMemoryWithOneLogLine) {
    test::TempDir dir;
    const std::string path = dir.file("defaults.sqlite");
    const std::pair<const char*, std::function<std::string()>> rows[] = {
        {"not a database",
         [&] {
             std::ofstream(path) << std::string(100, 'x');
             return path;
         }},
        {"a damaged page",
         [&] {
             const std::string damaged = dir.file("damaged.sqlite");
             makeSQLiteKeyValueStore(damaged)->setString("v", "k");
             std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
             unsigned char size[2] = {};  // the page size, big-endian at offset 16
             file.seekg(16);
             file.read(reinterpret_cast<char*>(size), 2);
             const int pageSize = size[0] << 8 | size[1];
             file.seekp(pageSize);  // the table's first page, after the schema's
             file << std::string(pageSize, '\xde');
             return damaged;
         }},
        {"a directory", [&] { return dir.path(); }},
        {"its directory cannot exist", [&] { return path + "/sub/defaults.sqlite"; }},
    };
    for (const auto& [name, unusable] : rows) {
        test::TestPlatform platform;
        platform.configure();
        auto store = makeSQLiteKeyValueStore(unusable());
        EXPECT_FALSE(store->persists()) << name;
        EXPECT_TRUE(store->setString("v", "k")) << name;
        EXPECT_EQ(store->stringForKey("k"), "v") << name;
        const auto lines = platform.log().lines();
        ASSERT_EQ(lines.size(), 1u) << name;
        EXPECT_NE(lines[0].find("values are kept in memory"), std::string::npos) << lines[0];
    }
}

}  // namespace
}  // namespace plovendale
