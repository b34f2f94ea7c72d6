// CheckBuildArchive: a build archive goes onto a card only when every entry
// would unpack whole. Archives made here by Info-ZIP zip and Python's zipfile.
#include "zip/buildcheck.h"
#include "ziptest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <string>
#include <vector>

namespace {

using namespace ziptest;
using BuildCheck = ZipTest;

class BuildCheckArchives : public BuildCheck {
protected:
    void SetUp() override
    {
        BuildCheck::SetUp();
        Source("AutoExec.BIN", Words(200000));
        Source("ML/modules/a.mo", Words(70000));
        Source("ML/data/x.dat", Words(3000));
        Source("ML/doc/readme.txt", "read me");
        Source("other.txt", "other");
        ASSERT_EQ(Shell("mkdir -p '" + Path("src/ML/empty") + "'"), 0);
    }
    static constexpr uint64_t kBuildBytes = 200000 + 70000 + 3000 + 7;
    const std::string build_ = "AutoExec.BIN ML/ ML/empty/ ML/modules/a.mo ML/data/x.dat ML/doc/readme.txt";
};

TEST_F(BuildCheckArchives, AcceptsAWholeBuildAndCountsWhatItNeeds)
{
    Zip("../out.zip " + build_);
    std::ofstream(Path("pipe.py")) << R"(
import sys, zipfile
with zipfile.ZipFile("out.zip") as src, zipfile.ZipFile(sys.stdout.buffer, "w", zipfile.ZIP_DEFLATED) as z:
    for info in src.infolist():
        z.writestr(info.filename, src.read(info))
)";
    ASSERT_EQ(Shell("cd '" + dir_ + "' && python3 pipe.py | cat > pipe.zip"), 0);  // with data descriptors
    for (const std::string archive : {"out.zip", "pipe.zip"}) {
        std::vector<int> progress;
        const BuildCheckResult r = CheckBuildArchiveFile(Path(archive), [&](int p) { progress.push_back(p); });
        EXPECT_TRUE(r.ok) << archive << ": " << r.entry << ": " << r.reason;
        EXPECT_EQ(r.entry, "");
        EXPECT_EQ(r.reason, "");
        EXPECT_EQ(r.fileCount, 4u);
        EXPECT_EQ(r.folderCount, 5u);  // ML, ML/empty, ML/modules, ML/data, ML/doc
        EXPECT_EQ(r.totalBytes, kBuildBytes);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front(), 0);
        EXPECT_EQ(progress.back(), 100);
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        EXPECT_GT(progress.size(), 2u);
    }
}

TEST_F(BuildCheckArchives, RefusesWhatCannotUnpackWholeNamingTheEntry)
{
    const Bytes good = Zip("../out.zip " + build_);
    const size_t x = Find(good, "ML/data/x.dat");
    struct Case {
        std::string what;
        Bytes archive;
        std::string entry, reason;
    };
    std::vector<Case> cases;

    Bytes damaged = good;
    damaged[DataOf(damaged, x) + 5] ^= 0x20;
    cases.push_back({"damaged", damaged, "ML\\data\\x.dat", ""});
    Bytes unsafe = good;
    Rename(unsafe, "ML/doc/readme.txt", "../../readme1.txt");
    cases.push_back({"unsafe", unsafe, "..\\..\\readme1.txt",
                     "its name is not safe to write onto a card (it could land outside the card's folders)"});
    cases.push_back({"no start file", Zip("-r ../out.zip ML/ other.txt"), "",
                     "it holds no autoexec.bin in its top folder, so it is not a build for the camera"});
    ASSERT_EQ(Shell("mkdir -p '" + Path("src/sub") + "' && cp '" + Path("src/AutoExec.BIN") + "' '" +
                    Path("src/sub/autoexec.bin") + "'"),
              0);
    cases.push_back({"start file in a folder", Zip("-r ../out.zip sub ML"), "",
                     "it holds no autoexec.bin in its top folder, so it is not a build for the camera"});
    cases.push_back({"bzip2 start file", Zip("-r ../out.zip ML && zip -q -X -Z bzip2 ../out.zip AutoExec.BIN"),
                     "AutoExec.BIN", "it is compressed with a method this program cannot unpack (bzip2)"});
    cases.push_back(
        {"encrypted", Zip("-P secret ../out.zip AutoExec.BIN other.txt"), "AutoExec.BIN", "it is encrypted"});
    ASSERT_EQ(Shell("cp '" + Path("src/other.txt") + "' '" + Path("src/AUTOEXEC.bin") + "'"), 0);
    cases.push_back({"same name twice", Zip("../out.zip AutoExec.BIN AUTOEXEC.bin"), "AUTOEXEC.bin",
                     "the archive holds a file of this name twice"});
    Bytes fileAndFolder = good;  // a.mo, a file, and a.mo/r, a file in a folder of that name
    Rename(fileAndFolder, "ML/doc/readme.txt", "ML/modules/a.mo/r");
    cases.push_back({"file and folder", fileAndFolder, "ML\\modules\\a.mo\\r",
                     "a file in the archive has the name of one of its folders"});

    for (const Case& c : cases) {
        TZipRead zip(c.archive.data(), c.archive.size());
        std::vector<int> progress;
        const BuildCheckResult r = CheckBuildArchive(zip, [&](int p) { progress.push_back(p); });
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.entry, c.entry) << c.what;
        if (c.reason.empty())
            EXPECT_TRUE(r.reason == "the data is damaged (CRC-32 does not match)" ||
                        r.reason == "the compressed data is damaged")
                << c.what << ": " << r.reason;
        else
            EXPECT_EQ(r.reason, c.reason) << c.what;
        EXPECT_TRUE(std::find(progress.begin(), progress.end(), 100) == progress.end()) << c.what;
    }
}

// Names FAT and exFAT cannot hold, or would hold as one file, are refused
// before anything is written; the entry named is the one at fault.
TEST_F(BuildCheck, NamesACardCannotHoldAreRefused)
{
    const std::string dotOrSpace = "its name ends in a dot or a space, which FAT and exFAT drop";
    const std::string control = "its name holds a control character, which FAT and exFAT cannot store";
    const std::string twice = "the archive holds a file of this name twice";
    const auto character = [](char c) {
        return std::string("its name holds the character ") + c + ", which FAT and exFAT cannot store";
    };
    struct Case {
        std::vector<std::string> names;  // besides autoexec.bin
        std::string entry, reason;       // entry "" when the archive passes
    };
    const std::vector<Case> cases = {
        {{"ML/a?b.txt"}, "ML\\a?b.txt", character('?')},
        {{"ML/a*b.txt"}, "ML\\a*b.txt", character('*')},
        {{"ML/<b>.txt"}, "ML\\<b>.txt", character('<')},
        {{"ML/a|b.txt"}, "ML\\a|b.txt", character('|')},
        {{"ML/\"b\".txt"}, "ML\\\"b\".txt", character('"')},
        {{"ML/a\x1b[2Jb.txt"}, "ML\\a\x1b[2Jb.txt", control},
        {{"ML/tab\there"}, "ML\\tab\there", control},
        {{"ML/del\x7f"}, "ML\\del\x7f", control},
        {{"ML/x.txt", "ML/X.TXT."}, "ML\\X.TXT.", dotOrSpace},
        {{"ML/x.txt "}, "ML\\x.txt ", dotOrSpace},
        {{"ML./x.txt"}, "ML.\\x.txt", dotOrSpace},
        {{"ML /x.txt"}, "ML \\x.txt", dotOrSpace},
        {{"ML/.../x.txt"}, "ML\\...\\x.txt", dotOrSpace},
        {{"ML/x.txt", "ml/X.txt"}, "ml\\X.txt", twice},
        {{"ML/\xC3\x89t\xC3\xA9.txt", "ML/\xC3\xA9T\xC3\x89.TXT"}, "ML\\\xC3\xA9T\xC3\x89.TXT", twice},  // Été, éTÉ
        {{"ML/\xCE\xA3\xCE\xB9\xCF\x82", "ML/\xCF\x83\xCE\x99\xCE\xA3"},
         "ML\\\xCF\x83\xCE\x99\xCE\xA3",
         twice},                                                 // Σις, σΙΣ
        {{"ML/\xE2\x84\xAA.mo", "ML/k.mo"}, "ML\\k.mo", twice},  // the Kelvin sign
        {{"ML/\xD0\x96\xD1\x83\xD0\xBA", "ML/\xD0\xB6\xD0\xA3\xD0\x9A"},
         "ML\\\xD0\xB6\xD0\xA3\xD0\x9A",
         twice},  // Жук, жУК
        {{"ML/" + std::string(253, 'n') + ".mo"},
         "ML\\" + std::string(253, 'n') + ".mo",
         "its name is longer than the 255 characters FAT and exFAT allow"},
        // What a card holds as it is (255 characters is the longest name).
        {{"a..b.txt", "ML/.hidden", "ML/ lead.txt", "ML/x.txt", "ml/y.txt", "ML/" + std::string(252, 'n') + ".mo",
          "ML/stra\xC3\x9F"
          "e",
          "ML/STRASSE"},
         "",
         ""},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<std::string, std::string>> entries = {{"autoexec.bin", "start"}};
        for (const std::string& name : c.names)
            entries.emplace_back(name, "data of " + name);
        const Bytes archive = StoredZip(entries);
        TZipRead zip(archive.data(), archive.size());
        const BuildCheckResult r = CheckBuildArchive(zip);
        EXPECT_EQ(r.ok, c.entry.empty()) << c.names.back() << ": " << r.reason;
        EXPECT_EQ(r.entry, c.entry) << c.names.back();
        EXPECT_EQ(r.reason, c.reason) << c.names.back();
    }
}

TEST_F(BuildCheck, FilesThatAreNoArchiveAreRefusedInPlainWords)
{
    Source("autoexec.bin", Words(1000));
    const Bytes good = Zip("../out.zip autoexec.bin");
    Write("cut.zip", Bytes(good.begin(), good.end() - 30));
    Write("text.zip", Bytes{'t', 'e', 'x', 't'});
    for (const auto& [file, reason] : std::vector<std::pair<std::string, std::string>>{
             {"missing.zip", "the file is missing, empty or cannot be read (Missing File)"},
             {"text.zip", "it is not a zip archive (No ZIP found)"},
             {"cut.zip", "it is not a zip archive (ZIP format)"}}) {
        BuildCheckResult r;
        EXPECT_NO_THROW(r = CheckBuildArchiveFile(Path(file), [](int) { throw std::runtime_error("not reached"); }));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.entry, "");
        EXPECT_EQ(r.reason, reason) << file;
    }
    EXPECT_TRUE(CheckBuildArchiveFile(Path("out.zip")).ok);
}

}  // namespace
