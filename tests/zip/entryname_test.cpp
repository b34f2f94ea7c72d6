// SafeEntryPath: names from an archive must never reach outside the card's root folder.
#include "zip/entryname.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

TEST(SafeEntryPath, AcceptsRelativeNames)
{
    struct Case {
        std::string name;
        std::string relative;
        bool folder;
    };
    const std::vector<Case> cases = {
        {"autoexec.bin", "autoexec.bin", false},
        {"ML\\modules\\lua.mo", "ML/modules/lua.mo", false},
        {"ML\\", "ML/", true},
        {"ML/scripts/", "ML/scripts/", true},
        {"ML\\data/fonts.dat", "ML/data/fonts.dat", false},
        {"ML\\\\\\doc//x.txt", "ML/doc/x.txt", false},
        {"ML\\doc\\\\", "ML/doc/", true},
        {".hidden\\..x\\x..\\a.b.", ".hidden/..x/x../a.b.", false},
        {"caf\xC3\xA9\\\xE2\x82\xAC.txt", "caf\xC3\xA9/\xE2\x82\xAC.txt", false},
        {"with space\\ lead", "with space/ lead", false},
    };
    for (const Case& c : cases) {
        std::string relative = "stale";
        bool folder = !c.folder;
        EXPECT_TRUE(SafeEntryPath(c.name, &relative, &folder)) << c.name;
        EXPECT_EQ(relative, c.relative) << c.name;
        EXPECT_EQ(folder, c.folder) << c.name;
    }
    EXPECT_TRUE(SafeEntryPath("a\\b", nullptr, nullptr));
}

TEST(SafeEntryPath, RefusesNamesThatLeaveTheFolderOrCannotBeWritten)
{
    const std::vector<std::string> refused = {
        "",
        "\\",
        "/",
        "\\\\",
        "\\autoexec.bin",
        "/etc/passwd",
        "\\\\server\\share\\x",
        "C:\\autoexec.bin",
        "C:autoexec.bin",
        "ML\\file.txt:stream",
        ".",
        "..",
        "...",
        "..\\x",
        "../x",
        "ML\\..\\..\\x",
        "ML/../../x",
        "ML\\..",
        "ML\\..\\",
        "ML\\.\\x",
        "ML\\. .\\x",
        "ML\\ \\x",
        "ML\\.. \\x",
        "a\tb",
        "a\nb",
        "a\x1F",
        "a\x7F" "b",
        std::string("a\0b", 3),
    };
    for (const std::string& name : refused) {
        std::string relative;
        bool folder = false;
        EXPECT_FALSE(SafeEntryPath(name, &relative, &folder)) << '"' << name << '"';
    }
}

// Every name over a small alphabet of risky characters: whatever is accepted
// must be a plain relative path made of real names.
TEST(SafeEntryPath, AcceptedNamesStayInsideTheRootFolder)
{
    const std::string alphabet = "a.\\/ :";
    std::vector<std::string> names = {""};
    size_t accepted = 0;
    for (int length = 1; length <= 6; ++length) {
        std::vector<std::string> longer;
        for (const std::string& prefix : names)
            for (char c : alphabet)
                longer.push_back(prefix + c);
        names = longer;
        for (const std::string& name : names) {
            std::string relative;
            bool folder = false;
            if (!SafeEntryPath(name, &relative, &folder))
                continue;
            ++accepted;
            ASSERT_FALSE(relative.empty()) << name;
            ASSERT_NE(relative.front(), '/') << name;
            ASSERT_EQ(relative.find_first_of("\\:"), std::string::npos) << name;
            ASSERT_EQ(folder, relative.back() == '/') << name;
            ASSERT_EQ(folder, name.back() == '\\' || name.back() == '/') << name;
            std::stringstream segments(folder ? relative.substr(0, relative.size() - 1) : relative);
            for (std::string segment; std::getline(segments, segment, '/');) {
                ASSERT_FALSE(segment.empty()) << name;
                ASSERT_NE(segment.find('a'), std::string::npos) << name << ": segment without a real character";
            }
        }
    }
    EXPECT_GT(accepted, 1000u);
}

}  // namespace
