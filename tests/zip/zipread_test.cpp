// TZipRead against archives made here by Info-ZIP zip, some byte-patched.
#include "zip/zipread.h"
#include "ziptest.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

using namespace ziptest;
using ZipRead = ZipTest;

TEST_F(ZipRead, StoredAndDeflatedEntriesRoundTrip)
{
    const std::string big = Words(300000);
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary += static_cast<char>(i * 131);
    Source("plain.txt", "hello card\n");
    Source("sub/deep/data.bin", big);
    Source("sub/all.bin", binary);
    Source("empty.txt", "");
    ASSERT_EQ(Shell("touch -d '2021-03-04 05:06:08' '" + Path("src/plain.txt") + "'"), 0);
    const uint32_t dosTime = (((2021 - 1980) << 9 | 3 << 5 | 4) << 16) | (5 << 11 | 6 << 5 | 8 / 2);
    for (const std::string level : {"-6", "-0"}) {
        const Bytes archive = Zip(level + " ../out.zip plain.txt sub/deep/data.bin sub/all.bin empty.txt");
        ASSERT_EQ(Get(archive, Find(archive, "sub/deep/data.bin") + 8, 2), level == "-0" ? 0u : 8u);
        TZipRead fromMemory(archive.data(), archive.size()), fromFile(Path("out.zip"));
        for (TZipRead* zip : {&fromMemory, &fromFile}) {
            ASSERT_EQ(Names(*zip),
                      (std::vector<std::string>{"plain.txt", "sub\\deep\\data.bin", "sub\\all.bin", "empty.txt"}));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(zip->Entries[1].RawName), 17), "sub/deep/data.bin");
            EXPECT_EQ(zip->Entries[0].DosDateTime(), dosTime);
            EXPECT_EQ(zip->Extract(0), "hello card\n");
            EXPECT_TRUE(zip->Extract(1) == big) << level;
            EXPECT_EQ(zip->Extract(2), binary);
            EXPECT_EQ(zip->Extract(3), "");
            for (int bad : {-1, 4, INT_MIN, INT_MAX})
                EXPECT_EQ(zip->Extract(bad), "");
        }
        EXPECT_EQ(fromMemory.Entries[0].LocalHeader, archive.data() + 4);
    }
    EXPECT_TRUE(messages_.empty());
}

TEST_F(ZipRead, FindsTheArchiveBehindOtherDataAndItsEndBehindAComment)
{
    Source("a.txt", "alpha");
    const Bytes base = Zip("../out.zip a.txt");
    Bytes file(1000, 'x');
    std::memcpy(&file[10], "PK\3\4", 4);  // a stray local header signature
    file.insert(file.end(), base.begin(), base.end());
    Write("prefixed.bin", file);
    TZipRead zip(Path("prefixed.bin"), 20);
    ASSERT_EQ(zip.EntryCount, 1);
    EXPECT_EQ(zip.Extract(0), "alpha");
    EXPECT_EQ(ErrorOf(Path("prefixed.bin"), 0, 0), "ZIP format");                 // offsets counted from the stray one
    EXPECT_EQ(ErrorOf(Path("prefixed.bin"), 20, file.size() - 1), "ZIP format");  // end record cut off
    EXPECT_EQ(ErrorOf(Path("prefixed.bin"), 1001, 0), "No ZIP found");

    for (size_t length : {0, 428, 429, 1000}) {
        Bytes archive = base;
        Put(archive, Find(archive, "") + 20, 2, static_cast<uint32_t>(length));
        archive.insert(archive.end(), length, 'c');
        Write("comment.zip", archive);
        ASSERT_EQ(Shell("unzip -tqq '" + Path("comment.zip") + "'"), 0);  // valid for unzip
        EXPECT_EQ(ErrorOf(archive), length <= 428 ? "(opened)" : "ZIP format") << length;
    }
}

TEST_F(ZipRead, EveryEntryListedButOnlyStoredAndDeflatedOnesExtract)
{
    Source("ML/a.txt", Words(5000));
    Source("ML/b.txt", "bee");
    Source("ML/d.txt", "dee");
    Bytes archive = Zip("../out.zip ML/ ML/a.txt ML/b.txt ML/d.txt");
    PutBoth(archive, "ML/b.txt", 8, 2, 12);
    const size_t d = Find(archive, "ML/d.txt"), cd = Find(archive, "ML/d.txt", true);
    for (const size_t name : {d + 26, cd + 28}) {  // the name emptied, its bytes taken into the extra field
        Put(archive, name + 2, 2, Get(archive, name + 2, 2) + Get(archive, name, 2));
        Put(archive, name, 2, 0);
    }
    TZipRead zip(archive.data(), archive.size());
    EXPECT_EQ(Names(zip), (std::vector<std::string>{"ML\\", "ML\\a.txt", "ML\\b.txt", ""}));
    EXPECT_EQ(zip.Entries[2].Method, 12);
    EXPECT_EQ(zip.Extract(0), "");
    EXPECT_EQ(zip.Extract(1), Words(5000));
    EXPECT_EQ(zip.Extract(2), "");
    EXPECT_EQ(zip.Extract(3), "dee");
    EXPECT_EQ(messages_,
              (Messages{{"it is compressed with a method this program cannot unpack (bzip2)", "ML\\b.txt"}}));
}

// Every zip tool lists the central directory; unpacking reads the local
// headers. An archive whose two headers tell different stories is refused.
TEST_F(ZipRead, LocalAndCentralHeadersMustAgree)
{
    Source("readme12.txt", "read me");
    Source("ML/modules/a.mo", Words(3000));
    const Bytes base = Zip("../out.zip readme12.txt ML/modules/a.mo");
    const size_t local = Find(base, "ML/modules/a.mo"), central = Find(base, "ML/modules/a.mo", true);
    struct Case {
        const char* what;
        std::function<void(Bytes&)> patch;
        const char* expect;
    };
    const auto flip = [](size_t at, uint32_t bits) {
        return [at, bits](Bytes& b) { Put(b, at, 2, Get(b, at, 2) ^ bits); };
    };
    const std::vector<Case> cases = {
        {"another local name", [](Bytes& b) { Rename(b, "readme12.txt", "autoexec.bin", true, false); }, "ZIP format"},
        {"another central name", [](Bytes& b) { Rename(b, "readme12.txt", "autoexec.bin", false, true); },
         "ZIP format"},
        {"a shorter local name",
         [local](Bytes& b) {
             Put(b, local + 26, 2, Get(b, local + 26, 2) - 1);  // "ML/modules/a.m"; the "o" now starts the extra field
             Put(b, local + 28, 2, Get(b, local + 28, 2) + 1);
         },
         "ZIP format"},
        {"UTF-8 flag only in the local header", flip(local + 6, 0x0800), "ZIP format"},
        {"UTF-8 flag only in the directory", flip(central + 8, 0x0800), "ZIP format"},
        {"descriptor flag only in the local header", flip(local + 6, 0x0008), "ZIP format"},
        {"descriptor flag only in the directory", flip(central + 8, 0x0008), "ZIP format"},
        {"bzip2 only in the directory", [central](Bytes& b) { Put(b, central + 10, 2, 12); }, "ZIP format"},
        // The same changes made to both headers are a consistent archive.
        {"renamed in both", [](Bytes& b) { Rename(b, "readme12.txt", "autoexec.bin"); }, "(opened)"},
        {"UTF-8 flag in both", [](Bytes& b) { PutBoth(b, "ML/modules/a.mo", 6, 2, 0x0800); }, "(opened)"},
    };
    for (const Case& c : cases) {
        Bytes archive = base;
        c.patch(archive);
        EXPECT_EQ(ErrorOf(archive), c.expect) << c.what;
    }
}

TEST_F(ZipRead, FailedChecksShowMessagesAndExtractEmpty)
{
    Source("dir/deflated.txt", Words(20000));
    Source("stored.txt", "stored content");
    const Bytes base = Zip("../out.zip dir/deflated.txt && zip -q -0 ../out.zip stored.txt");
    const size_t d = Find(base, "dir/deflated.txt"), s = Find(base, "stored.txt");
    const uint32_t size = Get(base, d + 22, 4);
    const std::pair<std::string, std::string> crc{"CRC", "dir\\deflated.txt"}, bufError{"-5", "ZipRead"};
    // A field of the deflated entry (both headers), or a byte of the data.
    struct Case {
        size_t field;
        int width;
        uint32_t value;
        size_t dataAt;
        int index;
        Messages messages;
    };
    for (const Case& c :
         std::vector<Case>{{0, 0, 0, DataOf(base, d), 0, {{"-3", "ZipRead"}, crc}},  // invalid deflate block type
                           {14, 1, base[d + 14] ^ 1u, 0, 0, {crc}},
                           {22, 4, size + 1, 0, 0, {crc}},
                           {22, 4, size - 1, 0, 0, {bufError, crc}},
                           {22, 4, 0xF0000000, 0, 0, {crc}},  // never allocated in full: deflate cannot reach it
                           {18, 4, Get(base, d + 18, 4) - 1, 0, 0, {bufError, crc}},  // data cut short
                           {0, 0, 0, DataOf(base, s), 1, {{"CRC", "stored.txt"}}}}) {
        messages_.clear();
        Bytes archive = base;
        if (c.width)
            PutBoth(archive, "dir/deflated.txt", c.field, c.width, c.value);
        else
            archive[c.dataAt] = c.index == 0 ? 0x07 : 'S';
        TZipRead zip(archive.data(), archive.size());
        EXPECT_EQ(zip.Extract(c.index), "") << c.field;
        EXPECT_EQ(messages_, c.messages) << c.field;
        EXPECT_NE(zip.Extract(1 - c.index), "");  // the other entry is unharmed
        EXPECT_EQ(messages_.size(), c.messages.size());
    }
}

TEST_F(ZipRead, OffsetsAndLengthsOutsideTheArchiveFail)
{
    Source("a.txt", Words(3000));
    Source("b.txt", "bee");
    const Bytes base = Zip("../out.zip a.txt && zip -q -0 ../out.zip b.txt");
    const size_t end = Find(base, ""), a = Find(base, "a.txt"), b = Find(base, "b.txt"), cb = Find(base, "b.txt", true);
    const size_t ca = Find(base, "a.txt", true);  // the directory's start
    const uint32_t size = static_cast<uint32_t>(base.size()), toDirectory = static_cast<uint32_t>(ca - DataOf(base, b));
    struct Case {
        size_t at;
        int width;
        uint32_t value;
        const char* expect;
        size_t alsoAt = 0;
    };
    for (const Case& c :
         std::vector<Case>{{end + 16, 4, size, "ZIP format"},
                           {end + 16, 4, 0xFFFFFFFF, "ZIP format"},  // directory offset
                           {end + 10, 2, 3, "ZIP format"},
                           {end + 10, 2, 0xFFFF, "ZIP format"},                      // entry count
                           {end + 12, 4, Get(base, end + 12, 4) - 1, "ZIP format"},  // directory size
                           {end + 12, 4, Get(base, end + 12, 4) + 1, "ZIP format"},
                           {end + 4, 2, 1, "ZIP format"},
                           {end + 8, 2, 1, "ZIP format"},  // split archive
                           {cb, 4, 0x02014b51, "ZIP format"},
                           {cb + 28, 2, 0xFFFF, "ZIP format"},  // central header
                           {cb + 30, 2, 0xFFFF, "ZIP format"},
                           {cb + 32, 2, 0xFFFF, "ZIP format"},
                           {cb + 42, 4, size - 10, "ZIP format"},
                           {cb + 42, 4, 0xFFFFFFFF, "ZIP format"},                // local offset
                           {cb + 42, 4, static_cast<uint32_t>(a), "ZIP format"},  // two entries on the same bytes
                           {cb + 42, 4, 1, "ZIP format"},
                           {b, 1, 'Q', "ZIP format"},  // no local header there
                           {b + 26, 2, 0xFFFF, "ZIP format"},
                           {b + 28, 2, 0xFFFF, "ZIP format"},  // local name, extra
                           {a + 18, 4, size, "ZIP format", ca + 20},
                           {a + 18, 4, 0xFFFFFFFF, "ZIP format", ca + 20},       // deflated data
                           {a + 18, 4, 3001, "ZIP format", ca + 20},             // runs into the next entry
                           {b + 18, 4, toDirectory + 1, "ZIP format", cb + 20},  // stored data runs into the directory
                           {b + 18, 4, toDirectory, "(opened)", cb + 20},
                           {a + 18, 4, Get(base, a + 18, 4) - 1, "ZIP format"},  // the headers disagree
                           {b + 14, 1, 0x55, "ZIP format"},
                           {b + 22, 1, 9, "ZIP format"}}) {
        Bytes archive = base;
        Put(archive, c.at, c.width, c.value);
        if (c.alsoAt)
            Put(archive, c.alsoAt, c.width, c.value);
        EXPECT_EQ(ErrorOf(archive), c.expect) << c.at << " := " << c.value;
    }
    // Two directory entries for the same local header and data (overlapping
    // entries unpack one stretch of data many times over).
    Bytes twice(base.begin(), base.begin() + static_cast<long>(cb));
    twice.insert(twice.end(), base.begin() + static_cast<long>(ca), base.begin() + static_cast<long>(cb));
    twice.insert(twice.end(), base.begin() + static_cast<long>(end), base.end());
    const size_t twiceEnd = Find(twice, "");
    Put(twice, twiceEnd + 8, 2, 2);
    Put(twice, twiceEnd + 10, 2, 2);
    Put(twice, twiceEnd + 12, 4, static_cast<uint32_t>(2 * (cb - ca)));
    EXPECT_EQ(ErrorOf(twice), "ZIP format");
    Bytes cut(base.begin(), base.begin() + static_cast<long>(cb) + 20);  // directory cut short
    cut.insert(cut.end(), base.begin() + static_cast<long>(end), base.end());
    EXPECT_EQ(ErrorOf(cut), "ZIP format");
    for (size_t length = 0; length < base.size(); ++length)
        EXPECT_EQ(ErrorOf(Bytes(base.begin(), base.begin() + static_cast<long>(length))), "ZIP format");
}

TEST_F(ZipRead, OpenFailures)
{
    Bytes endOnly(22, 0);  // an archive without entries: no local header at all
    Put(endOnly, 0, 4, 0x06054b50);
    EXPECT_EQ(TZipRead(endOnly.data(), endOnly.size()).EntryCount, 0);
    Write("endonly.zip", endOnly);
    Write("empty.zip", {});
    Write("text.zip", Bytes{'t', 'e', 'x', 't', '\n'});
    Write("noend.zip", Bytes{'P', 'K', 3, 4, 0, 0, 0, 0, 0, 0, 0});
    for (const auto& [file, error] :
         std::vector<std::pair<std::string, std::string>>{{Path("missing.zip"), "Missing File"},
                                                          {Path("empty.zip"), "Missing File"},
                                                          {dir_, "Missing File"},
                                                          {Path("text.zip"), "No ZIP found"},
                                                          {Path("endonly.zip"), "No ZIP found"},
                                                          {Path("noend.zip"), "ZIP format"}})
        EXPECT_EQ(ErrorOf(file, 0, 0), error) << file;
    Put(endOnly, 16, 4, 23);  // directory offset past the end, even with nothing to read there
    EXPECT_EQ(ErrorOf(endOnly), "ZIP format");
}

TEST_F(ZipRead, NamesDecodedFromUtf8OrCodePage437)
{
    const std::string utf8 = "caf\xC3\xA9/\xE2\x82\xAC.txt", oem(128, 'n');  // café/€.txt
    Source(utf8, "euro");
    Source(oem, "oem");
    Bytes archive = Zip("../out.zip '" + utf8 + "' " + oem);
    const size_t u = Find(archive, utf8), o = Find(archive, oem);
    const size_t cu = Find(archive, utf8, true), co = Find(archive, oem, true);
    ASSERT_EQ(Get(archive, u + 6, 2) & 0x0800, 0u);
    std::string high, expected(512, '\0');  // the upper half, checked against the C library's table
    for (int c = 0x80; c <= 0xFF; ++c)
        high += static_cast<char>(c);
    std::memcpy(&archive[o + 30], high.data(), high.size());  // in both headers, which must agree
    std::memcpy(&archive[co + 46], high.data(), high.size());
    char *in = high.data(), *out = expected.data();
    size_t inLeft = high.size(), outLeft = expected.size();
    iconv_t cd = iconv_open("UTF-8", "CP437");
    ASSERT_EQ(iconv(cd, &in, &inLeft, &out, &outLeft), 0u);
    iconv_close(cd);
    expected.resize(expected.size() - outLeft);

    TZipRead oemNames(archive.data(), archive.size());
    EXPECT_EQ(oemNames.Entries[0].Name, "caf\xE2\x94\x9C\xE2\x8C\x90\\\xCE\x93\xC3\xA9\xC2\xBC.txt");
    EXPECT_EQ(oemNames.Entries[1].Name, expected);
    PutBoth(archive, utf8, 6, 2, 0x0800);  // the flag marks the name as UTF-8
    EXPECT_EQ(TZipRead(archive.data(), archive.size()).Entries[0].Name, "caf\xC3\xA9\\\xE2\x82\xAC.txt");
    for (const size_t name : {u + 30, cu + 46}) {
        archive[name + 3] = 0xC0;  // overlong lead byte, then a stray continuation byte
        archive[name + 8] = 'x';   // the euro sign cut short
    }
    EXPECT_EQ(TZipRead(archive.data(), archive.size()).Entries[0].Name,
              "caf\xEF\xBF\xBD\xEF\xBF\xBD\\\xEF\xBF\xBD\xEF\xBF\xBDx.txt");
}

}  // namespace
