// core::Printable: text from archives and servers shown in messages.
#include "core/printable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(Printable, EscapesWhatDoesNotPrintAndKeepsTheRest)
{
    struct Case {
        std::string text, shown;
    };
    const std::vector<Case> cases = {
        {"ML\\modules\\a.mo", "ML\\modules\\a.mo"},                                                  // separators stay
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7"},  // é € and a camera
        {"<b>bold</b> & \"q\"", "<b>bold</b> & \"q\""},  // HTML is the message box's business
        {"a\x1b[2Jb", "a\\x1b[2Jb"},                     // the escape that cleared a terminal
        {std::string("n\0l", 3), "n\\x00l"},
        {"tab\tnew\nline\r", "tab\\x09new\\x0aline\\x0d"},
        {"del\x7f", "del\\x7f"},
        {"c1 \xC2\x9B"
         "2J",
         "c1 \\u009b2J"},                             // the one-byte CSI
        {"a\xE2\x80\xAEtxt.exe", "a\\u202etxt.exe"},  // right-to-left override
        {"zero\xE2\x80\x8Bwidth\xEF\xBB\xBF", "zero\\u200bwidth\\ufeff"},
        {"\xFF\xC3", "\\xff\\xc3"},           // not UTF-8, and a sequence cut short
        {"\xC0\xAF", "\\xc0\\xaf"},           // overlong "/"
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},  // a surrogate
    };
    for (const Case& c : cases)
        EXPECT_EQ(core::Printable(c.text), c.shown) << c.shown;
}
