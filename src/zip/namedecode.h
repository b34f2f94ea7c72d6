// Entry names as the zip reader hands them out: UTF-8, with "\" between
// folders. Kept apart from the reader's parsing so the build check can use the
// same UTF-8 rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Decodes a name's raw bytes. Every "/" becomes "\" first. With `utf8` (general
// purpose bit 11) well-formed UTF-8 is kept and each byte of a broken sequence
// becomes U+FFFD; otherwise every byte is read as code page 437, the OEM code
// page zip tools have always written. The result is always valid UTF-8.
std::string DecodeEntryName(const uint8_t* bytes, size_t length, bool utf8);

// Appends one code point (at most U+10FFFF, no surrogate) as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// The code point of the well-formed UTF-8 sequence at text[*at], moving *at
// past it; U+FFFD for a byte that starts no well-formed sequence, moving one
// byte on. *at must be below text.size().
char32_t NextCodePoint(const std::string& text, size_t* at);
