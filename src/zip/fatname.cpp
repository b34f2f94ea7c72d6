#include "zip/fatname.h"

#include "zip/namedecode.h"

#include <clocale>
#include <cstring>
#include <cwctype>
#include <locale.h>
#include <string_view>

namespace {

constexpr std::string_view kForbidden = "?*<>|\":";

// A locale with the Unicode character classes, made once. glibc builds
// C.UTF-8 in; without it only ASCII letters fold.
locale_t UnicodeLocale()
{
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

char32_t Fold(char32_t cp)
{
    const locale_t locale = UnicodeLocale();
    if (!locale)
        return cp >= 'A' && cp <= 'Z' ? cp - 'A' + 'a' : cp;
    // Upper then lower case: the simple folding, which also joins letters
    // that have no lower-case form of their own to the usual one (the long s
    // to "s", the final sigma to "σ").
    const wint_t upper = towupper_l(static_cast<wint_t>(cp), locale);
    return static_cast<char32_t>(towlower_l(upper, locale));
}

// Length in UTF-16 units, the unit both file systems count names in.
size_t Utf16Length(const std::string& name)
{
    size_t units = 0;
    for (size_t at = 0; at < name.size();)
        units += NextCodePoint(name, &at) > 0xFFFF ? 2 : 1;
    return units;
}

}  // namespace

std::string FatNameProblem(const std::string& path)
{
    size_t partStart = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        const char c = i < path.size() ? path[i] : '/';
        if (c == '/') {
            // The end of one part: its last character decides.
            if (i > partStart && (path[i - 1] == '.' || path[i - 1] == ' '))
                return "its name ends in a dot or a space, which FAT and exFAT drop";
            if (Utf16Length(path.substr(partStart, i - partStart)) > 255)
                return "its name is longer than the 255 characters FAT and exFAT allow";
            partStart = i + 1;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return "its name holds a control character, which FAT and exFAT cannot store";
        if (kForbidden.find(c) != std::string_view::npos)
            return std::string("its name holds the character ") + c + ", which FAT and exFAT cannot store";
    }
    return "";
}

std::string FatFolded(const std::string& path)
{
    std::string folded;
    folded.reserve(path.size());
    for (size_t at = 0; at < path.size();)
        AppendUtf8(folded, Fold(NextCodePoint(path, &at)));
    return folded;
}
