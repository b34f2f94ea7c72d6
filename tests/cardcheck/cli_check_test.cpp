// flintor-cli check on card images (no root, no loop devices): exit status,
// usage errors, the image left as it was by the modes that put back.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <fstream>

#include "fusecard.h"
#include "loopcard.h"

namespace {

std::string Contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(static_cast<size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

TEST(CheckCommand, ExitStatusAndTheImageAfterEachMode)
{
    QTemporaryDir home;
    const std::string dir = home.path().toStdString();
    const std::string image = dir + "/card.img";
    ASSERT_EQ(testsupport::RunCommand({"truncate", "-s", "64M", image}), 0);
    ASSERT_EQ(testsupport::RunCommand({"mkfs.fat", "-F", "32", "-n", "EOS_DIGITAL", image}), 0);
    const std::string before = Contents(image);
    struct Case {
        std::vector<std::string> args;
        int status;
        bool unchanged;
        const char* outcome;  // of --json, "" when none is printed
    };
    const Case cases[] = {
        {{"check"}, 2, true, ""},
        {{"check", image, "--mode", "fast"}, 2, true, ""},
        {{"check", image, "--need", "quickly"}, 2, true, ""},
        {{"check", image, "--mode", "read", "--json"}, 0, true, "passed"},
        {{"check", image, "--json"}, 0, true, "passed"},
        {{"check", image, "--mode", "speed", "--need", "1920x1080x14@10000", "--json"}, 3, true, "failed"},
        {{"check", "--recover"}, 0, true, ""},
        {{"check", image, "--mode", "full"}, 1, true, ""},  // no one to ask
        {{"check", image, "--mode", "full", "--yes", "--json"}, 0, false, "passed"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        std::vector<std::string> argv = {FLINTOR_CLI};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string out, err;
        EXPECT_EQ(testsupport::RunWithEnv({"XDG_CACHE_HOME=" + dir}, argv, &out, &err), c.status) << out << err;
        EXPECT_EQ(Contents(image) == before, c.unchanged);
        if (*c.outcome) {
            const QJsonObject r = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
            EXPECT_EQ(r["outcome"].toString().toStdString(), c.outcome) << out;
            EXPECT_EQ(r["format"].toString(), QStringLiteral("flintor-card-check"));
            EXPECT_EQ(r["version"].toInt(), 1);
        }
    }
}

}  // namespace
