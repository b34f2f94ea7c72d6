// What a card's root folder holds that matters for the add-ons: the content
// view of the window and of the command line. Names are matched without
// regard to letter case, as FAT and exFAT do.
#pragma once

#include <string>
#include <vector>

namespace core {

struct CardContent {
    bool autoexec = false;          // "autoexec.bin", Magic Lantern's start file
    std::string autoexecInfo;       // its hint text (FileInfoText)
    bool diskboot = false;          // "DISKBOOT.BIN", CHDK's start file
    bool ml = false;                // the ML folder
    bool chdk = false;              // the CHDK folder
    bool dcim = false;              // the camera's picture folder
    std::vector<std::string> firs;  // the "*.fir" files of the root

    // "-" for none, the name of one, "N fir files" for more.
    std::string FirText() const;
};

// The content of the folder root; everything absent when root is empty (the
// card is not mounted).
CardContent ReadCardContent(const std::string& root);

}  // namespace core
