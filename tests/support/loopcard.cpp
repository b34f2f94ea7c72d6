#include "loopcard.h"

#include "platform/linux/format_linux.h"
#include "platform/linux/mountinfo_linux.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

const char kFolderPrefix[] = "flintor-loopcard.";

std::string TempBase()
{
    const char* t = std::getenv("TMPDIR");
    std::string base = t && t[0] == '/' ? t : "/tmp";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return base;
}

std::string FindProgram(const std::string& name)
{
    return platform::linux_detail::FindTool(name);
}

std::string Trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string ReadLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return Trimmed(line);
}

// Mount points (decoded) below `folder`, deepest first.
std::vector<std::string> MountsBelow(const std::string& folder)
{
    std::vector<std::string> result;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, parent, devno, root, mp;
        if (!(f >> id >> parent >> devno >> root >> mp))
            continue;
        std::string decoded;
        for (size_t i = 0; i < mp.size(); ++i) {
            if (mp[i] == '\\' && i + 3 < mp.size()) {
                decoded.push_back(
                    static_cast<char>((mp[i + 1] - '0') * 64 + (mp[i + 2] - '0') * 8 + (mp[i + 3] - '0')));
                i += 3;
            } else {
                decoded.push_back(mp[i]);
            }
        }
        if (decoded.rfind(folder + "/", 0) == 0)
            result.push_back(decoded);
    }
    std::sort(result.rbegin(), result.rend());
    return result;
}

// Loop devices (/dev/loopN) whose backing file lies in `folder`.
std::vector<std::string> LoopsBackedBy(const std::string& folder)
{
    std::vector<std::string> result;
    std::error_code ec;
    for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("loop", 0) != 0)
            continue;
        const std::string backing = ReadLine(it->path().string() + "/loop/backing_file");
        if (backing.rfind(folder + "/", 0) == 0)
            result.push_back("/dev/" + name);
    }
    return result;
}

void UnmountPath(const std::string& mp)
{
    // exfat-fuse mounts are of the block kind (umount); fusefat's are not (fusermount).
    if (RunCommand({"umount", mp}) != 0) {
        if (RunCommand({"fusermount3", "-u", mp}) != 0)
            RunCommand({"fusermount", "-u", mp});
    }
}

// Cards of this process that are still set up; torn down at exit in case a
// test ends the process without running destructors.
std::mutex g_liveMutex;
std::set<std::string> g_liveFolders;

void TearDownFolder(const std::string& folder)
{
    for (const auto& mp : MountsBelow(folder))
        UnmountPath(mp);
    for (const auto& dev : LoopsBackedBy(folder))
        RunCommand({"losetup", "-d", dev});
    std::error_code ec;
    if (MountsBelow(folder).empty())
        fs::remove_all(folder, ec);
}

void AtExitCleanup()
{
    std::set<std::string> folders;
    {
        std::lock_guard<std::mutex> lock(g_liveMutex);
        folders.swap(g_liveFolders);
    }
    for (const auto& f : folders)
        TearDownFolder(f);
}

// Folders of earlier runs of this harness whose process is gone (a crash
// under a sanitizer skips destructors): unmount, detach and remove them.
// Only folders named after a dead process id are touched.
void SweepStaleFolders()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(AtExitCleanup);
        std::error_code ec;
        const std::string base = TempBase();
        for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.rfind(kFolderPrefix, 0) != 0)
                continue;
            const std::string rest = name.substr(sizeof kFolderPrefix - 1);
            const auto dot = rest.find('.');
            if (dot == std::string::npos || dot == 0)
                continue;
            const std::string pidText = rest.substr(0, dot);
            char* endp = nullptr;
            const long pid = std::strtol(pidText.c_str(), &endp, 10);
            if (pid <= 0 || *endp != '\0')
                continue;
            if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
                continue;
            TearDownFolder(it->path().string());
        }
    });
}

bool WaitFor(const std::function<bool()>& condition, int milliseconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool IsMountPoint(const std::string& dir)
{
    for (const auto& mp : MountsBelow(fs::path(dir).parent_path().string()))
        if (mp == dir)
            return true;
    return false;
}

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

int RunCommand(const std::vector<std::string>& argv, std::string* output)
{
    // The program's own runner: no shell, output of both streams collected.
    return platform::linux_detail::RunTool(argv, output);
}

std::string FsckProblems(const std::string& fsType, const std::string& device)
{
    std::string out;
    const int rc = RunCommand({fsType == "exFAT" ? "fsck.exfat" : "fsck.fat", "-n", device}, &out);
    if (rc == 0)
        return std::string();
    std::string problems;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        // The version, the summary, and every line on a label ("Label in boot
        // sector is", "Volume label ... stored in root directory", the
        // "Auto-..." answers to them).
        const bool remark = line.empty() || line.rfind("fsck.fat ", 0) == 0 || line.find("Leaving filesystem") == 0 ||
                            line.find(" files, ") != std::string::npos || line.find("abel") != std::string::npos;
        if (!remark || fsType == "exFAT")
            problems += line + "\n";
    }
    return problems.empty() ? std::string() : "fsck exit " + std::to_string(rc) + ":\n" + problems;
}

std::vector<int> DeviceHolders(const std::string& device)
{
    std::vector<int> pids;
    struct stat dst {};
    if (::stat(device.c_str(), &dst) != 0 || !S_ISBLK(dst.st_mode))
        return pids;
    const pid_t self = ::getpid();
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const int pid = std::atoi(name.c_str());
        if (pid == self)
            continue;
        std::error_code fec;
        for (fs::directory_iterator f(it->path() / "fd", fec), fend; !fec && f != fend; f.increment(fec)) {
            struct stat st {};
            if (::stat(f->path().c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dst.st_rdev) {
                pids.push_back(pid);
                break;
            }
        }
    }
    return pids;
}

platform::CardAccess& DirectCards()
{
    static const std::unique_ptr<platform::CardAccess> direct = platform::MakeDirectAccess();
    return *direct;
}

bool InCI()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

std::string RequireLoopAndFuse()
{
    static std::once_flag once;
    static std::string reason;
    std::call_once(once, [] {
        if (::geteuid() != 0) {
            reason = "needs root for loop devices and raw access";
            return;
        }
        if (::access("/dev/loop-control", R_OK | W_OK) != 0) {
            reason = "/dev/loop-control is not usable";
            return;
        }
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            reason = "/dev/fuse is not usable";
            return;
        }
        for (const char* tool :
             {"losetup", "mkfs.fat", "fsck.fat", "mkfs.exfat", "fsck.exfat", "mount.exfat-fuse", "fusefat", "umount"}) {
            if (FindProgram(tool).empty()) {
                reason = std::string(tool) + " is not installed";
                return;
            }
        }
        if (FindProgram("fusermount3").empty() && FindProgram("fusermount").empty()) {
            reason = "fusermount is not installed";
            return;
        }
        std::string out;
        if (RunCommand({"losetup", "-f"}, &out) != 0 || Trimmed(out).rfind("/dev/loop", 0) != 0) {
            reason = "losetup cannot find a free loop device: " + Trimmed(out);
            return;
        }
    });
    return reason;
}

LoopCard::~LoopCard()
{
    Cleanup();
}

bool LoopCard::Fail(const std::string& what)
{
    error_ = what;
    return false;
}

void LoopCard::Cleanup()
{
    if (mounted())
        Unmount();
    if (attached())
        Detach();
    if (!folder_.empty()) {
        // Anything this card left behind inside its own folder.
        TearDownFolder(folder_);
        std::lock_guard<std::mutex> lock(g_liveMutex);
        g_liveFolders.erase(folder_);
        folder_.clear();
    }
}

bool LoopCard::Create(const LoopCardOptions& options)
{
    if (!folder_.empty())
        return Fail("Create was called twice");
    SweepStaleFolders();
    options_ = options;
    const std::string& fsType = options.fsType;
    if (!fsType.empty() && fsType != "FAT12" && fsType != "FAT16" && fsType != "FAT32" && fsType != "exFAT")
        return Fail("unknown file system " + fsType);

    std::string templ = TempBase() + "/" + kFolderPrefix + std::to_string(::getpid()) + ".XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        return Fail(std::string("mkdtemp: ") + std::strerror(errno));
    folder_ = buf.data();
    {
        std::lock_guard<std::mutex> lock(g_liveMutex);
        g_liveFolders.insert(folder_);
    }
    imagePath_ = folder_ + "/card.img";
    mountDir_ = folder_ + "/mnt";
    if (::mkdir(mountDir_.c_str(), 0700) != 0)
        return Fail("mkdir mount point failed");

    {
        std::ofstream img(imagePath_, std::ios::binary);
        if (!img)
            return Fail("cannot create " + imagePath_);
    }
    std::error_code ec;
    fs::resize_file(imagePath_, options.sizeBytes, ec);
    if (ec)
        return Fail("cannot size the image: " + ec.message());

    volumeOffset_ = 0;
    volumeSize_ = options.sizeBytes;
    if (options.partitioned) {
        // One primary partition from sector 2048 to the end.
        volumeOffset_ = 1ull << 20;
        if (options.sizeBytes <= volumeOffset_ + (1ull << 20))
            return Fail("image too small for a partition");
        volumeSize_ = options.sizeBytes - volumeOffset_;
        std::vector<uint8_t> mbr(512, 0);
        const uint8_t type = fsType == "exFAT"   ? 0x07
                             : fsType == "FAT32" ? 0x0c
                             : fsType == "FAT16" ? 0x0e
                             : fsType == "FAT12" ? 0x01
                                                 : 0x83;
        mbr[446] = 0x00;
        mbr[447] = 0xfe;
        mbr[448] = 0xff;
        mbr[449] = 0xff;  // CHS fields unused (LBA)
        mbr[450] = type;
        mbr[451] = 0xfe;
        mbr[452] = 0xff;
        mbr[453] = 0xff;
        PutLe32(mbr, 454, static_cast<uint32_t>(volumeOffset_ / 512));
        PutLe32(mbr, 458, static_cast<uint32_t>(volumeSize_ / 512));
        mbr[510] = 0x55;
        mbr[511] = 0xaa;
        std::fstream img(imagePath_, std::ios::binary | std::ios::in | std::ios::out);
        img.write(reinterpret_cast<const char*>(mbr.data()), 512);
        if (!img)
            return Fail("cannot write the partition table");
    }

    auto mkfsArgs = [&](const std::string& target) {
        std::vector<std::string> argv;
        if (fsType == "exFAT") {
            argv = {"mkfs.exfat"};
            if (!options.label.empty())
                argv.insert(argv.end(), {"-L", options.label});
        } else {
            argv = {"mkfs.fat", "-F", fsType.substr(3)};
            if (!options.label.empty())
                argv.insert(argv.end(), {"-n", options.label});
        }
        argv.push_back(target);
        return argv;
    };
    std::string out;
    if (!fsType.empty() && !options.partitioned) {
        if (RunCommand(mkfsArgs(imagePath_), &out) != 0)
            return Fail("mkfs failed: " + out);
    }

    std::vector<std::string> attach = {"losetup", "--show"};
    if (options.partitioned)
        attach.push_back("-P");
    attach.push_back(options.loopDevice.empty() ? "-f" : options.loopDevice);
    attach.push_back(imagePath_);
    if (RunCommand(attach, &out) != 0)
        return Fail("losetup failed: " + out);
    diskDevice_ = Trimmed(out);
    if (diskDevice_.rfind("/dev/loop", 0) != 0) {
        const std::string got = diskDevice_;
        diskDevice_.clear();
        return Fail("losetup printed no device: " + got);
    }
    const std::string diskName = diskDevice_.substr(5);
    if (options.partitioned) {
        name_ = diskName + "p1";
        device_ = "/dev/" + name_;
        struct stat st {};
        auto present = [&] { return ::stat(device_.c_str(), &st) == 0 && S_ISBLK(st.st_mode); };
        // Kernels built without the MBR parser scan nothing; partx then adds
        // the partition from the table it reads itself.
        if (!WaitFor(present, 1000)) {
            if (RunCommand({"partx", "-a", diskDevice_}, &out) != 0)
                return Fail("partx -a failed: " + out);
            if (!WaitFor(present, 5000))
                return Fail("the partition device " + device_ + " did not appear");
        }
        if (!fsType.empty() && RunCommand(mkfsArgs(device_), &out) != 0)
            return Fail("mkfs failed: " + out);
    } else {
        name_ = diskName;
        device_ = diskDevice_;
    }
    return true;
}

bool LoopCard::Mount()
{
    if (!attached())
        return Fail("not attached");
    // The program may have unmounted the card itself (before writing the
    // boot record of a card mounted in user space).
    if (mounted() && IsMountPoint(mountPoint_))
        return true;
    mountPoint_.clear();
    // Mounted again by the program through udisks2, which chooses where: that
    // mount is used (a second driver on the same device would ruin it).
    struct stat st {};
    if (::stat(device_.c_str(), &st) == 0) {
        const auto mounts = platform::linux_detail::MountsOfDevice(platform::linux_detail::ReadMountInfo(), st.st_rdev);
        if (!mounts.empty()) {
            mountPoint_ = mounts.front().mountPoint;
            return true;
        }
    }
    const std::string& fsType = options_.fsType;
    std::string out;
    int rc = -1;
    if (fsType == "exFAT") {
        rc = RunCommand({"mount.exfat-fuse", device_, mountDir_}, &out);
    } else if (!fsType.empty()) {
        // fsname names the device in mountinfo, so the listing can tell where
        // the card is mounted (fusefat's mounts carry no device number).
        rc = RunCommand({"fusefat", "-o", "rw+,fsname=" + device_, device_, mountDir_}, &out);
    } else {
        return Fail("a card without file system cannot be mounted");
    }
    if (rc != 0)
        return Fail("mount failed: " + out);
    if (!WaitFor([&] { return IsMountPoint(mountDir_); }, 5000))
        return Fail("the mount did not appear");
    mountPoint_ = mountDir_;
    return true;
}

bool LoopCard::Unmount()
{
    if (!mounted())
        return true;
    std::string out;
    int rc;
    if (options_.fsType == "exFAT") {
        rc = RunCommand({"umount", mountPoint_}, &out);
    } else {
        rc = RunCommand({"fusermount3", "-u", mountPoint_}, &out);
        if (rc != 0)
            rc = RunCommand({"fusermount", "-u", mountPoint_}, &out);
    }
    if (rc != 0 && IsMountPoint(mountPoint_))
        return Fail("unmount failed: " + out);
    mountPoint_.clear();
    // The file system process writes its last state after the unmount returns.
    if (!WaitFor([&] { return DeviceHolders(device_).empty(); }, 10000))
        return Fail("the file system process still holds " + device_);
    return true;
}

bool LoopCard::Detach()
{
    if (mounted() && !Unmount())
        return false;
    if (!attached())
        return true;
    // Detach only the device that still serves this card's image.
    const std::string backing = ReadLine("/sys/block/" + diskDevice_.substr(5) + "/loop/backing_file");
    if (backing.rfind(imagePath_, 0) == 0) {
        std::string out;
        if (RunCommand({"losetup", "-d", diskDevice_}, &out) != 0)
            return Fail("losetup -d failed: " + out);
    }
    diskDevice_.clear();
    device_.clear();
    return true;
}

std::vector<uint8_t> LoopCard::ReadDevice(uint64_t offset, size_t length) const
{
    std::vector<uint8_t> bytes(length);
    const int fd = ::open(device_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (done != length)
        return {};
    return bytes;
}

std::vector<uint8_t> LoopCard::ReadImage(uint64_t offset, size_t length) const
{
    std::vector<uint8_t> bytes(length);
    std::ifstream in(imagePath_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(volumeOffset_ + offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    if (!in || static_cast<size_t>(in.gcount()) != length)
        return {};
    return bytes;
}

bool LoopCard::WriteDevice(uint64_t offset, const std::vector<uint8_t>& bytes)
{
    const int fd = ::open(device_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return Fail("open " + device_ + " failed");
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    const bool ok = done == bytes.size() && ::fsync(fd) == 0;
    ::close(fd);
    return ok || Fail("write to " + device_ + " failed");
}

}  // namespace testsupport
