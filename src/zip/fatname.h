// What the card's file systems (FAT with long names, and exFAT) can hold as a
// file or folder name, and when two names are the same name to them.
#pragma once

#include <string>

// Why FAT or exFAT cannot hold this path ("/"-separated, as SafeEntryPath
// gives it; a trailing "/" marks a folder), in plain words naming what is
// wrong, or "" when every part of it is a name they can hold. Refused: the
// characters ? * < > | " : and control characters (below U+0020, and DEL),
// a part ending in a dot or a space (the file systems drop those, so
// "X.TXT." would land on "X.TXT"), and a part longer than 255 characters.
std::string FatNameProblem(const std::string& path);

// The path as FAT and exFAT compare names: every letter case-folded (Unicode
// simple case folding, so "É" and "é", "K" and the Kelvin sign, "Σ", "σ" and
// "ς" compare equal). Two paths with the same folded form land on one file.
std::string FatFolded(const std::string& path);
