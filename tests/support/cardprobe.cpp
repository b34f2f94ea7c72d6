// cardprobe: one CardAccess operation from the command line, for tests that
// must run the card code as another user (an ordinary desktop user reaching
// cards through udisks2) and check the outcome from outside.
//
//   cardprobe BACKEND COMMAND [ARGS...]
//     BACKEND   auto | direct | udisks2
//     backend                          backend=NAME, why=TEXT
//     list                             one "volume=" line per card, fields tab-separated:
//                                      name device label fs size sector mount identity fuse ro
//     read|readu NAME FIRST COUNT      data=HEX (readu: past the cache)
//     write NAME FIRST COUNT SEED      writes the test pattern of SEED
//     checkwritable|unmount NAME
//     mount NAME                       mount=PATH
//     format NAME FS LABEL [IDENTITY]  format=CODE, why=TEXT; without IDENTITY, the card's own now
//     loopsetup IMAGE [ro]             loop=NAME (attached through udisks2)
// A failure prints error=KIND and why=TEXT and exits with 1. Loop devices are
// always listed.
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/cardaccess.h"
#include "platform/udisks.h"
#include "platform/volumes.h"

namespace {

const char* KindName(platform::AccessError e)
{
    switch (e) {
    case platform::AccessError::None:
        return "None";
    case platform::AccessError::NotFound:
        return "NotFound";
    case platform::AccessError::Refused:
        return "Refused";
    case platform::AccessError::ReadOnly:
        return "ReadOnly";
    case platform::AccessError::Io:
        return "Io";
    case platform::AccessError::Unsupported:
        return "Unsupported";
    }
    return "?";
}

int Report(const platform::AccessResult& r)
{
    if (r.ok())
        return 0;
    std::cout << "error=" << KindName(r.error) << "\nwhy=" << r.why << "\n";
    return 1;
}

std::string Hex(const std::vector<unsigned char>& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

int Usage()
{
    std::cerr << "usage: cardprobe auto|direct|udisks2 COMMAND [ARGS...]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return Usage();
    platform::BackendChoice choice;
    if (!platform::ParseBackendChoice(argv[1], &choice))
        return Usage();
    platform::SetIncludeLoop(true);
    std::string why;
    auto access = platform::MakeAccess(choice, &why);
    const std::string cmd = argv[2];
    std::vector<std::string> args(argv + 3, argv + argc);

    if (cmd == "backend") {
        std::cout << "backend=" << access->BackendName() << "\nwhy=" << why << "\n";
        return 0;
    }
    if (cmd == "list") {
        for (const auto& v : access->ListVolumes())
            std::cout << "volume=" << v.name << '\t' << v.device << '\t' << v.label << '\t' << v.fsName << '\t'
                      << v.sizeBytes << '\t' << v.sectorSize << '\t' << v.mountPoint << '\t' << v.identity << '\t'
                      << v.userSpaceMount << '\t' << v.readOnly << "\n";
        return 0;
    }
    if ((cmd == "read" || cmd == "readu") && args.size() == 3) {
        const uint64_t first = std::strtoull(args[1].c_str(), nullptr, 10);
        const uint32_t count = static_cast<uint32_t>(std::strtoul(args[2].c_str(), nullptr, 10));
        std::vector<unsigned char> buf(static_cast<size_t>(count) * 512);
        const auto r = cmd == "read" ? access->ReadSectors(args[0], first, count, buf.data(), buf.size())
                                     : access->ReadSectorsUncached(args[0], first, count, buf.data(), buf.size());
        if (!r.ok())
            return Report(r);
        std::cout << "data=" << Hex(buf) << "\n";
        return 0;
    }
    if (cmd == "write" && args.size() == 4) {
        const uint64_t first = std::strtoull(args[1].c_str(), nullptr, 10);
        const uint32_t count = static_cast<uint32_t>(std::strtoul(args[2].c_str(), nullptr, 10));
        const unsigned seed = static_cast<unsigned>(std::strtoul(args[3].c_str(), nullptr, 10));
        std::vector<unsigned char> buf(static_cast<size_t>(count) * 512);
        for (size_t i = 0; i < buf.size(); ++i)
            buf[i] = static_cast<unsigned char>(seed + i * 7 + (i >> 9));
        return Report(access->WriteSectors(args[0], first, count, buf.data(), buf.size()));
    }
    if (cmd == "checkwritable" && args.size() == 1)
        return Report(access->CheckWritable(args[0]));
    if (cmd == "unmount" && args.size() == 1)
        return Report(access->Unmount(args[0]));
    if (cmd == "mount" && args.size() == 1) {
        std::string where;
        const auto r = access->Mount(args[0], &where);
        if (!r.ok())
            return Report(r);
        std::cout << "mount=" << where << "\n";
        return 0;
    }
    if (cmd == "format" && (args.size() == 3 || args.size() == 4)) {
        std::string identity = args.size() == 4 ? args[3] : std::string();
        platform::Volume now;
        if (args.size() == 3 && access->FindVolume(args[0], &now))
            identity = now.identity;
        const platform::FormatOutcome outcome = access->Format(args[0], identity, args[1], args[2]);
        std::cout << "format=" << outcome.code << "\nwhy=" << outcome.access.why << "\n";
        return outcome.ok() ? 0 : 1;
    }
    if (cmd == "loopsetup" && (args.size() == 1 || (args.size() == 2 && args[1] == "ro"))) {
        std::string loop;
        const auto r = platform::UdisksLoopSetup(args[0], args.size() == 2, &loop);
        if (!r.ok())
            return Report(r);
        std::cout << "loop=" << loop << "\n";
        return 0;
    }
    return Usage();
}
