// Choosing how the program reaches cards: udisks2 when it is on the system
// bus (an ordinary desktop user), otherwise the device nodes directly.
#include <strings.h>

#include <cstdlib>

#include "platform/cardaccess.h"
#include "platform/linux/udisks_linux.h"

namespace platform {

bool ParseBackendChoice(const std::string& text, BackendChoice* out) {
    BackendChoice choice;
    if (strcasecmp(text.c_str(), "auto") == 0)
        choice = BackendChoice::Auto;
    else if (strcasecmp(text.c_str(), "direct") == 0)
        choice = BackendChoice::Direct;
    else if (strcasecmp(text.c_str(), "udisks2") == 0 || strcasecmp(text.c_str(), "udisks") == 0)
        choice = BackendChoice::Udisks;
    else
        return false;
    if (out) *out = choice;
    return true;
}

std::unique_ptr<CardAccess> MakeAccess(BackendChoice choice, std::string* why) {
    std::string note;
    if (choice == BackendChoice::Auto) {
        // FLINTOR_BACKEND gives the default when no choice was made.
        const char* env = std::getenv("FLINTOR_BACKEND");
        if (env != nullptr && *env != '\0' && !ParseBackendChoice(env, &choice))
            note = " (FLINTOR_BACKEND=" + std::string(env) + " is not direct, udisks2 or auto; ignored)";
    }
    switch (choice) {
    case BackendChoice::Direct:
        if (why) *why = "direct device access" + note;
        return MakeDirectAccess();
    case BackendChoice::Udisks:
        if (why) *why = "udisks2" + note;
        return MakeUdisksAccess();
    case BackendChoice::Auto:
        break;
    }
    std::string reason;
    if (UdisksServiceAvailable(&reason)) {
        if (why) *why = "udisks2, since " + reason + note;
        return MakeUdisksAccess();
    }
    if (why) *why = "direct device access, since " + reason + note;
    return MakeDirectAccess();
}

}  // namespace platform
