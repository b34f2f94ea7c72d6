#include "core/catalogue.h"

#include "core/digest.h"
#include "core/textutil.h"

#include <fstream>
#include <sstream>

namespace core {

namespace {

// Reads `count` decimal digits at text[at]; -1 when any is not a digit.
int Digits(const std::string& text, size_t at, size_t count)
{
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool IsWebAddress(const std::string& url)
{
    const std::string lower = LowerAscii(url.substr(0, 8));
    const size_t scheme = StartsWith(lower, "http://") ? 7 : StartsWith(lower, "https://") ? 8 : 0;
    return scheme > 0 && url.size() > scheme && url[scheme] != '/';
}

}  // namespace

bool IsCatalogueStamp(const std::string& stamp)
{
    if (stamp.size() != 10 && stamp.size() != 19)
        return false;
    if (stamp[4] != '.' || stamp[7] != '.')
        return false;
    const int year = Digits(stamp, 0, 4), month = Digits(stamp, 5, 2), day = Digits(stamp, 8, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    if (stamp.size() == 10)
        return true;
    if (stamp[10] != ' ' || stamp[13] != ':' || stamp[16] != ':')
        return false;
    const int hour = Digits(stamp, 11, 2), minute = Digits(stamp, 14, 2), second = Digits(stamp, 17, 2);
    return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

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
        if (fields.size() < 3 || fields[0].empty() || !IsWebAddress(fields[1]) || !IsCatalogueStamp(fields[2]))
            continue;
        TPorts build{fields[0], fields[1], fields[2], {}};
        if (fields.size() > 3 && !fields[3].empty()) {
            build.sha256 = NormalizeSha256Hex(fields[3]);
            if (build.sha256.empty())
                continue;
        }
        builds.push_back(std::move(build));
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
