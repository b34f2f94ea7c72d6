// The restore journal: torn records, putting back twice, recognising a card.
#include <gtest/gtest.h>

#include <filesystem>

#include "cardcheck/journal.h"
#include "cardcheck/probe.h"
#include "cardcheck/session.h"
#include "simcard.h"

namespace {

using testsupport::SimBench;

struct JournalTest : ::testing::Test {
    SimBench bench{testsupport::SimCardSpec{}};
    std::string path = cardcheck::JournalPath(bench.workFolder, "sim:1");
    cardcheck::JournalHeader header;

    void SetUp() override
    {
        header.run = 77;
        header.mode = "quick";
        header.name = "sim0";
        header.identity = "sim:1";
        header.sizeBytes = bench.card.SizeBytes();
    }

    // Keeps what the card holds at each offset (512 bytes), then writes
    // other data there.
    void KeepAndOverwrite(const std::vector<uint64_t>& offsets)
    {
        cardcheck::Journal journal;
        std::string why;
        ASSERT_TRUE(journal.Create(path, header, &why)) << why;
        std::vector<uint8_t> unit(512);
        for (uint64_t at : offsets) {
            ASSERT_TRUE(bench.card.Read(at, unit.data(), 512).ok());
            ASSERT_TRUE(journal.Append(at, unit.data(), 512, &why)) << why;
        }
        ASSERT_TRUE(journal.Sync(&why)) << why;
        for (uint64_t at : offsets) {
            cardcheck::FillProbe({header.run, 1}, at, unit.data(), 512);
            ASSERT_TRUE(bench.card.Write(at, unit.data(), 512).ok());
        }
    }
};

TEST_F(JournalTest, TornLastRecordIsLeftOut)
{
    KeepAndOverwrite({4096, 8192, 12288});
    const auto size = std::filesystem::file_size(path);
    std::filesystem::resize_file(path, size - 100);
    cardcheck::JournalHeader read;
    std::vector<cardcheck::JournalRecord> records;
    std::string why;
    ASSERT_TRUE(cardcheck::ReadJournal(path, &read, &records, &why)) << why;
    EXPECT_EQ(read.identity, "sim:1");
    EXPECT_EQ(read.run, 77u);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].offset, 8192u);
}

TEST_F(JournalTest, PuttingBackTwiceLeavesTheCardAsItWas)
{
    KeepAndOverwrite({4096, 1 << 20, 3 << 20});
    ASSERT_FALSE(bench.card.Unchanged());
    cardcheck::JournalHeader read;
    std::vector<cardcheck::JournalRecord> records;
    std::string why;
    ASSERT_TRUE(cardcheck::ReadJournal(path, &read, &records, &why));
    EXPECT_TRUE(cardcheck::HoldsRunData(bench.card, read, records));
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_TRUE(cardcheck::PutBack(bench.card, path, records, nullptr, &why)) << why;
        EXPECT_TRUE(bench.card.Unchanged());
    }
    // Nothing of the run is left to recognise the card by.
    EXPECT_FALSE(cardcheck::HoldsRunData(bench.card, read, records));
}

TEST_F(JournalTest, PuttingBackNoticesACardThatKeepsNothing)
{
    KeepAndOverwrite({4096});
    cardcheck::JournalHeader read;
    std::vector<cardcheck::JournalRecord> records;
    std::string why;
    ASSERT_TRUE(cardcheck::ReadJournal(path, &read, &records, &why));
    // A card that lets writes vanish, holding other data.
    testsupport::SimCardSpec shape;
    shape.fake = testsupport::Fake::Drop;
    shape.realBytes = 2048;
    shape.seed = 2;
    testsupport::SimCard stuck(shape, &bench.clock);
    EXPECT_FALSE(cardcheck::PutBack(stuck, path, records, nullptr, &why));
    EXPECT_NE(why.find("did not keep"), std::string::npos) << why;
}

TEST(Probe, TellsOwnOtherAndForeignData)
{
    std::vector<uint8_t> unit(512);
    const cardcheck::ProbeKey key{42, 3};
    cardcheck::FillProbe(key, 8192, unit.data(), 512);
    EXPECT_EQ(cardcheck::ClassifyUnit(key, 8192, unit.data()).state, cardcheck::UnitState::Ok);
    const cardcheck::UnitReading moved = cardcheck::ClassifyUnit(key, 4096, unit.data());
    EXPECT_EQ(moved.state, cardcheck::UnitState::Overwritten);
    EXPECT_EQ(moved.foundAddress, 8192u);
    // An earlier round's data counts as changed, and so does a flipped bit.
    EXPECT_EQ(cardcheck::ClassifyUnit({42, 4}, 8192, unit.data()).state, cardcheck::UnitState::Changed);
    unit[300] ^= 1;
    EXPECT_EQ(cardcheck::ClassifyUnit(key, 8192, unit.data()).state, cardcheck::UnitState::Changed);
    uint64_t address = 0;
    EXPECT_FALSE(cardcheck::IsRunUnit(42, unit.data(), &address));
}

}  // namespace
