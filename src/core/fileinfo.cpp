#include "core/fileinfo.h"

#include "core/fileutil.h"

#include <filesystem>
#include <fstream>

namespace core {

std::string FileInfoText(const std::string& path)
{
    std::string text;
    unsigned long long size = 0;
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            size = std::filesystem::file_size(path, ec);
            if (ec)
                size = 0;
            char bytes[255];
            in.seekg(8);
            in.read(bytes, sizeof bytes);
            const std::streamsize got = in ? static_cast<std::streamsize>(sizeof bytes) : in.gcount();
            if (got > 0 && bytes[0] == 'M') {
                for (std::streamsize i = 0; i < got && bytes[i] != 0; ++i)
                    text.push_back(bytes[i]);
            }
        }
    }
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty())
        text.push_back('\n');
    text += "Date: " + FileDateText(path) + "\n";
    text += "Size: " + std::to_string(size) + " bytes";
    return text;
}

}  // namespace core
