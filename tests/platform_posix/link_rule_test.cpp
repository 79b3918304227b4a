// The kernel's protected_symlinks rule as the program keeps it: which links FollowLinks follows.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/file_io.h"
#include "platform/posix/link_rule.h"
#include "platform/posix/syscalls.h"

namespace {

namespace fs = std::filesystem;

// Owners as the test sets them, so the rule is tried without root and without a second user.
std::map<std::string, uid_t> g_owners;
platform::posix::Syscalls g_real;

int OwnedStat(const char* path, struct stat* st, int (*real)(const char*, struct stat*)) {
    const int result = real(path, st);
    const auto owner = g_owners.find(path);
    if (result == 0 && owner != g_owners.end()) st->st_uid = owner->second;
    return result;
}

class LinkRuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("trelvo-link-rule-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "shared");
        g_owners.clear();
        g_real = platform::posix::syscalls();
        platform::posix::syscalls().stat = [](const char* p, struct stat* st) { return OwnedStat(p, st, g_real.stat); };
        platform::posix::syscalls().lstat = [](const char* p, struct stat* st) { return OwnedStat(p, st, g_real.lstat); };
    }
    void TearDown() override {
        platform::posix::ResetSyscalls();
        fs::remove_all(dir_);
    }
    // The path FollowLinks is given for dir_/relative, as the walk spells it.
    std::string At(const std::string& relative) const { return (dir_ / relative).string(); }
    void Own(const std::string& relative, uid_t owner) { g_owners[At(relative)] = owner; }

    fs::path dir_;
    const uid_t me_ = ::geteuid(), other_ = me_ + 4242, third_ = me_ + 4343;
};

TEST_F(LinkRuleTest, ALinkInAStickyFolderOthersMayWriteIsFollowedOnlyWhenItIsTheUsersOrTheFolderOwners) {
    const struct {
        const char* name;
        fs::perms mode;
        bool foreignFolder;  // the folder belongs to third_, as /tmp to root
        bool linkOfOther;    // the link belongs to other_; else to the folder's owner
        bool followed;
    } cases[] = {
        {"sticky, everyone writes, the user's link", fs::perms::all | fs::perms::sticky_bit, false, false, true},
        {"sticky, everyone writes, the folder owner's link", fs::perms::all | fs::perms::sticky_bit, true, false, true},
        {"sticky, everyone writes, another's link", fs::perms::all | fs::perms::sticky_bit, true, true, false},
        {"sticky, everyone writes, another's link in the user's folder", fs::perms::all | fs::perms::sticky_bit, false, true, false},
        {"everyone writes, not sticky", fs::perms::all, true, true, true},
        {"sticky, only the group writes", fs::perms::owner_all | fs::perms::group_all | fs::perms::sticky_bit, true, true, true},
        {"a private folder", fs::perms::owner_all, true, true, true},
    };
    std::ofstream(dir_ / "notes.txt") << "notes";
    fs::create_symlink(dir_ / "notes.txt", dir_ / "shared" / "log");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::permissions(dir_ / "shared", c.mode);
        const uid_t folderOwner = c.foreignFolder ? third_ : me_;
        Own("shared", folderOwner);
        Own("shared/log", c.linkOfOther ? other_ : folderOwner);
        std::string target;
        const int error = platform::FollowLinks(At("shared/log"), target);
        EXPECT_EQ(error, c.followed ? 0 : platform::FILEIO_FOREIGN_LINK);
        EXPECT_EQ(target, c.followed ? At("notes.txt") : At("shared/log"));
    }
}

TEST_F(LinkRuleTest, EveryLinkOfTheWalkIsJudgedInItsOwnFolder) {
    fs::permissions(dir_ / "shared", fs::perms::all | fs::perms::sticky_bit);
    Own("shared", third_);
    fs::create_directory(dir_ / "docs");
    fs::create_symlink("planted", dir_ / "shared" / "mine");       // the user's link to another's
    fs::create_symlink(dir_ / "docs" / "notes.txt", dir_ / "shared" / "planted");
    fs::create_symlink(dir_ / "docs", dir_ / "shared" / "folder");  // another's link to a folder
    fs::create_symlink("loop-b", dir_ / "shared" / "loop-a");
    fs::create_symlink("loop-a", dir_ / "shared" / "loop-b");
    fs::create_symlink(dir_ / "shared" / "planted", dir_ / "docs" / "via");  // from a private folder
    fs::create_symlink("../docs/new.txt", dir_ / "shared" / "relative");
    Own("shared/planted", other_);
    Own("shared/folder", other_);
    const struct {
        const char* path;
        int error;
        const char* target;  // relative to the test's folder
    } cases[] = {
        {"shared/mine", platform::FILEIO_FOREIGN_LINK, "shared/planted"},
        {"shared/folder/notes.txt", platform::FILEIO_FOREIGN_LINK, "shared/folder"},
        {"docs/via", platform::FILEIO_FOREIGN_LINK, "shared/planted"},
        {"shared/loop-a", ELOOP, ""},
        {"shared/relative", 0, "shared/../docs/new.txt"},  // a missing file: the open creates it
        {"docs/missing/deeper.txt", 0, "docs/missing/deeper.txt"},
        {"shared/./relative", 0, "shared/./../docs/new.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string target;
        EXPECT_EQ(platform::FollowLinks(At(c.path), target), c.error);
        if (*c.target != '\0') {
            EXPECT_EQ(target, At(c.target));
        }
    }
}

}  // namespace
