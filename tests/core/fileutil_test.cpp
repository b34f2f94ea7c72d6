#include "core/fileinfo.h"
#include "core/fileutil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace core;

namespace {

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/flintor-core-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

void Write(const fs::path& p, const std::string& content)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

// Sets a file's time from local calendar fields.
void SetLocalTime(const fs::path& p, int y, int mo, int d, int h, int mi, int s)
{
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    auto sys = std::chrono::system_clock::from_time_t(std::mktime(&tm));
    fs::last_write_time(p, std::chrono::file_clock::from_sys(sys));
}

}  // namespace

TEST(FileUtil, MasksIgnoreCaseAndMatchFolders)
{
    TempDir t;
    Write(fs::path(t.path) / "A.FIR", "x");
    Write(fs::path(t.path) / "b.fir", "x");
    Write(fs::path(t.path) / "c.firm", "x");
    fs::create_directory(fs::path(t.path) / "dir.Fir");
    auto names = ListFiles(t.path, "*.fir");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"A.FIR", "b.fir", "dir.Fir"}));
    // With and without the trailing separator the same folder is searched.
    EXPECT_EQ(ListFiles(t.path + "/", "*.FIR").size(), 3u);
    EXPECT_EQ(ListFiles(t.path, "*.*").size(), 4u);
    EXPECT_TRUE(MatchMask("autoexec.bin", "AUTOEXEC.BIN"));
    EXPECT_TRUE(MatchMask("noext", "*.*"));
    EXPECT_FALSE(MatchMask("x.fir.bak", "*.fir"));
    EXPECT_TRUE(MatchMask("a.b.fir", "*.fir"));
    EXPECT_TRUE(ListFiles(t.path + "/missing", "*.*").empty());
}

TEST(FileUtil, DeleteAndRemoveTree)
{
    TempDir t;
    fs::path root(t.path);
    Write(root / "AUTOEXEC.BIN", "x");
    Write(root / "keep.txt", "x");
    Write(root / "m.PDF", "x");
    fs::create_directory(root / "folder.pdf");
    DeleteFiles(t.path, "autoexec.bin");
    DeleteFiles(t.path, "*.pdf");
    EXPECT_FALSE(fs::exists(root / "AUTOEXEC.BIN"));
    EXPECT_FALSE(fs::exists(root / "m.PDF"));
    EXPECT_TRUE(fs::exists(root / "keep.txt"));
    EXPECT_TRUE(fs::is_directory(root / "folder.pdf"));  // folders are not files

    Write(root / "ML" / "a" / "b" / "deep.txt", "x");
    Write(root / "ML" / ".hidden", "x");
    Write(root / "outside" / "precious.txt", "x");
    fs::create_directory_symlink(root / "outside", root / "ML" / "link");
    RemoveFolderTree((root / "ML").string());
    EXPECT_FALSE(fs::exists(root / "ML"));
    EXPECT_TRUE(fs::exists(root / "outside" / "precious.txt"));  // links are not followed
}

TEST(FileUtil, NoCaseExistenceTellsFilesFromFolders)
{
    TempDir t;
    fs::path root(t.path);
    Write(root / "AutoExec.Bin", "x");
    Write(root / "DCIM", "a file, not a folder");
    fs::create_directories(root / "Ml" / "Sub");
    EXPECT_TRUE(FileExistsNoCase(t.path, "autoexec.bin"));
    EXPECT_TRUE(FileExistsNoCase(t.path, "\\autoexec.bin"));
    EXPECT_FALSE(FolderExistsNoCase(t.path, "autoexec.bin"));
    EXPECT_FALSE(FolderExistsNoCase(t.path, "DCIM"));
    EXPECT_TRUE(FolderExistsNoCase(t.path, "ML\\SUB"));
    EXPECT_FALSE(FileExistsNoCase(t.path, "ml"));
    EXPECT_FALSE(FileExistsNoCase("", "autoexec.bin"));
    EXPECT_EQ(CardPath("/media/card", "ML\\data\\x.bin"), "/media/card/ML/data/x.bin");
}

TEST(FileUtil, DateTextAndFileInfo)
{
    TempDir t;
    fs::path f = fs::path(t.path) / "autoexec.bin";
    std::string content = "12345678Magic Lantern\n\n";
    content.push_back('\0');
    content += std::string(400, 'z');
    Write(f, content);
    SetLocalTime(f, 2012, 7, 1, 18, 4, 37);
    EXPECT_EQ(FileDateText(f.string()), "2012.07.01 18:04:36");  // two-second steps
    EXPECT_EQ(FileInfoText(f.string()),
              "Magic Lantern\nDate: 2012.07.01 18:04:36\nSize: " + std::to_string(content.size()) + " bytes");
    SetLocalTime(f, 2012, 7, 1, 0, 0, 1);
    EXPECT_EQ(FileDateText(f.string()), "2012.07.01");
    EXPECT_EQ(FileDateText((fs::path(t.path) / "none").string()), "");

    fs::path other = fs::path(t.path) / "other.bin";
    Write(other, std::string(300, 'A'));
    SetLocalTime(other, 2020, 1, 2, 3, 4, 6);
    EXPECT_EQ(FileInfoText(other.string()), "Date: 2020.01.02 03:04:06\nSize: 300 bytes");

    // A short file still gives the name it holds.
    fs::path shortFile = fs::path(t.path) / "short.bin";
    Write(shortFile, "xxxxxxxxML v2");
    SetLocalTime(shortFile, 2021, 5, 6, 7, 8, 10);
    EXPECT_EQ(FileInfoText(shortFile.string()), "ML v2\nDate: 2021.05.06 07:08:10\nSize: 13 bytes");
}
