// Build catalogues: one build per line, "name;archive URL;time stamp".
#pragma once

#include <string>
#include <vector>

namespace core {

struct TPorts {
    std::string name;   // shown in the list, remembered in the settings
    std::string url;    // the build archive
    std::string stamp;  // "yyyy.MM.dd hh:mm:ss" of the build
};

// Lines end with CR LF, LF or CR; a line break after the last line adds no
// line. Lines with fewer than three fields (blank lines too) are skipped;
// fields after the third are ignored.
std::vector<TPorts> ParseCatalogue(const std::string& text);
// The same for a file; an unreadable file gives no builds.
std::vector<TPorts> ReadCatalogueFile(const std::string& path);

// Index of the first build whose name equals remembered, letter case ignored;
// 0 when there is none; -1 for an empty list.
int RememberedIndex(const std::vector<TPorts>& builds, const std::string& remembered);

// True when a local archive with this file time text is at least as new as
// the catalogue's stamp (byte-wise text comparison; a missing file, with an
// empty text, is never current).
bool ArchiveIsCurrent(const std::string& fileTimeText, const std::string& stamp);

}  // namespace core
