// The check as an ordinary user through udisks2 (run through
// tests/support/desktopservices.sh): the device opened uncached and
// exclusively over the bus, every byte as it was afterwards.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "support/desktopservices.h"
#include "support/loopcard.h"

namespace {

constexpr uint64_t MiB = 1ull << 20;

TEST(UserCardCheck, ReadAndQuickThroughUdisksLeaveTheCardAsItWas)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "EOS_DIGITAL", .sizeBytes = 96 * MiB})) << card.error();
    // Something to keep: random bytes past the file system's start.
    std::vector<uint8_t> noise(16 * MiB);
    std::mt19937 random(7);
    for (uint8_t& b : noise)
        b = static_cast<uint8_t>(random());
    ASSERT_TRUE(card.WriteDevice(40 * MiB, noise)) << card.error();
    testsupport::UdisksCards udisks;
    ASSERT_TRUE(udisks.Add({card.name()})) << udisks.error();
    const std::vector<uint8_t> before = card.ReadDevice(0, 96 * MiB);
    ASSERT_EQ(before.size(), 96 * MiB);

    for (const char* mode : {"read", "quick"}) {
        SCOPED_TRACE(mode);
        // The report can be long: it goes to a file (the runner keeps 64 KiB).
        const std::string report = "/tmp/flintor-udisks-check-" + std::to_string(::getpid()) + ".json";
        std::string out;
        const int status =
            testsupport::RunAsDesktopUser({"sh", "-c",
                                           std::string("exec \"$0\" --backend udisks2 --include-loop check ") +
                                               card.name() + " --mode " + mode + " --json > " + report,
                                           FLINTOR_CLI},
                                          &out);
        std::ifstream in(report);
        const std::string json((std::istreambuf_iterator<char>(in)), {});
        std::remove(report.c_str());
        const QJsonObject r = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
        EXPECT_EQ(status, 0) << out << json.substr(0, 2000);
        EXPECT_TRUE(r["uncached"].toBool()) << out;
        EXPECT_EQ(r["outcome"].toString(), QStringLiteral("passed")) << out;
        EXPECT_TRUE(card.ReadDevice(0, 96 * MiB) == before);
    }
}

}  // namespace
