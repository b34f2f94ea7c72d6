// The hint text of a card's start file.
#pragma once

#include <string>

namespace core {

// Up to three lines separated by "\n": the build name stored in the file from
// byte 8 on (only when byte 8 is "M": up to the first zero byte, at most 255
// bytes, trailing line feeds removed; a short file gives what could be read),
// "Date: " and the file's date text, "Size: " N " bytes".
std::string FileInfoText(const std::string& path);

}  // namespace core
