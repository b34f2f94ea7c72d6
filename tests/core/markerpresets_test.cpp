// The marker controls' rules on buffers built by hand: the cases where the
// web of handlers does something a straight reading of the buttons would not.
#include <gtest/gtest.h>

#include "core/markerpresets.h"

namespace {

using core::MarkerRequest;
using core::Preset;
using core::Switch;

std::array<uint8_t, core::kVbrSize> Region(std::initializer_list<std::pair<uint32_t, const char*>> texts)
{
    std::array<uint8_t, core::kVbrSize> r{};
    for (const auto& [at, text] : texts)
        for (size_t i = 0; text[i]; ++i)
            r[at + i] = static_cast<uint8_t>(text[i]);
    return r;
}

std::string At(const core::BootRecord& b, uint32_t at, size_t n)
{
    return std::string(reinterpret_cast<const char*>(b.VBR.data() + at), n);
}

MarkerRequest PresetOf(Preset p)
{
    MarkerRequest r;
    r.preset = p;
    return r;
}

}  // namespace

TEST(MarkerPresets, ExFatMagicLanternTicksTheScriptBoxButWritesNoScript)
{
    core::MarkerState s = core::LoadMarkers(Region({{0x1E0, "BOOTDISK"}}), core::LayoutExFat);
    ASSERT_EQ(s.boot.BootPos, core::kAltBootPos);
    std::string why;
    ASSERT_TRUE(core::ApplyMarkers(&s, PresetOf(Preset::MagicLantern), &why)) << why;
    EXPECT_TRUE(s.scriptChecked);
    const core::BootRecord saved = core::RegionToWrite(s);
    EXPECT_EQ(At(saved, 0x82, 11), "EOS_DEVELOP");
    EXPECT_EQ(At(saved, 0x7A, 8), "BOOTDISK");
    // The boot string moved back to the layout's place; none is left at 0x1E0.
    EXPECT_EQ(At(saved, 0x1E0, 8), std::string(8, ' '));
    // exFAT's file-system fields at 0x5C and the 0x1F0 area stay as they were.
    EXPECT_EQ(At(saved, 0x5C, 8), std::string(8, '\0'));
    EXPECT_EQ(At(saved, 0x1F0, 6), std::string(6, '\0'));

    core::MarkerState before = s;
    EXPECT_FALSE(core::ApplyMarkers(&s, PresetOf(Preset::Chdk), &why));
    MarkerRequest script;
    script.script = Switch::On;
    EXPECT_FALSE(core::ApplyMarkers(&s, script, &why));
    EXPECT_EQ(s.boot.VBR, before.boot.VBR);
}

TEST(MarkerPresets, TheLoadWritesWhatTheEditsShowAndNothingOfThePreviousCard)
{
    // A label with lower case and a 9 reads filtered, and the edit writes the
    // filtered text back.
    core::MarkerState s = core::LoadMarkers(Region({{0x2B, "No Name 9  "}}), core::LayoutFat);
    EXPECT_EQ(s.labelText, "NN");
    EXPECT_EQ(At(s.boot, 0x2B, 11), "NN         ");
    // Controls that showed "SCRIPT" for the previous card: the next card's
    // empty script place keeps its bytes.
    core::MarkerState shown = core::LoadMarkers(Region({{0x1F0, "SCRIPT"}}), core::LayoutFat32);
    ASSERT_TRUE(shown.scriptChecked);
    core::MarkerControls(shown).Load(Region({}), core::LayoutFat32);
    EXPECT_EQ(At(shown.boot, 0x1F0, 6), std::string(6, '\0'));
    EXPECT_FALSE(shown.scriptChecked);
    EXPECT_EQ(shown.boot.VBR, core::LoadMarkers(Region({}), core::LayoutFat32).boot.VBR);
}
