#include "core/markerpresets.h"

namespace core {

namespace {

const char* const kLabel = "EOS_DEVELOP";
const char* const kBoot = "BOOTDISK";
const char* const kScript = "SCRIPT";

// The handlers of the window's marker controls on a MarkerState.
class Controls {
public:
    explicit Controls(MarkerState* s) : s_(*s) {}

    bool Loaded() const { return s_.layoutIndex != LayoutNone; }

    void SetLabelText(const std::string& text)
    {
        if (s_.labelText == text)
            return;
        s_.labelText = text;
        if (s_.boot.LabelPos != 0)
            s_.boot.SetVBRString(text, s_.boot.LabelPos, kLabelWidth);
        SetLabelChecked(text == kLabel);
    }
    void SetBootText(const std::string& text)
    {
        if (s_.bootText == text)
            return;
        s_.bootText = text;
        if (s_.boot.BootPos != 0)
            s_.boot.SetVBRString(text, s_.boot.BootPos, kBootWidth);
        SetBootChecked(text == kBoot);
    }
    void SetScriptText(const std::string& text)
    {
        if (s_.scriptText == text)
            return;
        s_.scriptText = text;
        if (s_.boot.ScriptPos != 0)
            s_.boot.SetVBRString(text, s_.boot.ScriptPos, kScriptWidth);
        SetScriptChecked(text == kScript);
    }

    void SetLabelChecked(bool on)
    {
        if (s_.labelChecked == on)
            return;
        s_.labelChecked = on;
        SetLabelText(on ? kLabel : "");
        s_.mlDown = s_.bootChecked && s_.labelChecked;
    }
    void SetBootChecked(bool on)
    {
        if (s_.bootChecked == on)
            return;
        s_.bootChecked = on;
        SetBootText(on ? kBoot : "");
        s_.chdkDown = s_.bootChecked && s_.boot.BootPos == kAltBootPos;
        s_.mlDown = s_.bootChecked && s_.labelChecked;
    }
    void SetScriptChecked(bool on)
    {
        if (s_.scriptChecked == on)
            return;
        s_.scriptChecked = on;
        SetScriptText(on ? kScript : "");
    }

    // Moves the boot string's place; the edit's text goes there at once.
    void MoveBootPlace(uint32_t place)
    {
        s_.boot.BootPos = place;
        s_.boot.SetVBRString(s_.bootText, place, kBootWidth);
    }

    // A click on the CHDK button: the button flips, then its handler runs.
    void ClickChdk()
    {
        s_.chdkDown = !s_.chdkDown;
        if (s_.layoutIndex == LayoutExFat || !Loaded()) {
            s_.chdkDown = false;
            return;
        }
        MoveBootPlace(kAltBootPos);  // FAT and FAT32 take CHDK's boot string at 0x1E0
        SetBootChecked(!s_.bootChecked);
        SetLabelChecked(false);
        SetScriptChecked(false);
    }

    // A click on the Magic Lantern button.
    void ClickMl()
    {
        s_.mlDown = !s_.mlDown;
        if (!Loaded())
            return;
        uint32_t place = 0;
        if (s_.layoutIndex == LayoutFat32)
            place = kFat32BootPos;
        else if (s_.layoutIndex == LayoutExFat)
            place = SelectLayout("exFAT").bootPos;
        if (place != 0) {
            MoveBootPlace(place);
            s_.chdkDown = false;
        }
        SetLabelChecked(!s_.labelChecked);
        SetBootChecked(s_.labelChecked);
        SetScriptChecked(s_.labelChecked);
    }

private:
    MarkerState& s_;
};

}  // namespace

MarkerState LoadMarkers(const std::array<uint8_t, kVbrSize>& region, int layoutIndex)
{
    return LoadMarkers(region, layoutIndex, MarkerState{});
}

MarkerState LoadMarkers(const std::array<uint8_t, kVbrSize>& region, int layoutIndex, const MarkerState& shown)
{
    MarkerState s;
    s.labelText = shown.labelText;
    s.bootText = shown.bootText;
    s.scriptText = shown.scriptText;
    s.labelChecked = shown.labelChecked;
    s.bootChecked = shown.bootChecked;
    s.scriptChecked = shown.scriptChecked;
    s.chdkDown = shown.chdkDown;
    s.mlDown = shown.mlDown;
    s.boot.VBR = region;
    const char* names[] = {"FAT", "FAT32", "exFAT"};
    const Layout layout =
        layoutIndex >= LayoutFat && layoutIndex <= LayoutExFat ? SelectLayout(names[layoutIndex]) : Layout{};
    s.layoutIndex = layout.index;
    s.boot.LabelPos = layout.labelPos;
    s.boot.BootPos = layout.bootPos;
    s.boot.ScriptPos = layout.scriptPos;
    Controls c(&s);
    c.SetLabelText(s.boot.LabelPos != 0 ? s.boot.GetVBRString(s.boot.LabelPos, kLabelWidth) : "");
    if (s.boot.BootPos != 0) {
        c.SetBootText(s.boot.GetVBRString(s.boot.BootPos, kBootWidth));
        if (s.boot.GetVBRString(kAltBootPos, kBootWidth) == kBoot) {
            s.boot.BootPos = kAltBootPos;
            c.SetBootText(kBoot);
        }
    } else {
        c.SetBootText("");
    }
    c.SetScriptText(s.boot.ScriptPos != 0 ? s.boot.GetVBRString(s.boot.ScriptPos, kScriptWidth) : "");
    c.SetBootChecked(s.bootText == kBoot);
    c.SetLabelChecked(s.labelText == kLabel);
    c.SetScriptChecked(s.scriptText == kScript);
    return s;
}

MarkerState StateOf(const BootRecord& loaded, int layoutIndex)
{
    MarkerState s;
    s.boot = loaded;
    s.layoutIndex = layoutIndex >= LayoutFat && layoutIndex <= LayoutExFat ? layoutIndex : LayoutNone;
    const BootRecord& b = s.boot;
    s.labelText = b.LabelPos != 0 ? b.GetVBRString(b.LabelPos, kLabelWidth) : "";
    s.bootText = b.BootPos != 0 ? b.GetVBRString(b.BootPos, kBootWidth) : "";
    s.scriptText = b.ScriptPos != 0 ? b.GetVBRString(b.ScriptPos, kScriptWidth) : "";
    s.labelChecked = s.labelText == kLabel;
    s.bootChecked = s.bootText == kBoot;
    s.scriptChecked = s.scriptText == kScript;
    s.chdkDown = s.bootChecked && b.BootPos == kAltBootPos;
    s.mlDown = s.bootChecked && s.labelChecked;
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

    Controls c(state);
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

BootRecord ForSave(const MarkerState& state)
{
    BootRecord out = state.boot;
    out.ApplyPlacePair(state.layoutIndex);
    return out;
}

}  // namespace core
