// TZipRead against archives made here by Info-ZIP zip, some byte-patched.
#include "zip/zipread.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Message = std::pair<std::string, std::string>;  // text, caption

uint32_t Get32(const Bytes& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t Get16(const Bytes& b, size_t at)
{
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
void Put16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = v & 0xFF;
    b[at + 1] = v >> 8;
}
void Put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = (v >> (8 * i)) & 0xFF;
}

// Offset of the header with the given signature whose name (at nameAt) is `name`.
size_t FindHeader(const Bytes& b, uint32_t signature, size_t nameAt, size_t lengthAt, const std::string& name)
{
    for (size_t i = 0; i + nameAt + name.size() <= b.size(); ++i) {
        if (Get32(b, i) == signature && Get16(b, i + lengthAt) == name.size() &&
            std::memcmp(&b[i + nameAt], name.data(), name.size()) == 0)
            return i;
    }
    ADD_FAILURE() << "no header for " << name;
    return 0;
}
size_t Local(const Bytes& b, const std::string& name) { return FindHeader(b, 0x04034b50, 30, 26, name); }
size_t Central(const Bytes& b, const std::string& name) { return FindHeader(b, 0x02014b50, 46, 28, name); }
size_t EndRecord(const Bytes& b)
{
    for (size_t i = b.size() - 22;; --i) {
        if (Get32(b, i) == 0x06054b50)
            return i;
        if (i == 0)
            break;
    }
    ADD_FAILURE() << "no end record";
    return 0;
}
size_t DataOf(const Bytes& b, size_t local) { return local + 30 + Get16(b, local + 26) + Get16(b, local + 28); }

// Pseudo-random words: compresses, but not to nothing.
std::string Words(size_t size, uint32_t seed)
{
    static const char* words[] = {"magic ", "lantern ", "card ", "boot ", "flag\n", "\x01\xfe", "zz "};
    std::string s;
    while (s.size() < size) {
        seed = seed * 1103515245 + 12345;
        s += words[(seed >> 16) % 7];
    }
    s.resize(size);
    return s;
}

class ZipRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zip_tests.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(mkdir((dir_ + "/src").c_str(), 0700), 0);
        SetZipNotifier([this](const std::string& text, const std::string& caption) {
            messages_.emplace_back(text, caption);
        });
    }
    void TearDown() override
    {
        SetZipNotifier(nullptr);
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    // Writes a file under src/, creating its folders.
    void Source(const std::string& name, const std::string& content)
    {
        ASSERT_EQ(std::system(("mkdir -p \"$(dirname '" + Path("src/" + name) + "')\"").c_str()), 0);
        WriteFile(Path("src/" + name), Bytes(content.begin(), content.end()));
    }

    // Runs zip in src/ (shell syntax allowed in args) and returns the archive.
    Bytes Zip(const std::string& args)
    {
        std::remove(Path("out.zip").c_str());
        const std::string cmd = "cd '" + Path("src") + "' && zip -q -X " + args;
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return ReadFile(Path("out.zip"));
    }

    static Bytes ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static void WriteFile(const std::string& path, const Bytes& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good()) << path;
    }

    static std::vector<std::string> Names(const TZipRead& zip)
    {
        std::vector<std::string> names;
        for (int i = 0; i < zip.EntryCount; ++i)
            names.push_back(zip.Entries[i].Name);
        return names;
    }

    std::string dir_;
    std::vector<Message> messages_;
};

std::string ErrorOf(const Bytes& archive)
{
    try {
        TZipRead zip(archive.data(), archive.size());
    } catch (const ZipError& e) {
        return e.what();
    }
    return "(opened)";
}

std::string ErrorOf(const std::string& file, uint64_t start = 0, uint64_t size = 0)
{
    try {
        TZipRead zip(file, start, size);
    } catch (const ZipError& e) {
        return e.what();
    }
    return "(opened)";
}

TEST_F(ZipRead, StoredAndDeflatedEntriesRoundTrip)
{
    const std::string small = "hello card\n";
    const std::string big = Words(300000, 7);
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary += static_cast<char>((i * 131) & 0xFF);
    Source("plain.txt", small);
    Source("sub/deep/data.bin", big);
    Source("sub/all.bin", binary);
    Source("empty.txt", "");

    for (const char* level : {"-6", "-0"}) {
        SCOPED_TRACE(level);
        const Bytes archive = Zip(std::string(level) + " ../out.zip plain.txt sub/deep/data.bin sub/all.bin empty.txt");
        const uint16_t expectMethod = std::string(level) == "-0" ? 0 : 8;
        ASSERT_EQ(Get16(archive, Local(archive, "sub/deep/data.bin") + 8), expectMethod);

        // Memory and file constructors see the same archive.
        TZipRead fromMemory(archive.data(), archive.size());
        TZipRead fromFile(Path("out.zip"));
        for (TZipRead* zip : {&fromMemory, &fromFile}) {
            ASSERT_EQ(zip->EntryCount, 4);
            ASSERT_EQ(zip->Entries.size(), 4u);
            EXPECT_EQ(Names(*zip), (std::vector<std::string>{"plain.txt", "sub\\deep\\data.bin", "sub\\all.bin", "empty.txt"}));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(zip->Entries[1].RawName), 17), "sub/deep/data.bin");
            EXPECT_EQ(zip->Extract(0), small);
            EXPECT_EQ(zip->Extract(1), big);
            EXPECT_EQ(zip->Extract(2), binary);
            EXPECT_EQ(zip->Extract(3), "");
            EXPECT_EQ(zip->Extract(1), big) << "each Extract starts afresh";
        }
        EXPECT_EQ(fromMemory.Entries[0].LocalHeader, archive.data() + 4);
        EXPECT_TRUE(messages_.empty());
    }
}

TEST_F(ZipRead, DosDateTimeComesFromTheLocalHeader)
{
    Source("a.txt", "a");
    ASSERT_EQ(std::system(("touch -d '2021-03-04 05:06:08' '" + Path("src/a.txt") + "'").c_str()), 0);
    Bytes archive = Zip("../out.zip a.txt");
    const uint32_t date = ((2021 - 1980) << 9) | (3 << 5) | 4;
    const uint32_t time = (5 << 11) | (6 << 5) | (8 / 2);
    TZipRead zip(archive.data(), archive.size());
    ASSERT_EQ(zip.EntryCount, 1);
    EXPECT_EQ(zip.Entries[0].DosDateTime(), (date << 16) | time);

    // The central header's copy is not the one used.
    Put32(archive, Central(archive, "a.txt") + 12, 0);
    TZipRead patched(archive.data(), archive.size());
    EXPECT_EQ(patched.Entries[0].DosDateTime(), (date << 16) | time);
}

TEST_F(ZipRead, ArchiveBehindOtherDataAndStartAndSize)
{
    Source("a.txt", "alpha");
    const Bytes archive = Zip("../out.zip a.txt");
    Bytes file(1000, 'x');
    file[10] = 'P', file[11] = 'K', file[12] = 3, file[13] = 4;  // a stray local header signature
    file.insert(file.end(), archive.begin(), archive.end());
    WriteFile(Path("prefixed.bin"), file);

    TZipRead zip(Path("prefixed.bin"), 20);
    ASSERT_EQ(zip.EntryCount, 1);
    EXPECT_EQ(zip.Extract(0), "alpha");

    // From offset 0 the stray signature is taken as the archive start, which
    // puts the central directory somewhere else.
    EXPECT_EQ(ErrorOf(Path("prefixed.bin")), "ZIP format");
    // A size that leaves out the end record.
    EXPECT_EQ(ErrorOf(Path("prefixed.bin"), 20, file.size() - 1), "ZIP format");
    // No signature at or after the start offset.
    EXPECT_EQ(ErrorOf(Path("prefixed.bin"), 1000 + archive.size() - 20), "No ZIP found");
    EXPECT_EQ(ErrorOf(Path("prefixed.bin"), file.size() + 5), "No ZIP found");
}

TEST_F(ZipRead, EndRecordFoundBehindCommentsOfUpTo428Bytes)
{
    Source("a.txt", "alpha");
    const Bytes base = Zip("../out.zip a.txt");
    for (size_t length : {0, 1, 428, 429, 1000}) {
        SCOPED_TRACE(length);
        Bytes archive = base;
        Put16(archive, EndRecord(archive) + 20, static_cast<uint16_t>(length));
        archive.insert(archive.end(), length, 'c');
        WriteFile(Path("comment.zip"), archive);
        if (length <= 428) {
            // The archive is valid for unzip too, so only the length decides.
            EXPECT_EQ(std::system(("unzip -tqq '" + Path("comment.zip") + "'").c_str()), 0);
            TZipRead zip(Path("comment.zip"));
            ASSERT_EQ(zip.EntryCount, 1);
            EXPECT_EQ(zip.Extract(0), "alpha");
        } else {
            EXPECT_EQ(ErrorOf(Path("comment.zip")), "ZIP format");
        }
    }
}

TEST_F(ZipRead, FolderEntryListedWithBackslashAndExtractsEmpty)
{
    Source("ML/doc/readme.txt", "read me");
    ASSERT_EQ(mkdir(Path("src/ML/empty").c_str(), 0700), 0);
    const Bytes archive = Zip("-r ../out.zip ML");
    TZipRead zip(archive.data(), archive.size());
    const std::vector<std::string> names = Names(zip);
    for (const char* expected : {"ML\\", "ML\\doc\\", "ML\\empty\\", "ML\\doc\\readme.txt"})
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    for (int i = 0; i < zip.EntryCount; ++i) {
        if (zip.Entries[i].Name.back() == '\\')
            EXPECT_EQ(zip.Extract(i), "");
        else
            EXPECT_EQ(zip.Extract(i), "read me");
    }
    EXPECT_TRUE(messages_.empty());
}

TEST_F(ZipRead, EntriesWithOtherMethodsOrEmptyNamesAreLeftOut)
{
    Source("a.txt", Words(5000, 1));
    Source("b.txt", Words(5000, 2));
    Source("c.txt", Words(5000, 3));
    Source("d.txt", "ddd");
    Bytes archive = Zip("../out.zip a.txt b.txt c.txt d.txt");
    const size_t b = Local(archive, "b.txt");
    Put16(archive, b + 8, 12);
    // An unusable entry's sizes are not looked at.
    Put32(archive, b + 18, 0xFFFFFFFF);
    Put32(archive, b + 22, 0xFFFFFFFF);
    // Patching the central method alone changes nothing: the local one counts.
    Put16(archive, Central(archive, "c.txt") + 10, 12);
    // d.txt: the local name is cut to nothing (the central name stays).
    const size_t d = Local(archive, "d.txt");
    Put16(archive, d + 28, static_cast<uint16_t>(Get16(archive, d + 28) + Get16(archive, d + 26)));
    Put16(archive, d + 26, 0);

    TZipRead zip(archive.data(), archive.size());
    EXPECT_EQ(Get16(archive, EndRecord(archive) + 10), 4);
    ASSERT_EQ(zip.EntryCount, 2);
    EXPECT_EQ(Names(zip), (std::vector<std::string>{"a.txt", "c.txt"}));
    EXPECT_EQ(zip.Extract(0), Words(5000, 1));
    EXPECT_EQ(zip.Extract(1), Words(5000, 3));
    EXPECT_TRUE(messages_.empty());
}

TEST_F(ZipRead, BadIndexGivesEmptyWithoutMessage)
{
    Source("a.txt", "alpha");
    const Bytes archive = Zip("../out.zip a.txt");
    TZipRead zip(archive.data(), archive.size());
    for (int index : {-1, 1, 2, INT_MIN, INT_MAX})
        EXPECT_EQ(zip.Extract(index), "") << index;
    EXPECT_EQ(zip.Extract(0), "alpha");
    EXPECT_TRUE(messages_.empty());
}

TEST_F(ZipRead, DataDescriptorEntryShowsInflateCodeAndExtractsEmpty)
{
    const std::string cmd = "cd '" + Path("src") + "' && seq 1 300 | zip -q -fz- - - | cat > ../dd.zip";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const Bytes archive = ReadFile(Path("dd.zip"));
    const size_t local = Local(archive, "-");
    ASSERT_EQ(Get16(archive, local + 6) & 8, 8) << "sizes deferred to a data descriptor";
    ASSERT_EQ(Get16(archive, local + 8), 8);
    ASSERT_EQ(Get32(archive, local + 14), 0u);
    ASSERT_EQ(Get32(archive, local + 22), 0u);

    TZipRead zip(archive.data(), archive.size());
    ASSERT_EQ(zip.EntryCount, 1);
    EXPECT_EQ(zip.Extract(0), "");
    EXPECT_EQ(messages_, (std::vector<Message>{{"-5", "ZipRead"}}));
}

TEST_F(ZipRead, CorruptDataAndChecksumMismatches)
{
    const std::string text = Words(20000, 9);
    Source("dir/deflated.txt", text);
    Source("stored.txt", "stored content");
    Source("ok.txt", "still fine");
    const Bytes base = Zip("../out.zip dir/deflated.txt ok.txt && zip -q -0 ../out.zip stored.txt");
    const size_t deflated = Local(base, "dir/deflated.txt");
    const size_t stored = Local(base, "stored.txt");
    ASSERT_EQ(Get16(base, deflated + 8), 8);
    ASSERT_EQ(Get16(base, stored + 8), 0);

    struct Case {
        const char* what;
        int index;
        void (*patch)(Bytes&, size_t deflated, size_t stored);
        std::vector<Message> messages;
    };
    const std::vector<Case> cases = {
        {"invalid deflate block type", 0, [](Bytes& b, size_t d, size_t) { b[DataOf(b, d)] = 0x07; },
         {{"-3", "ZipRead"}, {"CRC", "dir\\deflated.txt"}}},
        {"deflated CRC wrong", 0, [](Bytes& b, size_t d, size_t) { b[d + 14] ^= 1; },
         {{"CRC", "dir\\deflated.txt"}}},
        {"uncompressed size one too big", 0,
         [](Bytes& b, size_t d, size_t) { Put32(b, d + 22, Get32(b, d + 22) + 1); },
         {{"CRC", "dir\\deflated.txt"}}},
        {"uncompressed size one too small", 0,
         [](Bytes& b, size_t d, size_t) { Put32(b, d + 22, Get32(b, d + 22) - 1); },
         {{"-5", "ZipRead"}, {"CRC", "dir\\deflated.txt"}}},
        {"size claims gigabytes", 0, [](Bytes& b, size_t d, size_t) { Put32(b, d + 22, 0xF0000000); },
         {{"CRC", "dir\\deflated.txt"}}},
        {"stored CRC wrong", 2, [](Bytes& b, size_t, size_t s) { b[s + 17] ^= 0x80; },
         {{"CRC", "stored.txt"}}},
        {"stored data changed", 2, [](Bytes& b, size_t, size_t s) { b[DataOf(b, s)] ^= 1; },
         {{"CRC", "stored.txt"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        messages_.clear();
        Bytes archive = base;
        c.patch(archive, deflated, stored);
        TZipRead zip(archive.data(), archive.size());
        ASSERT_EQ(zip.EntryCount, 3);
        EXPECT_EQ(zip.Extract(c.index), "");
        EXPECT_EQ(messages_, c.messages);
        messages_.clear();
        EXPECT_EQ(zip.Extract(1), "still fine");
        EXPECT_TRUE(messages_.empty());
    }
}

TEST_F(ZipRead, OffsetsAndLengthsOutsideTheArchiveFail)
{
    Source("a.txt", Words(3000, 4));
    Source("b.txt", "bee");
    const Bytes base = Zip("../out.zip a.txt && zip -q -0 ../out.zip b.txt");
    const size_t end = EndRecord(base);
    const size_t a = Local(base, "a.txt");
    const size_t b = Local(base, "b.txt");
    const size_t cb = Central(base, "b.txt");
    const uint32_t size = static_cast<uint32_t>(base.size());
    ASSERT_EQ(ErrorOf(base), "(opened)");

    struct Case {
        const char* what;
        size_t at;
        int width;
        uint32_t value;
    };
    const std::vector<Case> cases = {
        {"central directory offset just past the end", end + 16, 4, size + 1},
        {"central directory offset at the end", end + 16, 4, size},
        {"central directory offset 0xFFFFFFFF", end + 16, 4, 0xFFFFFFFF},
        {"more entries than the directory holds", end + 10, 2, 3},
        {"entry count 0xFFFF", end + 10, 2, 0xFFFF},
        {"central name length runs past the end", cb + 28, 2, 0xFFFF},
        {"central extra length runs past the end", cb + 30, 2, 0xFFFF},
        {"central comment length runs past the end", cb + 32, 2, 0xFFFF},
        {"local header offset past the end", cb + 42, 4, size - 10},
        {"local header offset 0xFFFFFFFF", cb + 42, 4, 0xFFFFFFFF},
        {"local name length runs past the end", b + 26, 2, 0xFFFF},
        {"local extra length runs past the end", b + 28, 2, 0xFFFF},
        {"deflated data runs past the end", a + 18, 4, size},
        {"deflated size 0xFFFFFFFF", a + 18, 4, 0xFFFFFFFF},
        {"stored data runs past the end", b + 22, 4, size - static_cast<uint32_t>(DataOf(base, b)) + 1},
        {"stored size 0xFFFFFFFF", b + 22, 4, 0xFFFFFFFF},
        {"central header without its signature", cb, 4, 0x02014b51},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes archive = base;  // exact size: the sanitizer sees any read past it
        if (c.width == 2)
            Put16(archive, c.at, static_cast<uint16_t>(c.value));
        else
            Put32(archive, c.at, c.value);
        EXPECT_EQ(ErrorOf(archive), "ZIP format");
    }

    // A stored entry may end exactly at the end of the archive data.
    Bytes exact = base;
    Put32(exact, b + 22, size - static_cast<uint32_t>(DataOf(base, b)));
    EXPECT_EQ(ErrorOf(exact), "(opened)");

    // The central directory cut short, the end record moved up behind it.
    Bytes cut(base.begin(), base.begin() + static_cast<long>(cb) + 20);
    cut.insert(cut.end(), base.begin() + static_cast<long>(end), base.end());
    EXPECT_EQ(ErrorOf(cut), "ZIP format");

    // Every prefix of the archive either fails cleanly or (never here) opens.
    for (size_t length = 0; length < base.size(); ++length) {
        Bytes prefix(base.begin(), base.begin() + static_cast<long>(length));
        EXPECT_EQ(ErrorOf(prefix), "ZIP format") << length;
    }
}

TEST_F(ZipRead, OpenFailures)
{
    EXPECT_EQ(ErrorOf(Path("missing.zip")), "Missing File");
    WriteFile(Path("empty.zip"), {});
    EXPECT_EQ(ErrorOf(Path("empty.zip")), "Missing File");
    EXPECT_EQ(ErrorOf(Path("src")), "Missing File");
    WriteFile(Path("text.zip"), Bytes{'j', 'u', 's', 't', ' ', 't', 'e', 'x', 't', '\n'});
    EXPECT_EQ(ErrorOf(Path("text.zip")), "No ZIP found");
    // A zip with no entries is only an end record: no local header to find.
    Bytes emptyArchive(22, 0);
    Put32(emptyArchive, 0, 0x06054b50);
    WriteFile(Path("noentries.zip"), emptyArchive);
    EXPECT_EQ(ErrorOf(Path("noentries.zip")), "No ZIP found");
    TZipRead fromMemory(emptyArchive.data(), emptyArchive.size());
    EXPECT_EQ(fromMemory.EntryCount, 0);
    EXPECT_EQ(fromMemory.Extract(0), "");
    // A local header signature but no end record.
    WriteFile(Path("noend.zip"), Bytes{'P', 'K', 3, 4, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(ErrorOf(Path("noend.zip")), "ZIP format");
    EXPECT_EQ(ErrorOf(Bytes{}), "ZIP format");
    EXPECT_TRUE(messages_.empty());
}

// Converts with the C library's own code page 437 tables, an oracle independent of ours.
std::string Cp437ViaIconv(const std::string& in)
{
    iconv_t cd = iconv_open("UTF-8", "CP437");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string out(in.size() * 4, '\0');
    char* src = const_cast<char*>(in.data());
    char* dst = out.data();
    size_t srcLeft = in.size(), dstLeft = out.size();
    EXPECT_NE(iconv(cd, &src, &srcLeft, &dst, &dstLeft), static_cast<size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
}

TEST_F(ZipRead, NamesDecodedFromUtf8OrCodePage437)
{
    const std::string utf8Name = "caf\xC3\xA9/\xE2\x82\xAC.txt";  // café/€.txt
    Source(utf8Name, "euro");
    Source(std::string(128, 'n'), "oem");
    Bytes archive = Zip("../out.zip '" + utf8Name + "' " + std::string(128, 'n'));
    const size_t u = Local(archive, utf8Name);
    const size_t o = Local(archive, std::string(128, 'n'));
    ASSERT_EQ(Get16(archive, u + 6) & 0x0800, 0) << "zip wrote the name without the UTF-8 flag";

    // Without the flag the bytes are code page 437: C3 is a box piece, A9 a reversed not sign.
    std::string all;
    for (int c = 0x80; c <= 0xFF; ++c)
        all += static_cast<char>(c);
    std::memcpy(&archive[o + 30], all.data(), all.size());
    {
        TZipRead zip(archive.data(), archive.size());
        ASSERT_EQ(zip.EntryCount, 2);
        EXPECT_EQ(zip.Entries[0].Name, "caf\xE2\x94\x9C\xE2\x8C\x90\\\xCE\x93\xC3\xA9\xC2\xBC.txt");
        EXPECT_EQ(zip.Entries[1].Name, Cp437ViaIconv(all));
        EXPECT_EQ(zip.Extract(1), "oem");
    }

    // With the flag (in the local header) the same bytes are read as UTF-8.
    Put16(archive, u + 6, Get16(archive, u + 6) | 0x0800);
    {
        TZipRead zip(archive.data(), archive.size());
        EXPECT_EQ(zip.Entries[0].Name, "caf\xC3\xA9\\\xE2\x82\xAC.txt");
        EXPECT_EQ(zip.Extract(0), "euro");
    }

    // Broken UTF-8 under the flag: each bad byte becomes U+FFFD, good sequences stay.
    archive[u + 30 + 3] = static_cast<uint8_t>(0xC0);  // overlong lead byte
    archive[u + 30 + 6] = static_cast<uint8_t>(0xE2);  // € cut short below
    archive[u + 30 + 7] = static_cast<uint8_t>(0x82);
    archive[u + 30 + 8] = 'x';
    {
        TZipRead zip(archive.data(), archive.size());
        EXPECT_EQ(zip.Entries[0].Name, "caf\xEF\xBF\xBD\xEF\xBF\xBD\\\xEF\xBF\xBD\xEF\xBF\xBDx.txt");
    }
    EXPECT_TRUE(messages_.empty());
}

}  // namespace
