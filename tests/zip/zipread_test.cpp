// TZipRead against archives made here by Info-ZIP zip, some byte-patched.
#include "zip/zipread.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::pair<std::string, std::string>>;  // text, caption

uint32_t Get(const Bytes& b, size_t at, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | b[at + i];
    return v;
}
void Put(Bytes& b, size_t at, int width, uint32_t v)
{
    for (int i = 0; i < width; ++i)
        b[at + i] = (v >> (8 * i)) & 0xFF;
}
// Offset of the local (or central) header named `name`; of the end record for "".
size_t Find(const Bytes& b, const std::string& name, bool central = false)
{
    const uint32_t sig = name.empty() ? 0x06054b50 : central ? 0x02014b50 : 0x04034b50;
    const size_t nameAt = name.empty() ? 22 : central ? 46 : 30, lengthAt = central ? 28 : 26;
    for (size_t i = 0; i + nameAt + name.size() <= b.size(); ++i)
        if (Get(b, i, 4) == sig && (name.empty() || (Get(b, i + lengthAt, 2) == name.size() &&
                                                      !std::memcmp(&b[i + nameAt], name.data(), name.size()))))
            return i;
    ADD_FAILURE() << "no header " << name;
    return 0;
}
size_t DataOf(const Bytes& b, size_t local) { return local + 30 + Get(b, local + 26, 2) + Get(b, local + 28, 2); }

std::string Words(size_t size)  // compresses, but not to nothing
{
    static const char* words[] = {"magic ", "lantern ", "card ", "boot\n", "\x01\xfe", "zz "};
    std::string s;
    for (uint32_t seed = 7; s.size() < size;)
        s += words[((seed = seed * 1103515245 + 12345) >> 16) % 6];
    return s.substr(0, size);
}

// What opening gives: "(opened)" or the error. Memory archives are exact-size
// copies, so the sanitizer sees any read past their end.
template <class... Args>
std::string ErrorOf(const Args&... args)
{
    try {
        TZipRead zip(args...);
    } catch (const ZipError& e) {
        return e.what();
    }
    return "(opened)";
}
std::string ErrorOf(const Bytes& b) { return ErrorOf(b.data(), b.size()); }

class ZipRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zip_tests.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetZipNotifier([this](const std::string& text, const std::string& caption) { messages_.emplace_back(text, caption); });
    }
    void TearDown() override
    {
        SetZipNotifier(nullptr);
        ASSERT_EQ(Shell("rm -rf '" + dir_ + "'"), 0);
    }
    static int Shell(const std::string& command) { return std::system(command.c_str()); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void Source(const std::string& name, const std::string& content)
    {
        ASSERT_EQ(Shell("mkdir -p \"$(dirname '" + Path("src/" + name) + "')\""), 0);
        std::ofstream(Path("src/" + name), std::ios::binary) << content;
    }
    // Runs `zip -q -X ARGS` (shell syntax allowed) in src/ and returns out.zip.
    Bytes Zip(const std::string& args)
    {
        EXPECT_EQ(Shell("cd '" + Path("src") + "' && rm -f ../out.zip && zip -q -X " + args), 0) << args;
        std::ifstream in(Path("out.zip"), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    void Write(const std::string& name, const Bytes& b)
    {
        std::ofstream(Path(name), std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    }
    static std::vector<std::string> Names(const TZipRead& zip)
    {
        std::vector<std::string> names;
        for (const TZipEntry& entry : zip.Entries)
            names.push_back(entry.Name);
        EXPECT_EQ(names.size(), static_cast<size_t>(zip.EntryCount));
        return names;
    }
    std::string dir_;
    Messages messages_;
};

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
            ASSERT_EQ(Names(*zip), (std::vector<std::string>{"plain.txt", "sub\\deep\\data.bin", "sub\\all.bin", "empty.txt"}));
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
    EXPECT_EQ(ErrorOf(Path("prefixed.bin"), 0, 0), "ZIP format");  // offsets counted from the stray one
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

TEST_F(ZipRead, FolderEntriesListedAndUnusableEntriesLeftOut)
{
    Source("ML/a.txt", Words(5000));
    Source("ML/b.txt", "bee");
    Source("ML/c.txt", std::string(3000, 'c'));
    Source("ML/d.txt", "dee");
    Bytes archive = Zip("../out.zip ML/ ML/a.txt ML/b.txt ML/c.txt ML/d.txt");
    const size_t b = Find(archive, "ML/b.txt"), d = Find(archive, "ML/d.txt");
    Put(archive, b + 8, 2, 12);
    Put(archive, b + 18, 4, 0xFFFFFFFF);  // sizes of an unusable entry are not checked
    Put(archive, Find(archive, "ML/c.txt", true) + 10, 2, 12);  // the central method does not count
    Put(archive, d + 28, 2, Get(archive, d + 28, 2) + Get(archive, d + 26, 2));  // local name emptied
    Put(archive, d + 26, 2, 0);
    TZipRead zip(archive.data(), archive.size());
    EXPECT_EQ(Names(zip), (std::vector<std::string>{"ML\\", "ML\\a.txt", "ML\\c.txt"}));
    EXPECT_EQ(zip.Extract(0), "");
    EXPECT_EQ(zip.Extract(2), std::string(3000, 'c'));
    EXPECT_TRUE(messages_.empty());
}

TEST_F(ZipRead, FailedChecksShowMessagesAndExtractEmpty)
{
    Source("dir/deflated.txt", Words(20000));
    Source("stored.txt", "stored content");
    const Bytes base = Zip("../out.zip dir/deflated.txt && zip -q -0 ../out.zip stored.txt");
    const size_t d = Find(base, "dir/deflated.txt"), s = Find(base, "stored.txt");
    const uint32_t size = Get(base, d + 22, 4);
    const std::pair<std::string, std::string> crc{"CRC", "dir\\deflated.txt"}, bufError{"-5", "ZipRead"};
    struct Case { size_t at; int width; uint32_t value; int index; Messages messages; };
    for (const Case& c : std::vector<Case>{
             {DataOf(base, d), 1, 0x07, 0, {{"-3", "ZipRead"}, crc}},  // invalid deflate block type
             {d + 14, 1, base[d + 14] ^ 1u, 0, {crc}},
             {d + 22, 4, size + 1, 0, {crc}},
             {d + 22, 4, size - 1, 0, {bufError, crc}},
             {d + 22, 4, 0xF0000000, 0, {crc}},  // never allocated in full: deflate cannot reach it
             {DataOf(base, s), 1, 'S', 1, {{"CRC", "stored.txt"}}}}) {
        messages_.clear();
        Bytes archive = base;
        Put(archive, c.at, c.width, c.value);
        TZipRead zip(archive.data(), archive.size());
        EXPECT_EQ(zip.Extract(c.index), "") << c.at;
        EXPECT_EQ(messages_, c.messages) << c.at;
        EXPECT_NE(zip.Extract(1 - c.index), "");  // the other entry is unharmed
        EXPECT_EQ(messages_.size(), c.messages.size());
    }
    // Sizes and CRC deferred to a data descriptor (zip writing to a pipe):
    // inflate has no room, then the empty result matches the zero CRC.
    messages_.clear();
    ASSERT_EQ(Shell("seq 1 300 | zip -q -fz- - - | cat > '" + Path("dd.zip") + "'"), 0);
    TZipRead zip(Path("dd.zip"));
    ASSERT_EQ(zip.EntryCount, 1);
    EXPECT_EQ(Get(Bytes(zip.Entries[0].LocalHeader, zip.Entries[0].LocalHeader + 26), 10, 4), 0u);
    EXPECT_EQ(zip.Extract(0), "");
    EXPECT_EQ(messages_, Messages{bufError});
}

TEST_F(ZipRead, OffsetsAndLengthsOutsideTheArchiveFail)
{
    Source("a.txt", Words(3000));
    Source("b.txt", "bee");
    const Bytes base = Zip("../out.zip a.txt && zip -q -0 ../out.zip b.txt");
    const size_t end = Find(base, ""), a = Find(base, "a.txt"), b = Find(base, "b.txt"), cb = Find(base, "b.txt", true);
    const uint32_t size = static_cast<uint32_t>(base.size()), toEnd = size - static_cast<uint32_t>(DataOf(base, b));
    struct Case { size_t at; int width; uint32_t value; const char* expect; };
    for (const Case& c : std::vector<Case>{
             {end + 16, 4, size, "ZIP format"}, {end + 16, 4, 0xFFFFFFFF, "ZIP format"},  // directory offset
             {end + 10, 2, 3, "ZIP format"}, {end + 10, 2, 0xFFFF, "ZIP format"},          // entry count
             {cb, 4, 0x02014b51, "ZIP format"}, {cb + 28, 2, 0xFFFF, "ZIP format"},        // central header
             {cb + 30, 2, 0xFFFF, "ZIP format"}, {cb + 32, 2, 0xFFFF, "ZIP format"},
             {cb + 42, 4, size - 10, "ZIP format"}, {cb + 42, 4, 0xFFFFFFFF, "ZIP format"},  // local offset
             {b + 26, 2, 0xFFFF, "ZIP format"}, {b + 28, 2, 0xFFFF, "ZIP format"},            // local name, extra
             {a + 18, 4, size, "ZIP format"}, {a + 18, 4, 0xFFFFFFFF, "ZIP format"},          // deflated data
             {b + 22, 4, toEnd + 1, "ZIP format"}, {b + 22, 4, 0xFFFFFFFF, "ZIP format"},     // stored data
             {b + 22, 4, toEnd, "(opened)"}, {b + 18, 4, 0xFFFFFFFF, "(opened)"}}) {          // stored: its size only
        Bytes archive = base;
        Put(archive, c.at, c.width, c.value);
        EXPECT_EQ(ErrorOf(archive), c.expect) << c.at << " := " << c.value;
    }
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
    for (const auto& [file, error] : std::vector<std::pair<std::string, std::string>>{
             {Path("missing.zip"), "Missing File"}, {Path("empty.zip"), "Missing File"}, {dir_, "Missing File"},
             {Path("text.zip"), "No ZIP found"}, {Path("endonly.zip"), "No ZIP found"}, {Path("noend.zip"), "ZIP format"}})
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
    ASSERT_EQ(Get(archive, u + 6, 2) & 0x0800, 0u);
    std::string high, expected(512, '\0');  // the upper half, checked against the C library's table
    for (int c = 0x80; c <= 0xFF; ++c)
        high += static_cast<char>(c);
    std::memcpy(&archive[o + 30], high.data(), high.size());
    char *in = high.data(), *out = expected.data();
    size_t inLeft = high.size(), outLeft = expected.size();
    iconv_t cd = iconv_open("UTF-8", "CP437");
    ASSERT_EQ(iconv(cd, &in, &inLeft, &out, &outLeft), 0u);
    iconv_close(cd);
    expected.resize(expected.size() - outLeft);

    TZipRead oemNames(archive.data(), archive.size());
    EXPECT_EQ(oemNames.Entries[0].Name, "caf\xE2\x94\x9C\xE2\x8C\x90\\\xCE\x93\xC3\xA9\xC2\xBC.txt");
    EXPECT_EQ(oemNames.Entries[1].Name, expected);
    Put(archive, u + 6, 2, 0x0800);  // the local flag marks the name as UTF-8
    EXPECT_EQ(TZipRead(archive.data(), archive.size()).Entries[0].Name, "caf\xC3\xA9\\\xE2\x82\xAC.txt");
    archive[u + 33] = 0xC0;  // overlong lead byte, then a stray continuation byte
    archive[u + 38] = 'x';   // the euro sign cut short
    EXPECT_EQ(TZipRead(archive.data(), archive.size()).Entries[0].Name,
              "caf\xEF\xBF\xBD\xEF\xBF\xBD\\\xEF\xBF\xBD\xEF\xBF\xBDx.txt");
}

}  // namespace
