// TZipRead against data descriptors, Zip64, other methods and encryption, and
// ExtractTo's streaming: archives made here by Python's zipfile and Info-ZIP
// zip, some byte-patched, compared with what unzip makes of them.
#include "zip/zipread.h"
#include "ziptest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace ziptest;
using ZipFormats = ZipTest;

// Python writing to a pipe cannot seek back: every entry gets bit 3 and a
// signed data descriptor; the force_zip64 entry a Zip64 local field and 8-byte
// descriptor sizes.
const char* kPipeArchive = R"(
import sys, zipfile
def words(n, seed):
    out, x = bytearray(), seed
    while len(out) < n:
        x = (x * 1103515245 + 12345) % 2**31
        out += [b"magic ", b"lantern ", b"card ", b"boot\n", b"\x01\xfe", b"zz "][(x >> 16) % 6]
    return bytes(out[:n])
with zipfile.ZipFile(sys.stdout.buffer, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("autoexec.bin", words(700000, 1))
    z.writestr("ML/", b"")
    z.writestr(zipfile.ZipInfo("ML/stored.bin"), words(600000, 2), compress_type=zipfile.ZIP_STORED)
    z.writestr("ML/empty.txt", b"")
    with z.open("ML/wide.dat", "w", force_zip64=True) as f:
        f.write(words(300000, 3))
)";

TEST_F(ZipFormats, DataDescriptorEntriesUnpackAsUnzipDoes)
{
    std::ofstream(Path("pipe.py")) << kPipeArchive;
    ASSERT_EQ(Shell("cd '" + dir_ + "' && python3 pipe.py | cat > pipe.zip"), 0);
    ASSERT_EQ(Shell("seq 1 30000 | zip -q -fz- - - | cat > '" + Path("infozip.zip") + "'"), 0);

    // One with the descriptor's optional signature left out.
    ASSERT_EQ(Shell("cd '" + dir_ +
                    "' && python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.stdout.buffer, 'w', "
                    "zipfile.ZIP_DEFLATED); z.writestr('one.txt', 'one ' * 5000); z.close()\" | cat > signed.zip"),
              0);
    Bytes unsigned_ = Read("signed.zip");
    const size_t descriptor = DataOf(unsigned_, 0) + Get(unsigned_, Find(unsigned_, "one.txt", true) + 20, 4);
    ASSERT_EQ(Get(unsigned_, descriptor, 4), 0x08074b50u);
    unsigned_.erase(unsigned_.begin() + static_cast<long>(descriptor),
                    unsigned_.begin() + static_cast<long>(descriptor) + 4);
    const size_t end = Find(unsigned_, "");
    Put(unsigned_, end + 16, 4, Get(unsigned_, end + 16, 4) - 4);
    Write("unsigned.zip", unsigned_);

    for (const std::string archive : {"pipe.zip", "infozip.zip", "unsigned.zip"}) {
        TZipRead zip(Path(archive));
        ASSERT_EQ(zip.EntryCount, archive == "pipe.zip" ? 5 : 1);
        for (int i = 0; i < zip.EntryCount; ++i) {
            const TZipEntry& entry = zip.Entries[static_cast<size_t>(i)];
            EXPECT_TRUE(entry.Flags & 0x0008) << entry.Name;
            EXPECT_EQ(Get(Bytes(entry.LocalHeader, entry.LocalHeader + 26), 10, 4),
                      0u);  // no CRC-32 in the local header
            const std::string expected =
                Unzipped(archive, std::string(reinterpret_cast<const char*>(entry.RawName), entry.Name.size()));
            const Streamed s = Stream(zip, i);
            EXPECT_TRUE(s.ok) << archive << ": " << entry.Name << ": " << s.why;
            EXPECT_TRUE(s.content == expected) << archive << ": " << entry.Name;
            EXPECT_EQ(entry.UncompressedSize, expected.size());
            EXPECT_TRUE(zip.Extract(i) == expected);
        }
    }
    TZipRead pipe(Path("pipe.zip"));
    EXPECT_EQ(pipe.Entries[2].Method, 0);
    EXPECT_EQ(pipe.Entries[2].CompressedSize, 600000u);
    EXPECT_EQ(pipe.Entries[0].Method, 8);
    EXPECT_LT(pipe.Entries[0].CompressedSize, pipe.Entries[0].UncompressedSize);
    EXPECT_EQ(pipe.Entries[4].Name, "ML\\wide.dat");
    EXPECT_TRUE(messages_.empty());
}

TEST_F(ZipFormats, DescriptorOrDirectoryThatDisagreesWithTheDataFails)
{
    ASSERT_EQ(Shell("cd '" + dir_ +
                    "' && python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.stdout.buffer, 'w', "
                    "zipfile.ZIP_DEFLATED); z.writestr('a.txt', 'alpha ' * 3000); z.writestr('b.txt', 'bee'); "
                    "z.close()\" | cat > dd.zip"),
              0);
    const Bytes base = Read("dd.zip");
    const size_t central = Find(base, "a.txt", true);
    const uint32_t compressed = Get(base, central + 20, 4);
    const size_t descriptor = DataOf(base, 0) + compressed;
    ASSERT_EQ(Get(base, descriptor, 4), 0x08074b50u);
    const std::string damaged = "the data is damaged (its data descriptor does not match the archive's directory)";
    struct Case {
        size_t at;
        uint32_t value;
        const char* expect;
    };
    for (const Case& c :
         std::vector<Case>{{descriptor + 4, Get(base, descriptor + 4, 4) ^ 1, damaged.c_str()},  // descriptor's CRC-32
                           {descriptor + 8, compressed + 1, damaged.c_str()},                    // its sizes
                           {descriptor + 12, 1, damaged.c_str()},
                           {central + 16, Get(base, central + 16, 4) ^ 1, damaged.c_str()},  // the directory's CRC-32
                           {central + 20, compressed - 1, damaged.c_str()},                  // its compressed size
                           {central + 20, compressed + 40, "ZIP format"},                    // data into the next entry
                           {central + 24, 17, damaged.c_str()}}) {
        Bytes archive = base;
        Put(archive, c.at, 4, c.value);
        std::string error = "(opened)";
        try {
            TZipRead zip(archive.data(), archive.size());
            const Streamed s = Stream(zip, 0);
            EXPECT_FALSE(s.ok);
            EXPECT_TRUE(s.pieces.empty()) << c.at;  // nothing handed out
            error = s.why;
            messages_.clear();
            EXPECT_EQ(zip.Extract(0), "");
            EXPECT_EQ(messages_, (Messages{{"CRC", "a.txt"}}));
            EXPECT_EQ(zip.Extract(1), "bee");
        } catch (const ZipError& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.expect) << c.at << " := " << c.value;
    }
}

TEST_F(ZipFormats, Zip64ArchivesListAndUnpackWhole)
{
    Source("big.txt", Words(400000));
    Source("ML/b.txt", "bee");
    Source("ML/empty.txt", "");
    const Bytes base = Zip("-fz ../out.zip big.txt ML/ ML/b.txt ML/empty.txt");
    Write("fz.zip", base);
    const std::string prefix = Words(1000);
    Bytes prefixed(prefix.begin(), prefix.end());
    prefixed.insert(prefixed.end(), base.begin(), base.end());
    Write("prefixed.zip", prefixed);
    const size_t locator = Find(base, "") - 20, record = Get(base, locator + 8, 4);
    ASSERT_EQ(Get(base, locator, 4), 0x07064b50u);
    ASSERT_EQ(Get(base, record, 4), 0x06064b50u);
    for (const std::string file : {"fz.zip", "prefixed.zip"}) {
        TZipRead zip(Path(file));
        ASSERT_EQ(zip.EntryCount, 4);
        EXPECT_EQ(zip.Entries[0].UncompressedSize, 400000u);  // from the Zip64 extra fields
        for (int i = 0; i < zip.EntryCount; ++i) {
            const std::string name =
                std::string(reinterpret_cast<const char*>(zip.Entries[i].RawName), zip.Entries[i].Name.size());
            const Streamed s = Stream(zip, i);
            EXPECT_TRUE(s.ok) << name << ": " << s.why;
            EXPECT_TRUE(s.content == Unzipped("fz.zip", name)) << name;
        }
    }

    const size_t central = Find(base, "big.txt", true);
    const size_t extra = central + 46 + 7;
    ASSERT_EQ(Get(base, extra, 2), 1u);
    struct Case {
        size_t at;
        int width;
        uint32_t value;
    };
    for (const Case& c :
         std::vector<Case>{{locator + 8, 4, static_cast<uint32_t>(base.size())},
                           {locator + 12, 4, 1},  // Zip64 record offset
                           {locator + 16, 4, 2},
                           {record, 1, 'Q'},  // disks, signature
                           {record + 48, 4, static_cast<uint32_t>(base.size())},
                           {record + 52, 4, 1},                               // directory offset
                           {record + 40, 4, Get(base, record + 40, 4) + 46},  // directory size
                           {record + 32, 4, 5},
                           {record + 24, 4, 5},
                           {record + 36, 4, 1},          // entry counts
                           {Find(base, "") + 10, 2, 5},  // the end record's count disagrees
                           {extra, 2, 9},                // Zip64 field missing where the header asks for it
                           {extra + 4, 4, 400001}}) {    // the directory's size disagrees with the local one
        Bytes archive = base;
        Put(archive, c.at, c.width, c.value);
        EXPECT_EQ(ErrorOf(archive), "ZIP format") << c.at << " := " << c.value;
    }
    for (size_t length = base.size() - 200; length < base.size(); ++length)  // every record cut short
        EXPECT_EQ(ErrorOf(Bytes(base.begin(), base.begin() + static_cast<long>(length))), "ZIP format") << length;
}

TEST_F(ZipFormats, MoreThan65535EntriesAreAllListed)
{
    Python(R"(
import zipfile
with zipfile.ZipFile("many.zip", "w") as z:
    for i in range(66000):
        z.writestr("d%d/%d.txt" % (i // 1000, i), str(i))
)");
    const Bytes archive = Read("many.zip");
    ASSERT_EQ(Get(archive, Find(archive, "") + 10, 2), 0xFFFFu);  // the count is in the Zip64 end record
    TZipRead zip(Path("many.zip"));
    ASSERT_EQ(zip.EntryCount, 66000);
    for (int i = 0; i < zip.EntryCount; ++i) {
        const std::string number = std::to_string(i);
        ASSERT_EQ(zip.Entries[static_cast<size_t>(i)].Name, "d" + std::to_string(i / 1000) + "\\" + number + ".txt");
        const Streamed s = Stream(zip, i);
        ASSERT_TRUE(s.ok && s.content == number) << i;
    }
    EXPECT_EQ(Unzipped("many.zip", "d65/65999.txt"), "65999");
    // Without the Zip64 end record the 16-bit count has wrapped: the directory
    // holds more headers than counted, so the list would come out short.
    Bytes wrapped(archive);
    const size_t end = Find(wrapped, ""), record = Get(wrapped, end - 20 + 8, 4);
    Put(wrapped, end + 8, 2, 66000 & 0xFFFF);
    Put(wrapped, end + 10, 2, 66000 & 0xFFFF);
    Put(wrapped, end + 12, 4, Get(wrapped, record + 40, 4));
    Put(wrapped, end + 16, 4, Get(wrapped, record + 48, 4));
    Put(wrapped, end - 20, 4, 0);  // no locator
    EXPECT_EQ(ErrorOf(wrapped), "ZIP format");
}

TEST_F(ZipFormats, OtherMethodsAndEncryptionAreListedButNotUnpacked)
{
    Source("autoexec.bin", Words(5000));
    Source("plain.txt", "plain");
    Zip("-Z bzip2 ../bzip2.zip autoexec.bin && zip -q -X -P secret ../secret.zip plain.txt autoexec.bin");
    TZipRead bzip2(Path("bzip2.zip")), secret(Path("secret.zip"));
    ASSERT_EQ(bzip2.EntryCount, 1);
    EXPECT_EQ(bzip2.Entries[0].Method, 12);
    EXPECT_FALSE(bzip2.Entries[0].Encrypted);
    Streamed s = Stream(bzip2, 0);
    EXPECT_FALSE(s.ok);
    EXPECT_TRUE(s.pieces.empty());
    EXPECT_EQ(s.why, "it is compressed with a method this program cannot unpack (bzip2)");
    ASSERT_EQ(secret.EntryCount, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(secret.Entries[static_cast<size_t>(i)].Encrypted);
        s = Stream(secret, i);
        EXPECT_FALSE(s.ok);
        EXPECT_TRUE(s.pieces.empty());
        EXPECT_EQ(s.why, "it is encrypted");
    }
    EXPECT_EQ(secret.Extract(0), "");
    EXPECT_EQ(messages_, (Messages{{"it is encrypted", "plain.txt"}}));

    Bytes base = Zip("../out.zip plain.txt");
    for (const auto& [method, name] : std::vector<std::pair<uint32_t, std::string>>{
             {9, "Deflate64"}, {14, "LZMA"}, {93, "Zstandard"}, {95, "XZ"}, {98, "PPMd"}, {7, "method 7"}}) {
        Bytes archive = base;
        Put(archive, 8, 2, method);
        Put(archive, Find(archive, "plain.txt", true) + 10, 2, method);
        TZipRead zip(archive.data(), archive.size());
        EXPECT_EQ(Stream(zip, 0).why, "it is compressed with a method this program cannot unpack (" + name + ")");
    }
}

TEST_F(ZipFormats, ExtractToStreamsInBoundedPiecesAndStopsEarly)
{
    const std::string big = Words(3 * 1024 * 1024 + 17);
    Source("big.txt", big);
    for (const std::string level : {"-6", "-0"}) {
        const Bytes archive = Zip(level + " ../out.zip big.txt");
        TZipRead zip(archive.data(), archive.size());
        const Streamed s = Stream(zip, 0);
        EXPECT_TRUE(s.ok) << s.why;
        EXPECT_TRUE(s.content == big);
        EXPECT_GE(s.pieces.size(), 13u);
        EXPECT_LE(*std::max_element(s.pieces.begin(), s.pieces.end()), 256u * 1024);

        int calls = 0;
        std::string why;
        EXPECT_FALSE(zip.ExtractTo(
            0, [&](const char*, size_t) { return ++calls < 2; }, &why));
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(why, "cannot write");
        for (int bad : {-1, 1})
            EXPECT_FALSE(zip.ExtractTo(
                bad, [](const char*, size_t) { return true; }, &why));
    }

    // Data that inflates to far more than the directory declares: never more
    // than the declared size is handed out.
    ASSERT_EQ(Shell("head -c 20000000 /dev/zero > '" + Path("src/zeros.bin") + "'"), 0);
    Bytes bomb = Zip("-9 ../out.zip zeros.bin");
    for (const uint32_t declared : {1000u, 19999999u}) {
        Bytes archive = bomb;
        Put(archive, 22, 4, declared);
        Put(archive, Find(archive, "zeros.bin", true) + 24, 4, declared);
        TZipRead zip(archive.data(), archive.size());
        uint64_t handed = 0;
        std::string why;
        EXPECT_FALSE(zip.ExtractTo(
            0,
            [&](const char*, size_t size) {
                handed += size;
                return true;
            },
            &why));
        EXPECT_EQ(why, "its size does not match the archive's directory");
        EXPECT_LE(handed, declared);
        messages_.clear();
        EXPECT_EQ(zip.Extract(0), "");
        EXPECT_EQ(messages_, (Messages{{"-5", "ZipRead"}, {"CRC", "zeros.bin"}}));
    }
}

}  // namespace
