// The per-user cache folder and private folders below it.

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/workfolder.h"

namespace platform {

std::string UserCacheFolder()
{
    std::string base;
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        std::string h = home && home[0] == '/' ? home : "";
        if (h.empty()) {
            std::vector<char> buf(16384);
            struct passwd pw {};
            struct passwd* result = nullptr;
            if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir &&
                result->pw_dir[0] == '/')
                h = result->pw_dir;
        }
        if (h.empty())
            return {};
        while (h.size() > 1 && h.back() == '/')
            h.pop_back();
        base = (h == "/" ? std::string() : h) + "/.cache";
    }
    if (base.empty() || base.back() != '/')
        base += '/';
    return base;
}

namespace {

std::string ModeText(mode_t mode)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

// Checks an existing entry with lstat; creates it (mode 0700) when missing.
bool EnsureOwnFolder(const std::string& path, std::string* why)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *why = path + ": " + std::strerror(errno);
            return false;
        }
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            *why = "Cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
        if (::lstat(path.c_str(), &st) != 0) {
            *why = path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        *why = path + " is a symbolic link.";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = path + " is not a folder.";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *why = path + " belongs to another user (uid " + std::to_string(st.st_uid) + ").";
        return false;
    }
    return true;
}

}  // namespace

bool PreparePrivateFolder(const std::string& path, std::string* why)
{
    std::string dummy;
    std::string& reason = why ? *why : dummy;
    reason.clear();
    if (path.empty() || path[0] != '/') {
        reason = "The work folder path is not absolute: " + path;
        return false;
    }
    std::string target = path;
    while (target.size() > 1 && target.back() == '/')
        target.pop_back();

    // Create missing parents, private as well. Existing parents are left as
    // they are (they may be /home or the like).
    for (size_t pos = target.find('/', 1); pos != std::string::npos; pos = target.find('/', pos + 1)) {
        const std::string parent = target.substr(0, pos);
        struct stat st {};
        if (::stat(parent.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                reason = parent + " is not a folder.";
                return false;
            }
            continue;
        }
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
            reason = "Cannot create " + parent + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!EnsureOwnFolder(target, &reason))
        return false;
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) {
        reason = target + ": " + std::strerror(errno);
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        reason = target + " is open to other users (mode " + ModeText(st.st_mode) + ").";
        return false;
    }
    return true;
}

}  // namespace platform
