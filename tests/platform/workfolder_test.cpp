#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/workfolder.h"
#include "support/scopedenv.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;

class WorkFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "flintor-workfolder.XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        root_ = templ;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    static mode_t Mode(const std::string& p)
    {
        struct stat st {};
        EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    }
    std::string root_;
};

TEST_F(WorkFolder, CacheFolderFromEnvironment)
{
    {
        ScopedEnv xdg("XDG_CACHE_HOME", (root_ + "/xdg").c_str());
        EXPECT_EQ(platform::UserCacheFolder(), root_ + "/xdg/");
    }
    {
        ScopedEnv xdg("XDG_CACHE_HOME", "relative/cache");  // not absolute: ignored
        ScopedEnv home("HOME", (root_ + "/home/").c_str());
        EXPECT_EQ(platform::UserCacheFolder(), root_ + "/home/.cache/");
    }
    {
        ScopedEnv xdg("XDG_CACHE_HOME", "");
        ScopedEnv home("HOME", nullptr);
        const std::string folder = platform::UserCacheFolder();
        ASSERT_FALSE(folder.empty());
        EXPECT_EQ(folder.front(), '/');
        EXPECT_EQ(folder.substr(folder.size() - 8), "/.cache/");
    }
}

TEST_F(WorkFolder, CreatesPrivateFoldersWithParents)
{
    const std::string target = root_ + "/cache/Flintor/001";
    std::string why;
    ASSERT_TRUE(platform::PreparePrivateFolder(target, &why)) << why;
    EXPECT_EQ(Mode(target), 0700u);
    EXPECT_EQ(Mode(root_ + "/cache"), 0700u);
    EXPECT_EQ(Mode(root_ + "/cache/Flintor"), 0700u);
    // Again, and with a trailing slash: fine.
    EXPECT_TRUE(platform::PreparePrivateFolder(target + "/", &why)) << why;
    EXPECT_FALSE(platform::PreparePrivateFolder("relative/folder", &why));
}

TEST_F(WorkFolder, RefusesFoldersThatAreNotPrivate)
{
    std::string why;
    const std::string open = root_ + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0755), 0);
    EXPECT_FALSE(platform::PreparePrivateFolder(open, &why));
    EXPECT_NE(why.find("0755"), std::string::npos) << why;
    EXPECT_EQ(Mode(open), 0755u);  // left as it was

    const std::string target = root_ + "/target";
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    const std::string link = root_ + "/link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    why.clear();
    EXPECT_FALSE(platform::PreparePrivateFolder(link, &why));
    EXPECT_NE(why.find("symbolic link"), std::string::npos) << why;

    const std::string file = root_ + "/file";
    std::ofstream(file) << "x";
    why.clear();
    EXPECT_FALSE(platform::PreparePrivateFolder(file, &why));
    EXPECT_NE(why.find("not a folder"), std::string::npos) << why;

    // A parent that is a file.
    EXPECT_FALSE(platform::PreparePrivateFolder(file + "/sub", &why));
}

TEST_F(WorkFolder, NamedAfterTheProgramAndPrivate)
{
    ScopedEnv xdg("XDG_CACHE_HOME", root_.c_str());
    std::string note;
    EXPECT_EQ(platform::MakeWorkFolder(1, "/usr/bin/flintor", &note), root_ + "/flintor001/");
    EXPECT_EQ(Mode(root_ + "/flintor001"), 0700u);
    EXPECT_EQ(platform::MakeWorkFolder(1, "C:\\x\\Flintor.exe", &note), root_ + "/Flintor001/");
    EXPECT_TRUE(note.empty()) << note;

    // A folder open to others is not used; a private one is chosen instead.
    const std::string open = root_ + "/open001";
    ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    EXPECT_EQ(platform::MakeWorkFolder(1, "/bin/open", &note), root_ + "/open001-2/");
    EXPECT_NE(note.find("open001-2"), std::string::npos) << note;
}

TEST_F(WorkFolder, RefusesAnotherUsersFolder)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    const std::string theirs = root_ + "/theirs";
    ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    std::string why;
    EXPECT_FALSE(platform::PreparePrivateFolder(theirs, &why));
    EXPECT_NE(why.find("another user"), std::string::npos) << why;
    struct stat st {};
    ASSERT_EQ(stat(theirs.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
}

}  // namespace
