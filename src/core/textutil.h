// Small text helpers shared by the window, the catalogue and the status bar.
#pragma once

#include <string>
#include <vector>

namespace core {

// Pieces of Text between each Separator, empty pieces included, and the rest
// after the last one (also when empty). "a;b;" gives "a", "b", "".
std::vector<std::string> SplitText(const std::string& separator, const std::string& text);

// Text with every "<...>" tag removed. A "<" without a closing ">" drops the
// rest of the text.
std::string StripTags(const std::string& text);

// Decimal Value with Fill in front until it is at least Width long.
std::string PadNumber(long long value, int width, char fill);

// The name part of Path (after its last "/", "\" or ":") up to its first dot;
// empty when the name has no dot.
std::string NameBeforeDot(const std::string& path);

bool InRange(long long value, long long low, long long high);

// Byte value of the first character; 0 for an empty text.
unsigned char FirstCharCode(const std::string& text);

// The last "/"-separated segment of an address, at most 255 characters taken
// after each "/".
std::string UrlFileName(const std::string& address);

// True when text starts with prefix (letter case counts).
bool StartsWith(const std::string& text, const std::string& prefix);

// ASCII letter case folded to lower case.
std::string LowerAscii(std::string text);

}  // namespace core
