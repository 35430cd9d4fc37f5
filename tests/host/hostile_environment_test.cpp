#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <set>

#include "host/clock.h"
#include "plovendale/platform/bundle.h"
#include "plovendale/platform/platform.h"
#include "support/test_environment.h"
#include "util/identifiers.h"

namespace plovendale {
namespace {

namespace fs = std::filesystem;

// Sets environment variables for one test and puts the old values back.
class ScopedEnvironment {
  public:
    void set(const char* name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            it->second ? setenv(it->first.c_str(), it->second->c_str(), 1)
                       : unsetenv(it->first.c_str());
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::size_t linesContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const auto& line) { return line.find(text) != std::string::npos; }));
}

TEST(HostileBundle, AnInfoPlistThatIsNoPlainFileGivesNoPropertyListAndOneLogLine) {
    const std::pair<const char*, std::function<void(const std::string& path)>> cases[] = {
        {"missing", [](auto&) {}},
        {"directory", [](auto& path) { fs::create_directory(path); }},
        {"FIFO", [](auto& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        {"link to a device", [](auto& path) { fs::create_symlink("/dev/null", path); }},
        {"larger than the cap",
         [](auto& path) { std::ofstream(path) << std::string(kMaxInfoPlistSize + 1, ' '); }},
        {"not a property list", [](auto& path) { std::ofstream(path) << "{"; }},
    };
    for (const auto& [name, make] : cases) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        const std::string path = dir.file("Info.plist");
        make(path);
        test::LogCapture log;
        Log::setSink([&log](std::string_view line) { log.add(line); });
        // Read on another thread so that a read that blocks fails the case instead of the run.
        auto reading =
            std::async(std::launch::async, [&] { return makeDirectoryBundle(dir.path()); });
        if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "reading the bundle blocked";
            const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);  // ends the blocked read
            if (writer >= 0) close(writer);
        }
        const auto bundle = reading.get();
        Log::setSink(nullptr);
        EXPECT_FALSE(bundle->bundleIdentifier());
        EXPECT_EQ(bundle->bundlePath(), dir.path());
        const std::size_t logLines = std::string(name) == "missing" ? 0 : 1;
        EXPECT_EQ(log.lines().size(), logLines);
        EXPECT_EQ(linesContaining(log.lines(), "no property list: " + path), logLines);
    }

    // A link to a property list is followed.
    test::TempDir dir;
    test::writeInfoPlist(dir.file("real"), {{"CFBundleIdentifier", "com.example.linked"}});
    fs::create_symlink(dir.file("real/Info.plist"), dir.file("Info.plist"));
    EXPECT_EQ(makeDirectoryBundle(dir.path())->bundleIdentifier(), "com.example.linked");
}

class DefaultDataDirectory : public ::testing::Test {
  protected:
    // Configures a platform without a data directory of its own; the store then decides.
    std::shared_ptr<KeyValueStore> openDefaultStore() {
        platform_.config().dataDirectory.clear();
        platform_.configure();
        return Platform::keyValueStore();
    }
    bool persisted() { return fs::exists(Platform::dataDirectory() + "/defaults.sqlite"); }
    std::size_t inMemoryLines() {
        return linesContaining(platform_.log().lines(), "kept in memory for this run only");
    }
    std::string expectedDirectory(const std::string& base) {
        return base + "/plovendale/com.example.data";
    }

    test::TestPlatform platform_{{"CFBundleIdentifier", "com.example.data"}};
    ScopedEnvironment environment_;
};

TEST_F(DefaultDataDirectory, IsMadePrivateUnderTheUsersDataHome) {
    const std::string home = platform_.dir().file("home");
    environment_.set("XDG_DATA_HOME", std::nullopt);
    environment_.set("HOME", home);
    openDefaultStore()->setString("v", "k");
    EXPECT_EQ(Platform::dataDirectory(), expectedDirectory(home + "/.local/share"));
    EXPECT_TRUE(persisted());

    // XDG_DATA_HOME wins when it is an absolute path, and only then.
    environment_.set("XDG_DATA_HOME", "relative/data");
    openDefaultStore();
    EXPECT_EQ(Platform::dataDirectory(), expectedDirectory(home + "/.local/share"));
    environment_.set("XDG_DATA_HOME", platform_.dir().file("xdg"));
    openDefaultStore()->setString("v", "k");
    EXPECT_EQ(Platform::dataDirectory(), expectedDirectory(platform_.dir().file("xdg")));
    EXPECT_TRUE(persisted());
    EXPECT_EQ(inMemoryLines(), 0u);

    // A directory the host names is made as private, and the store's files are the user's alone
    // wherever they are.
    for (const std::string& chosen : {std::string(), platform_.dir().file("chosen/data")}) {
        platform_.config().dataDirectory = chosen;
        platform_.configure();
        const auto store = Platform::keyValueStore();  // open: its -wal and -shm exist
        ASSERT_TRUE(store->setString("v", "k"));
        const std::string dir = Platform::dataDirectory();
        for (const std::string& made : {dir, dir.substr(0, dir.rfind('/'))})
            EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all) << made;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const std::string file = dir + "/defaults.sqlite" + suffix;
            EXPECT_EQ(fs::status(file).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write)
                << file;
        }
    }
}

TEST_F(DefaultDataDirectory, FallsBackToMemoryWhenNoPrivatePlaceExists) {
    // What stands in the way, below the data home; no permissions: a file instead of a directory.
    struct Case {
        const char* path;
        std::optional<fs::perms> perms;
        const char* why;
    };
    const Case cases[] = {
        {"/plovendale/com.example.data", fs::perms::all, "is writable by other users"},
        {"/plovendale", fs::perms::owner_all | fs::perms::group_write,
         "is writable by other users"},
        {"/plovendale/com.example.data", fs::perms::owner_all, "is owned by another user"},
        {"/plovendale", std::nullopt, "is not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + std::string(" ") + c.why);
        const bool otherOwner = std::string(c.why) == "is owned by another user";
        if (otherOwner && geteuid() != 0) continue;  // only root can give a directory away
        test::TempDir dir;
        const std::string base = dir.file("data");
        fs::create_directories(c.perms ? base + c.path : base);
        if (c.perms) fs::permissions(base + c.path, *c.perms);
        if (!c.perms) std::ofstream(base + c.path) << "x";
        if (otherOwner) {
            ASSERT_EQ(chown((base + c.path).c_str(), 65534, 65534), 0);
        }
        environment_.set("XDG_DATA_HOME", base);
        platform_.log().clear();
        openDefaultStore()->setString("v", "k");
        EXPECT_EQ(Platform::keyValueStore()->stringForKey("k"), "v");
        EXPECT_FALSE(fs::exists(expectedDirectory(base) + "/defaults.sqlite"));
        EXPECT_EQ(platform_.log().lines().size(), 1u);
        EXPECT_EQ(inMemoryLines(), 1u);
        EXPECT_EQ(linesContaining(platform_.log().lines(), c.why), 1u);
    }

    // No data home at all: nothing is written anywhere, and a broken TMPDIR does not matter.
    environment_.set("XDG_DATA_HOME", std::nullopt);
    environment_.set("HOME", std::nullopt);
    environment_.set("TMPDIR", "/nonexistent");
    platform_.log().clear();
    openDefaultStore()->setString("v", "k");
    EXPECT_EQ(Platform::dataDirectory(), "");
    EXPECT_EQ(platform_.log().lines().size(), 1u);
    EXPECT_EQ(inMemoryLines(), 1u);
}

TEST(Identifiers, EveryBitButVersionAndVariantIsDrawnAfresh) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::array<int, 128> ones{};
    std::set<std::string> seen;
    constexpr int kDraws = 2000;
    for (int i = 0; i < kDraws; ++i) {
        std::string id = UUID::UUIDString();
        ASSERT_TRUE(std::regex_match(id, form)) << id;
        seen.insert(id);
        id.erase(std::remove(id.begin(), id.end(), '-'), id.end());
        for (int bit = 0; bit < 128; ++bit) {
            const int nibble = std::stoi(id.substr(bit / 4, 1), nullptr, 16);
            ones[bit] += (nibble >> (3 - bit % 4)) & 1;
        }
    }
    // Version 4 ("0100") in bits 48-51 and the variant ("10") in bits 64-65 are fixed; every other
    // bit is a coin toss (2000 tosses stay within 800..1200 ones but for 1 in 10^18).
    for (int bit = 0; bit < 128; ++bit) {
        if ((bit >= 48 && bit < 52) || bit == 64 || bit == 65) {
            EXPECT_EQ(ones[bit], bit == 49 || bit == 64 ? kDraws : 0) << bit;
        } else {
            EXPECT_NEAR(ones[bit], kDraws / 2, kDraws / 10) << bit;
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kDraws));
    EXPECT_GT(Date::timeIntervalSince1970(), 1.7e9);
}

// The client identifier is a UUID in lower case without dashes: the UUID stands for both.
TEST(Identifiers, AForkedChildDoesNotRepeatItsParent) {
    UUID::UUIDString();  // whatever the generator sets up on first use is in place before the fork
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string id = UUID::UUIDString();
        _exit(write(pipeFds[1], id.data(), id.size()) == static_cast<ssize_t>(id.size()) ? 0 : 1);
    }
    close(pipeFds[1]);
    const std::string parentId = UUID::UUIDString();
    std::string childId(parentId.size(), '\0');
    const ssize_t got = read(pipeFds[0], childId.data(), childId.size());
    close(pipeFds[0]);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    ASSERT_EQ(got, static_cast<ssize_t>(parentId.size()));
    EXPECT_NE(childId, parentId);
}

}  // namespace
}  // namespace plovendale
