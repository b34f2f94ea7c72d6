#include "platform/workfolder.h"

#include "core/textutil.h"

namespace platform {

std::string MakeWorkFolder(int number, const std::string& programPath, std::string* note)
{
    std::string name = core::NameBeforeDot(programPath);
    if (name.empty()) {
        // A program name without a dot is used whole, so the folder never
        // becomes just the number inside the shared cache folder.
        size_t cut = programPath.find_last_of("/\\:");
        name = cut == std::string::npos ? programPath : programPath.substr(cut + 1);
    }
    if (name.empty())
        name = "flintor";
    const std::string base = UserCacheFolder() + name + core::PadNumber(number, 3, '0');
    std::string why;
    if (PreparePrivateFolder(base, &why))
        return base + "/";
    std::string firstWhy = why;
    for (int k = 2; k <= 9; ++k) {
        std::string candidate = base + "-" + std::to_string(k);
        if (PreparePrivateFolder(candidate, &why)) {
            if (note)
                *note = firstWhy + "; using " + candidate + "/ instead";
            return candidate + "/";
        }
    }
    if (note)
        *note = firstWhy + "; no private work folder could be made";
    return std::string();
}

}  // namespace platform
