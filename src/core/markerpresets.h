// The marker controls of the window as a function: what a load shows, and
// what ticking the boxes or pressing the CHDK and Magic Lantern buttons does
// to the boot-record buffer. The command line uses this so that it follows
// the window's rules instead of keeping its own.
//
// The controls are a web of handlers: a box's handler runs whenever its state
// changes, an edit's whenever its text changes, and setting either to what it
// already holds runs nothing. MarkerState replays that web on plain values.
#pragma once

#include <array>
#include <cstdint>
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

    // Both Magic Lantern markers set: the card would start Magic Lantern.
    bool MagicLanternBootable() const { return labelChecked && bootChecked; }
};

// The window's load of a boot region read from a card with this layout, into
// controls that show nothing yet: the places of the layout, a "BOOTDISK" at
// 0x1E0 taking the boot place there, the edits filled (each edit whose text
// changes writes it back into its place) and the boxes set from the edits.
MarkerState LoadMarkers(const std::array<uint8_t, kVbrSize>& region, int layoutIndex);
// The same load into controls that still show the previous card: an edit
// whose text does not change writes nothing, and one that does writes its new
// text (for example six spaces over the script place when the previous card
// showed "SCRIPT" and this one holds none).
MarkerState LoadMarkers(const std::array<uint8_t, kVbrSize>& region, int layoutIndex, const MarkerState& shown);

// The controls as they show a boot record that LoadMarkers (or the window's
// load) produced: the edits read back from the places, the boxes from them.
MarkerState StateOf(const BootRecord& loaded, int layoutIndex);

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

// Applies the request as the window's controls would, in the order boot
// place, label, boot, script. false (with why, state unchanged) when the
// request cannot be done on this layout: a preset mixed with switches, CHDK
// or a boot place on exFAT, a script on exFAT, a place the layout lacks, or
// no card layout at all.
bool ApplyMarkers(MarkerState* state, const MarkerRequest& request, std::string* why);

// The buffer a Save writes for the state: the place pair applied (not sealed).
BootRecord ForSave(const MarkerState& state);

}  // namespace core
