#include "core/catalogue.h"

#include "core/textutil.h"

#include <fstream>
#include <sstream>

namespace core {

std::vector<TPorts> ParseCatalogue(const std::string& text)
{
    std::vector<TPorts> builds;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find_first_of("\r\n", from);
        std::string line = text.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (end == std::string::npos)
            from = text.size();
        else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            from = end + 2;
        else
            from = end + 1;
        std::vector<std::string> fields = SplitText(";", line);
        if (fields.size() < 3)
            continue;
        builds.push_back({fields[0], fields[1], fields[2]});
    }
    return builds;
}

std::vector<TPorts> ReadCatalogueFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return ParseCatalogue(text.str());
}

int RememberedIndex(const std::vector<TPorts>& builds, const std::string& remembered)
{
    if (builds.empty())
        return -1;
    const std::string wanted = LowerAscii(remembered);
    for (size_t i = 0; i < builds.size(); ++i)
        if (LowerAscii(builds[i].name) == wanted)
            return static_cast<int>(i);
    return 0;
}

bool ArchiveIsCurrent(const std::string& fileTimeText, const std::string& stamp)
{
    if (fileTimeText.empty())
        return false;
    return fileTimeText.compare(stamp) >= 0;
}

}  // namespace core
