// The rules of the marker controls: what a load shows, and what ticking the
// boxes, typing in the edits and pressing the CHDK and Magic Lantern buttons
// do to the boot-record buffer. The window's handlers and the command line
// both run these rules; neither keeps a copy of its own.
//
// The controls form a web: a box's handler runs whenever its state changes,
// an edit's whenever its text changes, and setting either to what it already
// holds runs nothing. MarkerControls plays that web on a MarkerState; the
// window then shows the state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/bootrecord.h"

namespace core {

struct MarkerState {
    BootRecord boot;  // the buffer and the three places
    int layoutIndex = LayoutNone;
    std::string labelText;  // the three edits
    std::string bootText;
    std::string scriptText;
    bool labelChecked = false;   // "EOS_DEVELOP"
    bool bootChecked = false;    // "BOOTDISK"
    bool scriptChecked = false;  // "SCRIPT"
    bool chdkDown = false;       // the CHDK button: boot string at 0x1E0
    bool mlDown = false;         // the Magic Lantern button: both of its markers set
    // Set when a rule opens or closes the Magic Lantern group (its state is
    // the value); the window applies it and clears it.
    std::optional<bool> showMlGroup;

    // Both Magic Lantern markers set: the card would start Magic Lantern.
    bool MagicLanternBootable() const { return labelChecked && bootChecked; }
};

// The handlers of the marker controls, each run on the state as the window's
// control would run it.
class MarkerControls {
public:
    explicit MarkerControls(MarkerState& state) : s_(state) {}

    // The load of a boot region read from a card with this layout: the
    // controls start empty, the places of the layout are taken (a "BOOTDISK"
    // at 0x1E0 takes the boot place there), the edits are filled (an edit
    // whose text changes writes it back into its place) and the boxes are set
    // from the edits. A layout of LayoutNone takes no places and fills nothing.
    void Load(const std::array<uint8_t, kVbrSize>& region, int layoutIndex);
    // A load that failed: no places, no layout; the controls keep what they show.
    void Unload();

    // An edit's text changed: it is written into its place (nothing while the
    // place is 0), and its box follows the text.
    void SetLabelText(const std::string& text);
    void SetBootText(const std::string& text);
    void SetScriptText(const std::string& text);

    // A box's state changed: its edit shows the marker or nothing.
    void SetLabelChecked(bool on);
    void SetBootChecked(bool on);
    void SetScriptChecked(bool on);

    // Moves the boot string's place; the edit's text goes there at once.
    void MoveBootPlace(uint32_t place);

    // A click on the CHDK button (the button flips, then its handler runs):
    // on FAT and FAT32 the boot string moves to 0x1E0 and flips, the label and
    // the script are cleared; on exFAT or without a card the button goes up.
    void ClickChdk();
    // A click on the Magic Lantern button: on FAT32 the boot string moves to
    // 0x5C, on exFAT back to the layout's own place; the label flips and the
    // boot string and script follow it. The group opens or closes with the
    // button, also without a card.
    void ClickMl();

private:
    MarkerState& s_;
};

// A load into empty controls (the command line's view of a card).
MarkerState LoadMarkers(const std::array<uint8_t, kVbrSize>& region, int layoutIndex);

enum class Preset {
    Keep,          // no preset: the single switches below
    MagicLantern,  // the Magic Lantern button, pressed until the card is Magic-Lantern-bootable
    Chdk,          // the CHDK button, pressed until the card is CHDK-bootable
    Clear,         // all three boxes unticked
};
enum class Switch { Keep, On, Off };

struct MarkerRequest {
    Preset preset = Preset::Keep;
    Switch label = Switch::Keep;
    Switch boot = Switch::Keep;
    Switch script = Switch::Keep;
    uint32_t bootPlace = 0;  // 0x5C (FAT32) or 0x1E0 (FAT, FAT32); 0 keeps it
};

// Applies the request as the controls would, in the order boot place, label,
// boot, script. false (with why, state unchanged) when the request cannot be
// done on this layout: a preset mixed with switches, CHDK or a boot place on
// exFAT, a script on exFAT, a place the layout lacks, or no card layout at all.
bool ApplyMarkers(MarkerState* state, const MarkerRequest& request, std::string* why);

// The buffer a Save writes for the state: the place pair applied (not sealed).
BootRecord RegionToWrite(const MarkerState& state);

}  // namespace core
