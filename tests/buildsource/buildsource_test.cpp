// Where builds come from: what a catalogue fetch must bring, what is kept in
// the work folder, and which archive is installed.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "buildsource/buildsource.h"
#include "core/digest.h"
#include "support/testservers.h"
#include "support/zipmaker.h"

namespace fs = std::filesystem;
using buildsource::Catalogue;

namespace {

void Write(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class BuildSource : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        fs::create_directories(Work());
    }
    std::string Work() const { return dir_.path().toStdString() + "/work/"; }
    std::string Served() const { return dir_.path().toStdString() + "/served/"; }
    QTemporaryDir dir_;
};

const std::string kCached = "Cached 1;http://127.0.0.1:9/ML/cached.zip;2015.01.01\n";

}  // namespace

// One check for every path: a fetch that holds no build leaves the cached
// copy and is said to have failed; only a catalogue replaces it.
TEST_F(BuildSource, OnlyACatalogueReplacesTheCachedCopy)
{
    const struct {
        const char* what;
        std::string body;
        bool accepted;
        const char* cause;
    } cases[] = {
        {"empty", "", false, "empty answer"},
        {"portal page", "<!DOCTYPE html>\n<html><body><a href=\"x\">x;y;z</a></body></html>\n", false,
         "not a build catalogue"},
        {"junk", std::string("\x89PNG\r\n\x1a\n\0\0\0", 11), false, "not a build catalogue"},
        {"catalogue", "New 2;https://m.example/new-2.zip;2026.02.03 04:05:06\n", true, ""},
    };
    for (const auto& c : cases) {
        Write(Work() + "develop.inf", kCached);
        const std::string fetched = buildsource::CatalogueDownloadPath(Work(), Catalogue::Develop);
        Write(fetched, c.body);
        std::vector<core::TPorts> builds;
        std::string cause;
        EXPECT_EQ(buildsource::AcceptFetchedCatalogue(Work(), Catalogue::Develop, fetched, &builds, &cause), c.accepted)
            << c.what;
        EXPECT_FALSE(fs::exists(fetched)) << c.what << ": the fetched file is never left behind";
        EXPECT_EQ(cause, c.cause) << c.what;
        EXPECT_EQ(Read(Work() + "develop.inf"), c.accepted ? c.body : kCached) << c.what;
        ASSERT_TRUE(buildsource::CachedCatalogue(Work(), Catalogue::Develop, &builds));
        EXPECT_EQ(builds.front().name, c.accepted ? "New 2" : "Cached 1") << c.what;
    }
}

TEST_F(BuildSource, ArchivesNeverTakeTheWorkFoldersOwnNames)
{
    const struct {
        const char* url;
        const char* kept;  // "" when refused
    } cases[] = {
        {"http://m.example/ML/build-7.zip", "build-7.zip"},
        {"http://m.example/ML/develop.inf", ""},
        {"http://m.example/LEGACY.INF", ""},
        {"http://m.example/x/develop.inf.dl", ""},
        {"http://m.example/a.zip.part", ""},
        {"http://m.example/backups", ""},
        {"http://m.example/", ""},
        {"http://m.example/..", ""},
    };
    for (const auto& c : cases) {
        core::TPorts build{"b", c.url, "2020.01.01", ""};
        std::string why;
        const std::string path = buildsource::ArchivePath(Work(), build, &why);
        EXPECT_EQ(path, *c.kept ? Work() + c.kept : "") << c.url;
        EXPECT_EQ(why.empty(), *c.kept != '\0') << c.url;
    }
}

// A kept archive is used again only when it is as new as the catalogue says
// and has the catalogue's digest.
TEST_F(BuildSource, KeptArchiveIsCurrentByDateAndDigest)
{
    const std::string path = Work() + "b.zip";
    Write(path, "archive bytes");
    const std::string digest = core::FileSha256Hex(path);
    EXPECT_TRUE(buildsource::ArchiveIsCurrent(path, {"b", "http://h/b.zip", "2000.01.01", ""}));
    EXPECT_TRUE(buildsource::ArchiveIsCurrent(path, {"b", "http://h/b.zip", "2000.01.01", digest}));
    EXPECT_FALSE(buildsource::ArchiveIsCurrent(path, {"b", "http://h/b.zip", "2000.01.01", std::string(64, '0')}));
    EXPECT_FALSE(buildsource::ArchiveIsCurrent(path, {"b", "http://h/b.zip", "2999.01.01", digest}));
    std::string why;
    EXPECT_FALSE(buildsource::ArchiveHasDigest(path, std::string(64, '0'), &why));
    EXPECT_EQ(why, "SHA-256 digest does not match the catalogue");
}

// An archive of the user's own is checked as the copy that gets installed.
TEST_F(BuildSource, LocalBuildIsCheckedAndKeptAsOneCopy)
{
    const std::string good = dir_.path().toStdString() + "/mine.zip";
    Write(good, testsupport::StoredZip({{"autoexec.bin", "start"}, {"ML/modules/a.mo", "module"}}));
    const std::string noStart = dir_.path().toStdString() + "/nostart.zip";
    Write(noStart, testsupport::StoredZip({{"readme.txt", "text"}}));
    std::string kept, why;
    EXPECT_FALSE(buildsource::KeepLocalBuild(Work(), noStart, &kept, &why));
    EXPECT_FALSE(fs::exists(Work() + "nostart.zip"));
    EXPECT_FALSE(fs::exists(Work() + "nostart.zip.part"));
    EXPECT_FALSE(buildsource::KeepLocalBuild(Work(), dir_.path().toStdString() + "/develop.inf", &kept, &why));
    EXPECT_EQ(why, "no such file");
    ASSERT_TRUE(buildsource::KeepLocalBuild(Work(), good, &kept, &why)) << why;
    EXPECT_EQ(kept, Work() + "mine.zip");
    EXPECT_EQ(Read(kept), Read(good));
}

// The command line's blocking fetches: a base address over HTTPS, the cached
// copy when the server sends no catalogue, and the digest of an archive.
TEST_F(BuildSource, BlockingFetchesCheckWhatTheyBring)
{
    const TestCerts& certs = TestCerts::get();
    ASSERT_TRUE(certs.ok());
    const std::string archive = testsupport::StoredZip({{"autoexec.bin", "start"}});
    Write(Served() + "mirror/ML/b-1.zip", archive);
    Write(Served() + "portal/ML/develop.inf", "<html><body>Sign in</body></html>\n");
    TestServer server(QStringLiteral("static_server.py"),
                      {"--root", QString::fromStdString(Served()), "--tls-cert", certs.path("server.crt"), "--tls-key",
                       certs.path("server.key")});
    ASSERT_TRUE(server.ok());
    ScopedEnv ca("SSL_CERT_FILE", certs.path("ca.crt").toLocal8Bit());
    const std::string base = server.https("/mirror").toStdString();
    const std::string good = core::Sha256Hex(archive.data(), archive.size());
    Write(Served() + "mirror/ML/develop.inf", "B 1;" + base + "/ML/b-1.zip;2020.01.01;" + good + "\nBad 1;" + base +
                                                  "/ML/b-1.zip;2020.01.01;" + std::string(64, '0') + "\n");

    std::vector<core::TPorts> builds;
    std::string note, why;
    ASSERT_TRUE(buildsource::FetchCatalogue(base, Work(), Catalogue::Develop, &builds, &note, &why)) << why;
    EXPECT_TRUE(note.empty()) << note;
    ASSERT_EQ(builds.size(), 2u);
    std::string path;
    ASSERT_TRUE(buildsource::FetchArchive(builds[0], Work(), &path, &why)) << why;
    EXPECT_EQ(Read(path), archive);
    fs::remove(path);
    EXPECT_FALSE(buildsource::FetchArchive(builds[1], Work(), &path, &why));
    EXPECT_NE(why.find("SHA-256"), std::string::npos) << why;
    EXPECT_FALSE(fs::exists(Work() + "b-1.zip"));

    // A portal page: the catalogue of the last good fetch stands in, and the
    // note says so.
    const std::string cachedBefore = Read(Work() + "develop.inf");
    ASSERT_TRUE(buildsource::FetchCatalogue(server.https("/portal").toStdString(), Work(), Catalogue::Develop, &builds,
                                            &note, &why));
    EXPECT_NE(note.find("not a build catalogue"), std::string::npos) << note;
    EXPECT_EQ(Read(Work() + "develop.inf"), cachedBefore);
    EXPECT_FALSE(fs::exists(Work() + "develop.inf.dl"));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
