#include "core/markerpresets.h"

namespace core {

namespace {

const char* const kLabel = "EOS_DEVELOP";
const char* const kBoot = "BOOTDISK";
const char* const kScript = "SCRIPT";

}  // namespace

void MarkerControls::Load(const std::array<uint8_t, kVbrSize>& region, int layoutIndex)
{
    // The controls start empty for every card: what a card's buffer holds
    // after its load never depends on the card shown before it.
    s_ = MarkerState{};
    s_.boot.VBR = region;
    const char* names[] = {"FAT", "FAT32", "exFAT"};
    const Layout layout =
        layoutIndex >= LayoutFat && layoutIndex <= LayoutExFat ? SelectLayout(names[layoutIndex]) : Layout{};
    s_.layoutIndex = layout.index;
    s_.boot.LabelPos = layout.labelPos;
    s_.boot.BootPos = layout.bootPos;
    s_.boot.ScriptPos = layout.scriptPos;
    SetLabelText(s_.boot.LabelPos != 0 ? s_.boot.GetVBRString(s_.boot.LabelPos, kLabelWidth) : "");
    if (s_.boot.BootPos != 0) {
        SetBootText(s_.boot.GetVBRString(s_.boot.BootPos, kBootWidth));
        if (s_.boot.GetVBRString(kAltBootPos, kBootWidth) == kBoot) {
            s_.boot.BootPos = kAltBootPos;
            SetBootText(kBoot);
        }
    } else {
        SetBootText("");
    }
    SetScriptText(s_.boot.ScriptPos != 0 ? s_.boot.GetVBRString(s_.boot.ScriptPos, kScriptWidth) : "");
    SetBootChecked(s_.bootText == kBoot);
    SetLabelChecked(s_.labelText == kLabel);
    SetScriptChecked(s_.scriptText == kScript);
}

void MarkerControls::Unload()
{
    s_.layoutIndex = LayoutNone;
    s_.boot.LabelPos = s_.boot.BootPos = s_.boot.ScriptPos = 0;
}

void MarkerControls::SetLabelText(const std::string& text)
{
    if (s_.labelText == text)
        return;
    s_.labelText = text;
    if (s_.boot.LabelPos != 0)
        s_.boot.SetVBRString(text, s_.boot.LabelPos, kLabelWidth);
    SetLabelChecked(text == kLabel);
}

void MarkerControls::SetBootText(const std::string& text)
{
    if (s_.bootText == text)
        return;
    s_.bootText = text;
    if (s_.boot.BootPos != 0)
        s_.boot.SetVBRString(text, s_.boot.BootPos, kBootWidth);
    SetBootChecked(text == kBoot);
}

void MarkerControls::SetScriptText(const std::string& text)
{
    if (s_.scriptText == text)
        return;
    s_.scriptText = text;
    if (s_.boot.ScriptPos != 0)
        s_.boot.SetVBRString(text, s_.boot.ScriptPos, kScriptWidth);
    SetScriptChecked(text == kScript);
}

void MarkerControls::SetLabelChecked(bool on)
{
    if (s_.labelChecked == on)
        return;
    s_.labelChecked = on;
    SetLabelText(on ? kLabel : "");
    s_.mlDown = s_.bootChecked && s_.labelChecked;
    s_.showMlGroup = s_.mlDown;
}

void MarkerControls::SetBootChecked(bool on)
{
    if (s_.bootChecked == on)
        return;
    s_.bootChecked = on;
    SetBootText(on ? kBoot : "");
    s_.chdkDown = s_.bootChecked && s_.boot.BootPos == kAltBootPos;
    s_.mlDown = s_.bootChecked && s_.labelChecked;
    s_.showMlGroup = s_.mlDown;
}

void MarkerControls::SetScriptChecked(bool on)
{
    if (s_.scriptChecked == on)
        return;
    s_.scriptChecked = on;
    SetScriptText(on ? kScript : "");
}

void MarkerControls::MoveBootPlace(uint32_t place)
{
    s_.boot.BootPos = place;
    s_.boot.SetVBRString(s_.bootText, place, kBootWidth);
}

void MarkerControls::ClickChdk()
{
    s_.chdkDown = !s_.chdkDown;
    if (s_.layoutIndex != LayoutFat && s_.layoutIndex != LayoutFat32) {
        s_.chdkDown = false;
        return;
    }
    // FAT and FAT32 cards both take CHDK's boot string at 0x1E0, so that a
    // save followed by a load shows the card as the button left it.
    MoveBootPlace(kAltBootPos);
    SetBootChecked(!s_.bootChecked);
    SetLabelChecked(false);
    SetScriptChecked(false);
}

void MarkerControls::ClickMl()
{
    s_.mlDown = !s_.mlDown;
    if (s_.layoutIndex != LayoutNone) {
        uint32_t place = 0;
        if (s_.layoutIndex == LayoutFat32)
            place = kFat32BootPos;
        else if (s_.layoutIndex == LayoutExFat)
            place = SelectLayout("exFAT").bootPos;  // back to the layout's own place
        if (place != 0) {
            MoveBootPlace(place);
            s_.chdkDown = false;
        }
        SetLabelChecked(!s_.labelChecked);
        SetBootChecked(s_.labelChecked);
        SetScriptChecked(s_.labelChecked);
    }
    s_.showMlGroup = s_.mlDown;
}

MarkerState LoadMarkers(const std::array<uint8_t, kVbrSize>& region, int layoutIndex)
{
    MarkerState s;
    MarkerControls(s).Load(region, layoutIndex);
    return s;
}

bool ApplyMarkers(MarkerState* state, const MarkerRequest& request, std::string* why)
{
    const auto fail = [why](const std::string& text) {
        if (why)
            *why = text;
        return false;
    };
    const int layout = state->layoutIndex;
    if (layout == LayoutNone)
        return fail("The card carries no FAT, FAT32 or exFAT layout that can be edited");
    const bool switches = request.label != Switch::Keep || request.boot != Switch::Keep ||
                          request.script != Switch::Keep || request.bootPlace != 0;
    if (request.preset != Preset::Keep && switches)
        return fail("A preset cannot be combined with single markers");
    if (request.preset == Preset::Chdk && layout == LayoutExFat)
        return fail("CHDK does not start from exFAT cards");
    if (request.script != Switch::Keep && state->boot.ScriptPos == 0)
        return fail("exFAT cards have no script place");
    if (request.bootPlace != 0) {
        if (layout == LayoutExFat)
            return fail("The boot string's place can be chosen on FAT and FAT32 cards only");
        if (request.bootPlace != kAltBootPos && !(layout == LayoutFat32 && request.bootPlace == kFat32BootPos))
            return fail(layout == LayoutFat ? "On FAT the boot string can be moved to 0x1E0 only"
                                            : "The boot string's place is 0x5C or 0x1E0");
    }

    MarkerControls c(*state);
    switch (request.preset) {
    case Preset::MagicLantern:
        // One press sets the three markers; a second is needed when the
        // first one cleared them (the card already carried the label).
        c.ClickMl();
        if (!state->labelChecked)
            c.ClickMl();
        return true;
    case Preset::Chdk:
        c.ClickChdk();
        if (!state->bootChecked)
            c.ClickChdk();
        return true;
    case Preset::Clear:
        c.SetLabelChecked(false);
        c.SetBootChecked(false);
        c.SetScriptChecked(false);
        return true;
    case Preset::Keep:
        break;
    }
    if (request.bootPlace != 0) {
        c.MoveBootPlace(request.bootPlace);
        state->chdkDown = state->bootChecked && state->boot.BootPos == kAltBootPos;
    }
    if (request.label != Switch::Keep)
        c.SetLabelChecked(request.label == Switch::On);
    if (request.boot != Switch::Keep)
        c.SetBootChecked(request.boot == Switch::On);
    if (request.script != Switch::Keep)
        c.SetScriptChecked(request.script == Switch::On);
    return true;
}

BootRecord RegionToWrite(const MarkerState& state)
{
    BootRecord out = state.boot;
    out.ApplyPlacePair(state.layoutIndex);
    return out;
}

}  // namespace core
