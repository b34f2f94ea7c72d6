// Text from outside (archive entry names, catalogue lines, server answers)
// made safe to put into a message for a terminal, the status bar or a dialog.
// Header-only, so the zip reader can use it without the rest of core.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace core {

// The text with everything that does not print escaped: bytes that are not
// well-formed UTF-8 and the control characters below U+0020 and U+007F as
// "\xNN" (ESC becomes "\x1b"); the C1 controls U+0080..U+009F, the line and
// paragraph separators and the invisible format characters that reorder or
// hide text (bidirectional overrides and isolates, zero-width marks, the byte
// order mark) as "\uNNNN". Everything else, other letters and "\" included,
// stays as it is.
inline std::string Printable(std::string_view text)
{
    const auto hex = [](const char* format, unsigned value) {
        char buffer[12];
        std::snprintf(buffer, sizeof buffer, format, value);
        return std::string(buffer);
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
        const unsigned char lead = byte(0);
        // Length and value of a well-formed sequence; 0 when there is none.
        size_t length = 0;
        char32_t cp = 0;
        if (lead < 0x80) {
            length = 1;
            cp = lead;
        } else if (lead >= 0xC2 && lead <= 0xF4) {
            length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            cp = lead & (lead < 0xE0 ? 0x1F : lead < 0xF0 ? 0x0F : 0x07);
            for (size_t k = 1; k < length; ++k) {
                if (i + k >= text.size() || (byte(k) & 0xC0) != 0x80) {
                    length = 0;
                    break;
                }
                cp = (cp << 6) | (byte(k) & 0x3F);
            }
            // Overlong forms, surrogates and values past U+10FFFF.
            const char32_t lowest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            if (length && (cp < lowest || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF))
                length = 0;
        }
        if (length == 0) {
            out += hex("\\x%02x", lead);
            ++i;
            continue;
        }
        if (cp < 0x20 || cp == 0x7F)
            out += hex("\\x%02x", static_cast<unsigned>(cp));
        else if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || (cp >= 0x200B && cp <= 0x200F) ||
                 (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x2069) || cp == 0xFEFF)
            out += hex("\\u%04x", static_cast<unsigned>(cp));
        else
            out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

}  // namespace core
