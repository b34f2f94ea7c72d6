// The guarantees the card's file work rests on that no card test meets: a new
// file never takes a name something already has, and removal never takes a
// folder that is not empty or that a link stands for.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/cardfiles.h"
#include "support/cardfiles.h"

namespace {

namespace fs = std::filesystem;
using platform::NewFile;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

class CardFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/flintor-cardfiles-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(CardFilesTest, ExclusiveFileTakesNoNameThatIsInUse)
{
    const struct {
        const char* what;
        std::function<void(const fs::path&)> occupy;
    } cases[] = {
        {"a file", [](const fs::path& p) { WriteWhole(p, "old"); }},
        {"a folder", [](const fs::path& p) { fs::create_directory(p); }},
        {"a dangling link", [](const fs::path& p) { fs::create_symlink(p.string() + ".target", p); }},
    };
    for (const auto& c : cases) {
        const fs::path path = dir / c.what;
        c.occupy(path);
        NewFile file(path, NewFile::Create::Exclusive, platform::Readers::Everyone);
        EXPECT_FALSE(file.IsOpen()) << c.what;
        EXPECT_EQ(file.Error(), "File exists") << c.what;
        EXPECT_FALSE(fs::exists(path.string() + ".target")) << c.what << ": the link was followed";
    }
    EXPECT_EQ(ReadWhole((dir / "a file").string()), "old");

    NewFile file(dir / "new", NewFile::Create::Exclusive, platform::Readers::Everyone);
    ASSERT_TRUE(file.IsOpen()) << file.Error();
    EXPECT_TRUE(file.Write("12345", 5) && file.Flush() && file.Close()) << file.Error();
    EXPECT_EQ(ReadWhole((dir / "new").string()), "12345");
}

TEST_F(CardFilesTest, OnlyEmptyFoldersAndNeverAFolderThroughALinkAreRemoved)
{
    WriteWhole((dir / "full/kept.txt").string(), "x");
    fs::create_directory(dir / "empty");
    fs::create_directory(dir / "target");
    fs::create_directory_symlink(dir / "target", dir / "link");

    EXPECT_FALSE(platform::RemoveEmptyFolder((dir / "full").string()));
    EXPECT_FALSE(platform::RemoveEmptyFolder((dir / "link").string()));
    EXPECT_TRUE(platform::RemoveEmptyFolder((dir / "empty").string()));
    std::string error;
    EXPECT_FALSE(platform::RemoveFile((dir / "target").string(), &error));
    EXPECT_EQ(error, "Is a directory");
    EXPECT_TRUE(platform::RemoveFile((dir / "link").string(), &error));
    EXPECT_TRUE(platform::RemoveFile((dir / "never there").string(), &error));

    EXPECT_TRUE(fs::exists(dir / "full/kept.txt"));
    EXPECT_TRUE(fs::is_directory(dir / "target"));
    EXPECT_FALSE(fs::exists(dir / "empty"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "link")));
}

}  // namespace
