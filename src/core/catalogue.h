// Build catalogues: one build per line, "name;archive URL;time stamp" with an
// optional fourth field, the archive's SHA-256 digest.
//
// TPorts: one build of a catalogue (a "port" of the add-on to a camera).
#pragma once

#include <string>
#include <vector>

namespace core {

struct TPorts {
    std::string name;    // shown in the list, remembered in the settings
    std::string url;     // the build archive
    std::string stamp;   // "yyyy.MM.dd hh:mm:ss" (or "yyyy.MM.dd") of the build
    std::string sha256;  // 64 lower-case hex digits, or "" when the line has none
};

// Lines end with CR LF, LF or CR; a line break after the last line adds no
// line. A line becomes a build only when it has a name, an http:// or
// https:// address (scheme in any letter case) and a time stamp in the file
// time form; every other line (blank lines, an HTML page's lines) is skipped.
// The fourth field, when not empty, must be 64 hex digits in either letter
// case: a line with any other fourth field is skipped too, since it names a
// digest that cannot be checked. Fields after the fourth are ignored.
std::vector<TPorts> ParseCatalogue(const std::string& text);
// The same for a file; an unreadable file gives no builds.
std::vector<TPorts> ReadCatalogueFile(const std::string& path);

// True for "yyyy.MM.dd" and "yyyy.MM.dd hh:mm:ss" with the digits in range.
bool IsCatalogueStamp(const std::string& stamp);

// Index of the first build whose name equals remembered, letter case ignored;
// 0 when there is none; -1 for an empty list.
int RememberedIndex(const std::vector<TPorts>& builds, const std::string& remembered);

// True when a local archive with this file time text is at least as new as
// the catalogue's stamp (byte-wise text comparison; a missing file, with an
// empty text, is never current).
bool ArchiveIsCurrent(const std::string& fileTimeText, const std::string& stamp);

}  // namespace core
