// Formatting a listed card: unmount it, then run mkfs.fat or mkfs.exfat on
// the volume's device with an argument vector (no shell).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/format_linux.h"
#include "platform/linux/mountinfo_linux.h"
#include "platform/linux/volumes_linux.h"

extern char** environ;

namespace fs = std::filesystem;

namespace platform {

namespace linux_detail {

std::string FindTool(const std::string& name)
{
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        const std::string path = std::string(dir) + name;
        if (::access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

int RunTool(const std::vector<std::string>& argv, std::string* output)
{
    if (output)
        output->clear();
    if (argv.empty())
        return -1;
    const std::string program = argv[0].find('/') == std::string::npos ? FindTool(argv[0]) : argv[0];
    if (program.empty()) {
        if (output)
            *output = argv[0] + " is not installed";
        return -1;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args[0] = const_cast<char*>(program.c_str());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        if (output)
            *output = argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (text.size() < 65536)
            text.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (output)
        *output = text;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return -1;
}

bool ValidFormatLabel(const std::string& fsName, const std::string& label, std::string* why)
{
    auto fail = [&](const std::string& reason) {
        if (why)
            *why = reason;
        return false;
    };
    // Characters neither file system accepts in a label.
    static const std::string kForbidden = "\"*/:<>?\\|";
    // FAT also refuses these (they are special in short names).
    static const std::string kForbiddenFat = "+,.;=[]";
    if (fsName == "FAT32") {
        if (label.size() > 11)
            return fail("A FAT32 label has at most 11 characters.");
        for (unsigned char c : label) {
            if (c < 0x20 || c >= 0x7f)
                return fail("A FAT32 label may only hold printable ASCII characters.");
            if (kForbidden.find(static_cast<char>(c)) != std::string::npos ||
                kForbiddenFat.find(static_cast<char>(c)) != std::string::npos)
                return fail(std::string("A FAT32 label may not contain '") + static_cast<char>(c) + "'.");
        }
        return true;
    }
    if (fsName == "exFAT") {
        // exFAT stores up to 11 UTF-16 units; count them from the UTF-8 text.
        size_t units = 0;
        for (size_t i = 0; i < label.size();) {
            const unsigned char c = static_cast<unsigned char>(label[i]);
            size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
            if (len == 0 || i + len > label.size())
                return fail("The label is not valid UTF-8.");
            for (size_t k = 1; k < len; ++k)
                if ((static_cast<unsigned char>(label[i + k]) & 0xc0) != 0x80)
                    return fail("The label is not valid UTF-8.");
            if (c < 0x20 || c == 0x7f)
                return fail("The label may not contain control characters.");
            if (kForbidden.find(static_cast<char>(c)) != std::string::npos)
                return fail(std::string("An exFAT label may not contain '") + static_cast<char>(c) + "'.");
            units += len == 4 ? 2 : 1;
            i += len;
        }
        if (units > 11)
            return fail("An exFAT label has at most 11 characters.");
        return true;
    }
    return fail("Only FAT32 and exFAT can be written.");
}

}  // namespace linux_detail

namespace {

// Processes other than this one that hold the device open.
std::vector<pid_t> Holders(dev_t dev)
{
    std::vector<pid_t> pids;
    const pid_t self = ::getpid();
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (pid == self)
            continue;
        std::error_code fec;
        for (fs::directory_iterator f(it->path() / "fd", fec), fend; !fec && f != fend; f.increment(fec)) {
            struct stat st {};
            if (::stat(f->path().c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev) {
                pids.push_back(pid);
                break;
            }
        }
    }
    return pids;
}

bool Unmount(const linux_detail::MountEntry& m, std::string* why)
{
    std::vector<std::string> argv;
    // FUSE mounts that are not of the block kind belong to fusermount.
    const bool plainFuse = m.fsType == "fuse" || m.fsType.rfind("fuse.", 0) == 0;
    if (plainFuse) {
        const std::string tool = !linux_detail::FindTool("fusermount3").empty() ? "fusermount3" : "fusermount";
        argv = {tool, "-u", "--", m.mountPoint};
    } else {
        argv = {"umount", "--", m.mountPoint};
    }
    std::string output;
    const int rc = linux_detail::RunTool(argv, &output);
    if (rc == 0)
        return true;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    *why = "Could not unmount " + m.mountPoint + (output.empty() ? std::string() : ": " + output);
    return false;
}

}  // namespace

namespace linux_detail {

bool UnmountDevice(dev_t dev, std::string* why)
{
    std::string dummy;
    std::string& err = why ? *why : dummy;
    // Unmount every mount of the volume (the same card may be mounted twice).
    for (const auto& m : MountsOfDevice(ReadMountInfo(), dev)) {
        if (!Unmount(m, &err))
            return false;
    }
    if (!MountsOfDevice(ReadMountInfo(), dev).empty()) {
        err = "The card is still mounted.";
        return false;
    }
    // A file system in user space may still be writing its last state
    // after the unmount returns; wait for its process to let go, so that
    // nothing overwrites what comes next.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<pid_t> holders = Holders(dev);
    while (!holders.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        holders = Holders(dev);
    }
    if (!holders.empty()) {
        err = "The card is in use by process " + std::to_string(holders.front()) + ".";
        return false;
    }
    return true;
}

}  // namespace linux_detail

namespace linux_detail {

std::string CardChangedText(const std::string& name)
{
    return name + " is no longer the card that was chosen (another card is in its place, or it was formatted "
                  "since); nothing was formatted";
}

FormatOutcome FormatDevice(const std::string& name, const std::string& identity, const std::string& fsName,
                           const std::string& label)
{
    try {
        Volume v;
        dev_t dev = 0;
        if (!FindVolumeWithDev(name, &v, &dev))
            return FormatOutcome::Fail(FormatNotFormatable, AccessError::NotFound, "Not a removable card: " + name);
        if (identity.empty() || v.identity != identity)
            return FormatOutcome::Fail(FormatError, AccessError::NotFound, CardChangedText(name));
        if (fsName != "FAT32" && fsName != "exFAT")
            return FormatOutcome::Fail(FormatNotFormatable, AccessError::Unsupported, "Cannot format as " + fsName);
        std::string why;
        if (!ValidFormatLabel(fsName, label, &why))
            return FormatOutcome::Fail(FormatError, AccessError::Unsupported, why);
        const std::string tool = fsName == "FAT32" ? "mkfs.fat" : "mkfs.exfat";
        if (FindTool(tool).empty())
            return FormatOutcome::Fail(FormatError, AccessError::Unsupported, tool + " is not installed");

        if (!UnmountDevice(dev, &why))
            return FormatOutcome::Fail(FormatError, AccessError::Io, why);
        // Still the very card that was checked, on the same device.
        Volume again;
        dev_t devAgain = 0;
        if (!FindVolumeWithDev(name, &again, &devAgain))
            return FormatOutcome::Fail(FormatError, AccessError::NotFound, "The card is gone.");
        if (devAgain != dev || again.identity != identity)
            return FormatOutcome::Fail(FormatError, AccessError::NotFound, CardChangedText(name));

        std::vector<std::string> argv;
        if (fsName == "FAT32") {
            argv = {tool, "-F", "32"};
            if (!label.empty())
                argv.insert(argv.end(), {"-n", label});
        } else {
            argv = {tool};
            if (!label.empty())
                argv.insert(argv.end(), {"-L", label});
        }
        argv.push_back(v.device);
        std::string output;
        if (RunTool(argv, &output) != 0) {
            while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
                output.pop_back();
            return FormatOutcome::Fail(FormatError, AccessError::Io, output.empty() ? tool + " failed" : output);
        }
        return FormatOutcome::Done();
    } catch (...) {
        return FormatOutcome::Fail(FormatError, AccessError::Io, "Formatting failed.");
    }
}

}  // namespace linux_detail

}  // namespace platform
