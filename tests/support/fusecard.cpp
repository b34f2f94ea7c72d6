#include "fusecard.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "loopcard.h"

extern char** environ;

namespace fs = std::filesystem;

namespace testsupport {

namespace {

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

FuseCard::~FuseCard()
{
    if (!device_.empty())
        RunCommand({"losetup", "-d", device_});
    if (fuse_ > 0) {
        RunCommand({"fusermount", "-u", mount_});
        ::kill(fuse_, SIGTERM);
        ::waitpid(fuse_, nullptr, 0);
    }
    std::error_code ec;
    if (!folder_.empty())
        fs::remove_all(folder_, ec);
}

bool FuseCard::Fail(const std::string& what)
{
    error_ = what;
    return false;
}

bool FuseCard::Start(const std::string& script, const FuseCardOptions& o)
{
    std::string templ = (fs::temp_directory_path() / "flintor-fusecard.XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr)
        return Fail("mkdtemp failed");
    folder_ = templ;
    store_ = folder_ + "/store";
    mount_ = folder_ + "/mnt";
    fs::create_directory(mount_);
    {
        std::mt19937_64 random(o.claimBytes ^ o.realBytes);
        std::ofstream out(store_, std::ios::binary);
        std::vector<uint64_t> block(1 << 17);
        const uint64_t real = o.realBytes ? o.realBytes : o.claimBytes;
        for (uint64_t done = 0; done < real; done += block.size() * 8) {
            for (uint64_t& w : block)
                w = random();
            out.write(reinterpret_cast<const char*>(block.data()),
                      static_cast<std::streamsize>(std::min<uint64_t>(block.size() * 8, real - done)));
        }
        if (!out)
            return Fail("cannot fill the store");
    }
    std::vector<std::string> args = {"/usr/bin/python3", script, store_, mount_, std::to_string(o.claimBytes)};
    if (!o.fake.empty())
        args.push_back("--" + o.fake);
    if (o.bytesPerSecond > 0)
        args.insert(args.end(), {"--rate", std::to_string(o.bytesPerSecond)});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&fuse_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return Fail("cannot start " + script);
    const std::string file = mount_ + "/card.img";
    for (int i = 0; i < 200 && !fs::exists(file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!fs::exists(file))
        return Fail("the FUSE card did not appear");
    std::string out;
    if (RunCommand({"losetup", "-f", "--show", file}, &out) != 0)
        return Fail("losetup: " + out);
    device_ = Trim(out);
    name_ = device_.substr(5);
    if (RunCommand({"mkfs.fat", "-F", "32", "-n", "FUSECARD", device_}, &out) != 0)
        return Fail("mkfs.fat: " + out);
    return true;
}

std::string FuseCard::StoreDigest() const
{
    std::string out;
    RunCommand({"sha256sum", store_}, &out);
    return out.substr(0, 64);
}

int RunWithEnv(const std::vector<std::string>& env, const std::vector<std::string>& argv, std::string* out,
               std::string* err)
{
    char outPath[] = "/tmp/flintor-run-out.XXXXXX";
    char errPath[] = "/tmp/flintor-run-err.XXXXXX";
    const int outFd = ::mkstemp(outPath);
    const int errFd = ::mkstemp(errPath);
    std::vector<std::string> all = {"/usr/bin/env"};
    all.insert(all.end(), env.begin(), env.end());
    all.insert(all.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : all)
        args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    int status = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0)
        ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outFd);
    ::close(errFd);
    if (out)
        *out = ReadAll(outPath);
    if (err)
        *err = ReadAll(errPath);
    ::unlink(outPath);
    ::unlink(errPath);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
