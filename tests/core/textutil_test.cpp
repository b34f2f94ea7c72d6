#include "core/textutil.h"

#include <gtest/gtest.h>

using namespace core;

TEST(TextUtil, SplitTextKeepsEmptyPieces)
{
    EXPECT_EQ(SplitText(";", "a;b;"), (std::vector<std::string>{"a", "b", ""}));
    EXPECT_EQ(SplitText(";", ""), (std::vector<std::string>{""}));
    EXPECT_EQ(SplitText(";", "abc"), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(SplitText(";", ";;x"), (std::vector<std::string>{"", "", "x"}));
    EXPECT_EQ(SplitText("::", "a::b:c"), (std::vector<std::string>{"a", "b:c"}));
}

TEST(TextUtil, StripTagsRemovesMarkupAndEnds)
{
    EXPECT_EQ(StripTags("<b>Not found</b> (404)"), "Not found (404)");
    EXPECT_EQ(StripTags("no tags"), "no tags");
    EXPECT_EQ(StripTags("a < b"), "a ");  // unclosed tag: the rest is dropped
    EXPECT_EQ(StripTags("<html><body><h1>Err</h1></body></html>"), "Err");
    EXPECT_EQ(StripTags("x>y<z>w"), "x>yw");
}

TEST(TextUtil, NumbersNamesAndAddresses)
{
    EXPECT_EQ(PadNumber(7, 3, '0'), "007");
    EXPECT_EQ(PadNumber(1234, 3, '0'), "1234");
    EXPECT_EQ(NameBeforeDot("C:\\Programs\\Flintor.exe"), "Flintor");
    EXPECT_EQ(NameBeforeDot("/usr/bin/flintor"), "");
    EXPECT_EQ(NameBeforeDot("/opt/a.b/flintor.x.y"), "flintor");
    EXPECT_TRUE(InRange(5, 5, 6));
    EXPECT_FALSE(InRange(7, 5, 6));
    EXPECT_EQ(FirstCharCode("E: card"), 'E');
    EXPECT_EQ(UrlFileName("http://host/ML/builds/magiclantern-v1.zip"), "magiclantern-v1.zip");
    EXPECT_EQ(UrlFileName("archive.zip"), "archive.zip");
    EXPECT_EQ(UrlFileName("http://host/dir/"), "");
    const std::string longName(300, 'a');
    // Each step keeps at most 255 characters after a "/", so an overlong
    // address is cut from the end.
    EXPECT_EQ(UrlFileName("http://h/" + longName), std::string(252, 'a'));
}
