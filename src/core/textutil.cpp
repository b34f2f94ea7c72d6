#include "core/textutil.h"

namespace core {

std::vector<std::string> SplitText(const std::string& separator, const std::string& text)
{
    std::vector<std::string> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t from = 0;
    for (;;) {
        size_t at = text.find(separator, from);
        if (at == std::string::npos)
            break;
        pieces.push_back(text.substr(from, at - from));
        from = at + separator.size();
    }
    pieces.push_back(text.substr(from));
    return pieces;
}

std::string StripTags(const std::string& text)
{
    std::string result;
    size_t from = 0;
    for (;;) {
        size_t open = text.find('<', from);
        if (open == std::string::npos)
            break;
        result.append(text, from, open - from);
        size_t close = text.find('>', open + 1);
        if (close == std::string::npos)
            return result;  // an unclosed tag ends the text
        from = close + 1;
    }
    result.append(text, from, std::string::npos);
    return result;
}

std::string PadNumber(long long value, int width, char fill)
{
    std::string text = std::to_string(value);
    if (width > 0 && text.size() < static_cast<size_t>(width))
        text.insert(0, static_cast<size_t>(width) - text.size(), fill);
    return text;
}

std::string NameBeforeDot(const std::string& path)
{
    size_t cut = path.find_last_of("/\\:");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    size_t dot = name.find('.');
    if (dot == std::string::npos)
        return std::string();
    return name.substr(0, dot);
}

bool InRange(long long value, long long low, long long high)
{
    return low <= value && value <= high;
}

unsigned char FirstCharCode(const std::string& text)
{
    return text.empty() ? 0 : static_cast<unsigned char>(text[0]);
}

std::string UrlFileName(const std::string& address)
{
    std::string text = address;
    for (;;) {
        size_t slash = text.find('/');
        if (slash == std::string::npos)
            return text;
        text = text.substr(slash + 1, 255);
    }
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string LowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace core
