// SafeEntryPath: names from an archive must never reach outside the card's root folder.
#include "zip/entryname.h"

#include <gtest/gtest.h>

#include <sstream>

TEST(SafeEntryPath, AcceptsRelativeNamesAndRefusesTheRest)
{
    for (const auto& [name, relative, folder] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"autoexec.bin", "autoexec.bin", false},
             {"ML\\modules\\lua.mo", "ML/modules/lua.mo", false},
             {"ML\\", "ML/", true},
             {"ML/data\\f.dat", "ML/data/f.dat", false},
             {"ML\\\\doc//x", "ML/doc/x", false},
             {"ML\\doc\\\\", "ML/doc/", true},
             {".hid\\..x\\x..\\a.", ".hid/..x/x../a.", false},
             // Names, however odd: whether a card can hold them is the build check's question.
             {"a..b.txt", "a..b.txt", false},
             {"...\\. .\\ \\x", ".../. ./ /x", false},
             {"a\tb\x1b[2J", "a\tb\x1b[2J", false},
             {"caf\xC3\xA9\\ \xE2\x82\xAC", "caf\xC3\xA9/ \xE2\x82\xAC", false}}) {
        std::string gotRelative;
        bool gotFolder = !folder;
        EXPECT_TRUE(SafeEntryPath(name, &gotRelative, &gotFolder)) << name;
        EXPECT_EQ(gotRelative, relative);
        EXPECT_EQ(gotFolder, folder) << name;
    }
    for (const std::string name :
         {"", "\\", "/", "\\x", "/etc/passwd", "\\\\server\\share\\x", "C:\\x", "C:x", "ML\\f:stream", ".", "..",
          "..\\x", "../x", "ML\\..\\..\\x", "ML/../x", "ML\\..", "ML\\..\\", "ML\\.\\x"})
        EXPECT_FALSE(SafeEntryPath(name, nullptr, nullptr)) << '"' << name << '"';
}

// Every name of up to 6 risky characters: what is accepted must be a plain
// relative path of names, none of them "." or "..".
TEST(SafeEntryPath, AcceptedNamesStayInsideTheRootFolder)
{
    std::vector<std::string> names = {""};
    size_t accepted = 0;
    for (int length = 1; length <= 6; ++length) {
        std::vector<std::string> longer;
        for (const std::string& prefix : names)
            for (char c : std::string("a.\\/ :"))
                longer.push_back(prefix + c);
        names.swap(longer);
        for (const std::string& name : names) {
            std::string relative;
            bool folder = false;
            if (!SafeEntryPath(name, &relative, &folder))
                continue;
            ++accepted;
            ASSERT_EQ(folder, name.back() == '\\' || name.back() == '/') << name;
            ASSERT_EQ(relative.find_first_of("\\:"), std::string::npos) << name;
            ASSERT_EQ(folder, relative.back() == '/') << name;
            std::stringstream segments(relative.substr(0, relative.size() - folder));
            for (std::string segment; std::getline(segments, segment, '/');)
                ASSERT_TRUE(!segment.empty() && segment != "." && segment != "..") << name;
        }
    }
    EXPECT_GT(accepted, 1000u);
}
