#include "camera/cameras.h"

#include "core/textutil.h"

#include <array>

namespace camera {

namespace {

struct CameraModel {
    const char* code;
    std::array<const char*, 3> names;  // as the camera writes them; the first is shown, nullptr ends the list
};

// Build codes and the model names the cameras write into their photos, one
// line per camera sold under up to three names (Europe, the Americas, Japan).
// A code is the model number with its "D", a "Mark N" adds N ("5D Mark III"
// is 5D3), and the mirrorless EOS M models are "EOSM" and their number. Keep
// README.md's table in step with this one.
constexpr CameraModel kCameras[] = {
    {"5D2", {"Canon EOS 5D Mark II"}},
    {"5D3", {"Canon EOS 5D Mark III"}},
    {"6D", {"Canon EOS 6D"}},
    {"7D", {"Canon EOS 7D"}},
    {"50D", {"Canon EOS 50D"}},
    {"60D", {"Canon EOS 60D"}},
    {"70D", {"Canon EOS 70D"}},
    {"100D", {"Canon EOS 100D", "Canon EOS REBEL SL1", "Canon EOS Kiss X7"}},
    {"500D", {"Canon EOS 500D", "Canon EOS REBEL T1i", "Canon EOS Kiss X3"}},
    {"550D", {"Canon EOS 550D", "Canon EOS REBEL T2i", "Canon EOS Kiss X4"}},
    {"600D", {"Canon EOS 600D", "Canon EOS REBEL T3i", "Canon EOS Kiss X5"}},
    {"650D", {"Canon EOS 650D", "Canon EOS REBEL T4i", "Canon EOS Kiss X6i"}},
    {"700D", {"Canon EOS 700D", "Canon EOS REBEL T5i", "Canon EOS Kiss X7i"}},
    {"1100D", {"Canon EOS 1100D", "Canon EOS REBEL T3", "Canon EOS Kiss X50"}},
    {"1200D", {"Canon EOS 1200D", "Canon EOS REBEL T5", "Canon EOS Kiss X70"}},
    {"EOSM", {"Canon EOS M"}},
    {"EOSM2", {"Canon EOS M2"}},
};

constexpr size_t kMaxText = 64;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsAlnum(char c)
{
    return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "123" -> "1.2.3"
std::string DottedDigits(std::string_view digits)
{
    std::string version;
    for (char d : digits) {
        if (!version.empty())
            version.push_back('.');
        version.push_back(d);
    }
    return version;
}

// A token that is a code and exactly three digits.
BuildTarget TargetOfToken(std::string_view token)
{
    if (token.size() < 4)
        return {};
    const std::string_view digits = token.substr(token.size() - 3);
    for (char d : digits)
        if (!IsDigit(d))
            return {};
    const std::string code = core::LowerAscii(std::string(token.substr(0, token.size() - 3)));
    for (const CameraModel& camera : kCameras)
        if (code == core::LowerAscii(camera.code))
            return {camera.code, DottedDigits(digits)};
    return {};
}

}  // namespace

std::string CleanExifText(std::string_view raw)
{
    std::string text;
    bool space = false;
    for (char c : raw) {
        if (c == '\0')
            break;
        // Spaces, control characters and bytes outside ASCII separate words.
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) {
            space = !text.empty();
            continue;
        }
        if (text.size() + (space ? 2 : 1) > kMaxText)
            break;
        if (space)
            text.push_back(' ');
        space = false;
        text.push_back(c);
    }
    return text;
}

std::string FirmwareVersion(std::string_view text)
{
    for (size_t at = 0; at < text.size(); ++at) {
        if (!IsDigit(text[at]) || (at > 0 && (IsDigit(text[at - 1]) || text[at - 1] == '.')))
            continue;
        // Two to four parts of one to three digits, separated by single dots.
        size_t end = at, parts = 0;
        for (;;) {
            size_t digits = 0;
            while (end + digits < text.size() && IsDigit(text[end + digits]))
                ++digits;
            if (digits > 3) {
                parts = 0;
                break;
            }
            ++parts;
            end += digits;
            if (parts == 4 || end + 1 >= text.size() || text[end] != '.' || !IsDigit(text[end + 1]))
                break;
            ++end;
        }
        if (parts >= 2)
            return std::string(text.substr(at, end - at));
    }
    return {};
}

CameraInfo CameraFromExif(std::string_view model, std::string_view firmwareText)
{
    CameraInfo camera{CleanExifText(model), {}};
    if (!camera.model.empty())
        camera.firmware = FirmwareVersion(CleanExifText(firmwareText));
    return camera;
}

std::string CameraCode(std::string_view model)
{
    const std::string wanted = core::LowerAscii(CleanExifText(model));
    for (const CameraModel& camera : kCameras)
        for (const char* name : camera.names)
            if (name != nullptr && wanted == core::LowerAscii(name))
                return camera.code;
    return {};
}

std::string ModelOfCode(std::string_view code)
{
    for (const CameraModel& camera : kCameras)
        if (code == camera.code)
            return camera.names[0];
    return std::string(code);
}

BuildTarget TargetOfName(std::string_view text)
{
    size_t at = 0;
    while (at < text.size()) {
        if (!IsAlnum(text[at])) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text.size() && IsAlnum(text[end]))
            ++end;
        const BuildTarget target = TargetOfToken(text.substr(at, end - at));
        if (target.known())
            return target;
        at = end;
    }
    return {};
}

BuildTarget TargetOfBuild(const std::string& name, const std::string& url)
{
    const BuildTarget fromArchive = TargetOfName(core::UrlFileName(url));
    return fromArchive.known() ? fromArchive : TargetOfName(name);
}

Fit BuildFit(const CameraInfo& camera, const BuildTarget& target)
{
    if (camera.model.empty() || !target.known())
        return Fit::Unknown;
    if (CameraCode(camera.model) != target.code)
        return Fit::OtherCamera;
    if (camera.firmware.empty())
        return Fit::Unknown;
    return camera.firmware == target.firmware ? Fit::Match : Fit::OtherFirmware;
}

int CameraBuildIndex(const std::vector<core::TPorts>& builds, const CameraInfo& camera)
{
    for (size_t i = 0; i < builds.size(); ++i)
        if (BuildFit(camera, TargetOfBuild(builds[i].name, builds[i].url)) == Fit::Match)
            return static_cast<int>(i);
    return -1;
}

std::string CameraLine(const CameraInfo& camera)
{
    if (camera.model.empty())
        return "-";
    return camera.firmware.empty() ? camera.model : camera.model + " firmware " + camera.firmware;
}

std::string MismatchText(Fit fit, const CameraInfo& camera, const BuildTarget& target, const std::string& build)
{
    const std::string made = "The build " + build + " is made for the " + ModelOfCode(target.code);
    if (fit == Fit::OtherCamera)
        return made + ", but the photos on the card were taken with the " + camera.model +
               ". The camera does not start a build made for another camera.";
    if (fit == Fit::OtherFirmware)
        return made + " with firmware " + target.firmware + ", but the camera that took the photos on the card has " +
               "firmware " + camera.firmware + ". Update the camera's firmware to " + target.firmware +
               " first: the camera does not start a build made for another firmware version.";
    return {};
}

}  // namespace camera
