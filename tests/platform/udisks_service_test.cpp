// The card backends run as an ordinary user (not root, not in "disk") against
// loop cards, with a real system bus, udev, polkit and udisks2 around them.
//
// Run through tests/support/desktopservices.sh, which starts the services,
// creates the user and the polkit rules and removes all of it afterwards. This
// binary runs as root: it makes the cards and checks their bytes, and runs
// each card operation as the user through cardprobe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "platform/cardaccess.h"
#include "support/desktopservices.h"
#include "support/loopcard.h"

namespace {

namespace fs = std::filesystem;

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

// What one cardprobe run printed: key=value lines (several "volume=" lines).
struct Probe {
    int rc = -1;
    std::string output;
    std::multimap<std::string, std::string> values;
    std::string Get(const std::string& key) const
    {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
};

Probe RunAsUser(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {FLINTOR_CARDPROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    Probe p;
    p.rc = testsupport::RunAsDesktopUser(argv, &p.output);
    std::istringstream in(p.output);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos && eq > 0)
            p.values.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return p;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> out;
    std::string f;
    std::istringstream in(line);
    while (std::getline(in, f, '\t'))
        out.push_back(f);
    if (!line.empty() && line.back() == '\t')
        out.push_back("");
    return out;
}

// The listed fields of one card, empty when the listing lacks it.
std::vector<std::string> Listed(const std::string& backend, const std::string& name)
{
    const Probe p = RunAsUser({backend, "list"});
    auto range = p.values.equal_range("volume");
    for (auto it = range.first; it != range.second; ++it) {
        auto f = Fields(it->second);
        if (!f.empty() && f[0] == name)
            return f;
    }
    return {};
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::vector<uint8_t> Pattern(size_t n, unsigned seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
    return v;
}

bool WaitFor(const std::function<bool()>& done, int seconds = 15)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return done();
}

// Loop devices set up by root are system devices to udisks2 (HintSystem); a
// udev rule makes the test's own cards ordinary removable ones, as a card in
// a reader is.
class UserCards : public ::testing::Test {
protected:
    void TearDown() override
    {
        std::error_code ec;
        fs::remove(Env("FLINTOR_DENY_RULE"), ec);
    }

    // Marks the cards as ordinary ones and waits until the user's listing shows them.
    bool MakeUserCards(const std::vector<const testsupport::LoopCard*>& cards)
    {
        std::vector<std::string> names;
        for (const auto* c : cards)
            names.push_back(c->diskDevice().substr(c->diskDevice().rfind('/') + 1));
        if (!udisksCards_.Add(names)) {
            ADD_FAILURE() << udisksCards_.error();
            return false;
        }
        return WaitFor([&] {
            for (const auto* c : cards)
                if (Listed("udisks2", c->name()).empty())
                    return false;
            return true;
        });
    }

    void Deny(bool on)
    {
        const std::string path = Env("FLINTOR_DENY_RULE");
        if (on) {
            std::ofstream(path) << "polkit.addRule(function(action, subject) {\n"
                                   "    if (subject.user == \""
                                << testsupport::DesktopUser()
                                << "\" && action.id.indexOf(\"org.freedesktop.udisks2.open-device\") == 0)\n"
                                   "        return polkit.Result.NO;\n});\n";
        } else {
            std::error_code ec;
            fs::remove(path, ec);
        }
    }

    testsupport::UdisksCards udisksCards_;
};

TEST_F(UserCards, ListsTheCardAsTheDirectBackendDoesAndNoSystemLoop)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    testsupport::LoopCard card, systemLoop;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "EOS_DIGITAL"})) << card.error();
    ASSERT_TRUE(systemLoop.Create({.fsType = "exFAT", .label = "SYSTEM"})) << systemLoop.error();
    ASSERT_TRUE(MakeUserCards({&card}));

    const auto f = Listed("udisks2", card.name());
    ASSERT_EQ(f.size(), 10u);
    // The same fields root's direct backend gives for the card.
    platform::SetIncludeLoop(true);
    platform::Volume direct;
    ASSERT_TRUE(platform::MakeDirectAccess()->FindVolume(card.name(), &direct));
    platform::SetIncludeLoop(false);
    EXPECT_EQ(f[1], card.device());
    EXPECT_EQ(f[2], "EOS_DIGITAL");
    EXPECT_EQ(f[3], "FAT32");
    EXPECT_EQ(f[4], std::to_string(card.volumeSize()));
    EXPECT_EQ(f[5], "512");
    EXPECT_EQ(f[6], "");
    EXPECT_EQ(f[7], direct.identity);
    EXPECT_EQ(f[8], "0");
    EXPECT_EQ(f[9], "0");

    // HintSystem: root's own loop device stays out.
    EXPECT_TRUE(Listed("udisks2", systemLoop.name()).empty());

    // A card mounted by a file system in user space: udisks2 knows no mount
    // point, the mount table does.
    ASSERT_TRUE(card.Mount()) << card.error();
    const auto m = Listed("udisks2", card.name());
    ASSERT_EQ(m.size(), 10u);
    EXPECT_EQ(m[6], card.mountPoint());
    EXPECT_EQ(m[8], "1");
}

// A card with a partition table: its partition is the card, as with the
// direct backend, never the whole disk.
TEST_F(UserCards, PartitionedCardListsItsPartition)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "exFAT", .label = "PARTED", .partitioned = true})) << card.error();
    ASSERT_TRUE(MakeUserCards({&card}));
    const auto f = Listed("udisks2", card.name());
    ASSERT_EQ(f.size(), 10u);
    EXPECT_EQ(f[2], "PARTED");
    EXPECT_EQ(f[4], std::to_string(card.volumeSize()));
    const std::string disk = card.diskDevice().substr(card.diskDevice().rfind('/') + 1);
    EXPECT_TRUE(Listed("udisks2", disk).empty());
    const Probe p = RunAsUser({"udisks2", "read", card.name(), "0", "1"});
    ASSERT_EQ(p.rc, 0) << p.output;
    EXPECT_TRUE(p.Get("data") == Hex(card.ReadImage(0, 512))) << "data differ";
}

TEST_F(UserCards, ReadsWritesAndReadsBackPastTheCache)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "exFAT", .label = "CARD"})) << card.error();
    ASSERT_TRUE(MakeUserCards({&card}));

    Probe p = RunAsUser({"udisks2", "read", card.name(), "0", "24"});
    ASSERT_EQ(p.rc, 0) << p.output;
    EXPECT_TRUE(p.Get("data") == Hex(card.ReadImage(0, 24 * 512))) << "data differ";

    p = RunAsUser({"udisks2", "write", card.name(), "40", "3", "49"});
    ASSERT_EQ(p.rc, 0) << p.output;
    const auto data = Pattern(3 * 512, 49);
    EXPECT_EQ(card.ReadImage(40 * 512, data.size()), data);
    EXPECT_EQ(card.ReadImage(39 * 512, 512), card.ReadDevice(39 * 512, 512));

    // Changed behind the cache's back (in the image file): only an uncached
    // read sees the new bytes. The device's cache lives as long as someone
    // holds it open, so this test does, with the range cached.
    const int holder = ::open(card.device().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    std::vector<uint8_t> cached(3 * 512);
    ASSERT_EQ(::pread(holder, cached.data(), cached.size(), 40 * 512), static_cast<ssize_t>(cached.size()));
    {
        std::fstream image(card.imagePath(), std::ios::in | std::ios::out | std::ios::binary);
        image.seekp(static_cast<std::streamoff>(card.volumeOffset() + 41 * 512));
        const std::string marker(512, 'Z');
        image.write(marker.data(), static_cast<std::streamsize>(marker.size()));
    }
    p = RunAsUser({"udisks2", "read", card.name(), "40", "3"});
    ASSERT_EQ(p.rc, 0) << p.output;
    EXPECT_TRUE(p.Get("data") == Hex(data)) << "data differ";  // the cache still has the old bytes
    p = RunAsUser({"udisks2", "readu", card.name(), "40", "3"});
    ASSERT_EQ(p.rc, 0) << p.output;
    auto expected = data;
    std::fill(expected.begin() + 512, expected.begin() + 1024, 'Z');
    EXPECT_TRUE(p.Get("data") == Hex(expected)) << "data differ";
    ::close(holder);

    // Outside the card: a failure, not a short read.
    const std::string past = std::to_string(card.volumeSize() / 512 - 1);
    p = RunAsUser({"udisks2", "read", card.name(), past, "2"});
    EXPECT_EQ(p.rc, 1) << p.output;
    EXPECT_EQ(p.Get("error"), "Io");
    EXPECT_EQ(RunAsUser({"udisks2", "checkwritable", card.name()}).rc, 0);
}

TEST_F(UserCards, MountsUnmountsAndFormats)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    testsupport::LoopCard card, small;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "OLDNAME", .sizeBytes = 600ull << 20})) << card.error();
    ASSERT_TRUE(small.Create({.fsType = "exFAT", .label = "SMALL"})) << small.error();
    ASSERT_TRUE(MakeUserCards({&card, &small}));

    Probe p = RunAsUser({"udisks2", "mount", card.name()});
    ASSERT_EQ(p.rc, 0) << p.output;
    const std::string where = p.Get("mount");
    EXPECT_EQ(where.rfind("/media/" + testsupport::DesktopUser() + "/", 0), 0u) << where;
    EXPECT_EQ(Listed("udisks2", card.name()).at(6), where);
    // Mounting again says where it already is.
    p = RunAsUser({"udisks2", "mount", card.name()});
    EXPECT_EQ(p.Get("mount"), where) << p.output;

    p = RunAsUser({"udisks2", "unmount", card.name()});
    ASSERT_EQ(p.rc, 0) << p.output;
    EXPECT_EQ(Listed("udisks2", card.name()).at(6), "");
    EXPECT_FALSE(fs::exists(where + "/."));

    // Format: mounted first, so the unmount is part of it. A medium other
    // than the one named is refused and left as it is.
    ASSERT_EQ(RunAsUser({"udisks2", "mount", card.name()}).rc, 0);
    p = RunAsUser({"udisks2", "format", card.name(), "exFAT", "NEWCARD", "7:0:0:another"});
    EXPECT_EQ(p.Get("format"), std::to_string(platform::FormatError)) << p.output;
    EXPECT_EQ(Listed("udisks2", card.name()).at(2), "OLDNAME");
    p = RunAsUser({"udisks2", "format", card.name(), "exFAT", "NEWCARD"});
    ASSERT_EQ(p.rc, 0) << p.output;
    EXPECT_EQ(p.Get("format"), "0");
    std::string out;
    EXPECT_EQ(testsupport::RunCommand({"fsck.exfat", "-n", card.device()}, &out), 0) << out;
    auto f = Listed("udisks2", card.name());
    ASSERT_EQ(f.size(), 10u);
    EXPECT_EQ(f[2], "NEWCARD");
    EXPECT_EQ(f[3], "exFAT");

    p = RunAsUser({"udisks2", "format", card.name(), "FAT32", "EOS_DIGITAL"});
    ASSERT_EQ(p.rc, 0) << p.output;
    EXPECT_EQ(testsupport::RunCommand({"fsck.fat", "-n", card.device()}, &out), 0) << out;
    f = Listed("udisks2", card.name());
    ASSERT_EQ(f.size(), 10u);
    EXPECT_EQ(f[2], "EOS_DIGITAL");
    EXPECT_EQ(f[3], "FAT32");

    // A card too small for FAT32 where udisks2 lets mkfs choose: not a success.
    p = RunAsUser({"udisks2", "format", small.name(), "FAT32", "SMALL"});
    EXPECT_EQ(p.rc, 1) << p.output;
    EXPECT_EQ(p.Get("format"), std::to_string(platform::FormatError)) << p.output;
    EXPECT_NE(p.Get("why").find("instead of FAT32"), std::string::npos) << p.output;

    // Not a card the listing shows: not formatable, and nothing happens.
    p = RunAsUser({"udisks2", "format", "sda", "FAT32", "X"});
    EXPECT_EQ(p.Get("format"), std::to_string(platform::FormatNotFormatable)) << p.output;
}

// The whole Magic Lantern round as an ordinary user: the card is mounted by
// udisks2 for the build's files, made bootable, shown, and cleared again.
TEST_F(UserCards, MagicLanternBuildOnAndOffWithoutRoot)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "EOS_DIGITAL"})) << card.error();
    ASSERT_TRUE(MakeUserCards({&card}));
    // A build the user can read.
    char folder[] = "/tmp/flintor-build-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    ::chmod(folder, 0755);
    const std::string src = std::string(folder) + "/src";
    fs::create_directories(src + "/ML/MODULES");
    std::ofstream(src + "/autoexec.bin") << std::string(20000, 'a');
    std::ofstream(src + "/ML/MODULES/X.MO") << "module";
    const std::string zip = std::string(folder) + "/build.zip";
    ASSERT_EQ(testsupport::RunCommand(
                  {"sh", "-c", "cd '" + src + "' && zip -q -r -X '" + zip + "' . && chmod 644 '" + zip + "'"}),
              0);

    const auto cli = [&](std::vector<std::string> args, std::string* out) {
        args.insert(args.begin(), {FLINTOR_CLI, "--backend", "udisks2", "--include-loop"});
        return testsupport::RunAsDesktopUser(args, out);
    };
    std::string out;
    ASSERT_EQ(cli({"install", card.name(), "--build", zip}, &out), 0) << out;
    ASSERT_EQ(cli({"set", card.name(), "--preset", "ml"}, &out), 0) << out;
    const std::vector<uint8_t> sector = card.ReadDevice(0, 512);
    ASSERT_EQ(sector.size(), 512u);
    EXPECT_EQ(std::string(sector.begin() + 0x47, sector.begin() + 0x52), "EOS_DEVELOP");
    EXPECT_EQ(std::string(sector.begin() + 0x5C, sector.begin() + 0x64), "BOOTDISK");
    ASSERT_EQ(cli({"show", card.name(), "--json"}, &out), 0) << out;
    EXPECT_NE(out.find("\"magicLanternBootable\": true"), std::string::npos) << out;
    // The build is on the card, whole (root looks with a mount of its own).
    ASSERT_TRUE(card.Mount()) << card.error();
    EXPECT_EQ(fs::file_size(card.mountPoint() + "/autoexec.bin"), 20000u);
    EXPECT_TRUE(fs::exists(card.mountPoint() + "/ML/MODULES/X.MO"));
    ASSERT_TRUE(card.Unmount()) << card.error();

    // Off again: markers cleared, files removed.
    ASSERT_EQ(cli({"set", card.name(), "--preset", "none"}, &out), 0) << out;
    ASSERT_EQ(cli({"remove", card.name(), "--yes"}, &out), 0) << out;
    const std::vector<uint8_t> cleared = card.ReadDevice(0, 512);
    EXPECT_EQ(std::string(cleared.begin() + 0x47, cleared.begin() + 0x52), std::string(11, ' '));
    ASSERT_TRUE(card.Mount()) << card.error();
    EXPECT_FALSE(fs::exists(card.mountPoint() + "/autoexec.bin"));
    EXPECT_FALSE(fs::exists(card.mountPoint() + "/ML"));
    ASSERT_TRUE(card.Unmount()) << card.error();
    // fsck.fat only notes the label place the marker took.
    EXPECT_LE(testsupport::RunCommand({"fsck.fat", "-n", card.device()}, &out), 1) << out;
    fs::remove_all(folder);
}

TEST_F(UserCards, PolicyRefusalIsSaidAndLeavesTheCardAlone)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "EOS_DIGITAL"})) << card.error();
    ASSERT_TRUE(MakeUserCards({&card}));
    const auto before = card.ReadImage(0, card.volumeSize());
    ASSERT_EQ(before.size(), card.volumeSize());

    Deny(true);
    // polkit reads its rules again when the folder changes.
    ASSERT_TRUE(WaitFor([&] { return RunAsUser({"udisks2", "checkwritable", card.name()}).rc == 1; }));

    Probe p = RunAsUser({"udisks2", "write", card.name(), "0", "1", "7"});
    EXPECT_EQ(p.rc, 1);
    EXPECT_EQ(p.Get("error"), "Refused") << p.output;
    EXPECT_EQ(p.Get("why"), "You are not allowed to open " + card.name() +
                                ": the system's policy refused it. Ask an administrator, or run Flintor with direct "
                                "access as a member of the disk group.");
    p = RunAsUser({"udisks2", "read", card.name(), "0", "24"});
    EXPECT_EQ(p.Get("error"), "Refused") << p.output;
    EXPECT_EQ(p.Get("data"), "");
    // Still listed: the user sees the card and is told why it cannot be used.
    EXPECT_FALSE(Listed("udisks2", card.name()).empty());
    EXPECT_TRUE(card.ReadImage(0, card.volumeSize()) == before);

    Deny(false);
    EXPECT_TRUE(WaitFor([&] { return RunAsUser({"udisks2", "checkwritable", card.name()}).rc == 0; }));
}

// Without udisks2 rights and without rights on the device node, the direct
// backend still lists the card (file system and label from the udev database)
// and refuses the transfer with a reason.
TEST_F(UserCards, DirectAccessAsOrdinaryUserListsButCannotOpen)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "EOS_DIGITAL"})) << card.error();
    ASSERT_TRUE(MakeUserCards({&card}));

    const auto f = Listed("direct", card.name());
    ASSERT_EQ(f.size(), 10u) << RunAsUser({"direct", "list"}).output;
    EXPECT_EQ(f[2], "EOS_DIGITAL");
    EXPECT_EQ(f[3], "FAT32");
    EXPECT_EQ(f[4], std::to_string(card.volumeSize()));
    const Probe p = RunAsUser({"direct", "read", card.name(), "0", "24"});
    EXPECT_EQ(p.rc, 1);
    EXPECT_EQ(p.Get("error"), "Refused") << p.output;
    EXPECT_EQ(p.Get("why"), "You are not allowed to open " + card.name() + ": you have no rights on " + card.device() +
                                ". Install udisks2 to reach cards as a desktop user, or ask an administrator to add "
                                "you to the disk group.");
}

}  // namespace

namespace {

// A loop device the test attached, detached again by its name.
struct AttachedLoop {
    std::string name;
    ~AttachedLoop()
    {
        if (!name.empty())
            testsupport::RunCommand({"losetup", "-d", "/dev/" + name});
    }
};

// An image of the user's own, attached through udisks2 without root: listed
// as a card (no system device), and read-only when asked for.
// An image file's files through udisks2: the command line attaches and mounts
// it for the build, detaches it again, and writes the boot record in place.
TEST(UserImages, BuildInstalledOntoAnImageWithoutRoot)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    char tmpl[] = "/tmp/flintor-imgbuildXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string image = dir + "/card.img";
    std::string out;
    ASSERT_EQ(testsupport::RunCommand({"truncate", "-s", "48M", image}, &out), 0) << out;
    ASSERT_EQ(testsupport::RunCommand({"mkfs.fat", "-F", "32", "-n", "EOS_DIGITAL", image}, &out), 0) << out;
    fs::create_directories(dir + "/src/ML");
    std::ofstream(dir + "/src/autoexec.bin") << std::string(5000, 'b');
    std::ofstream(dir + "/src/ML/A.TXT") << "a";
    ASSERT_EQ(testsupport::RunCommand({"sh", "-c", "cd '" + dir + "/src' && zip -q -r -X ../build.zip ."}, &out), 0)
        << out;
    ASSERT_EQ(testsupport::RunCommand({"chown", "-R", testsupport::DesktopUser(), dir}, &out), 0) << out;
    ::chmod(dir.c_str(), 0755);
    const auto cli = [&](std::vector<std::string> args, std::string* text) {
        args.insert(args.begin(), {FLINTOR_CLI, "--backend", "udisks2"});
        return testsupport::RunAsDesktopUser(args, text);
    };
    ASSERT_EQ(cli({"install", image, "--build", dir + "/build.zip"}, &out), 0) << out;
    ASSERT_EQ(cli({"set", image, "--preset", "ml"}, &out), 0) << out;
    EXPECT_EQ(out.find("could not check"), std::string::npos) << "the image's files were not seen: " << out;
    // Nothing stays attached, and the markers are in the file.
    ASSERT_EQ(testsupport::RunCommand({"losetup", "-j", image}, &out), 0);
    EXPECT_EQ(out, "") << "a loop device still serves the image";
    std::ifstream in(image, std::ios::binary);
    std::string sector(512, '\0');
    in.read(sector.data(), 512);
    EXPECT_EQ(sector.substr(0x47, 11), "EOS_DEVELOP");
    EXPECT_EQ(sector.substr(0x5C, 8), "BOOTDISK");
    // The build is in the image (looked at through a mount of root's own).
    const std::string mnt = dir + "/mnt";
    fs::create_directories(mnt);
    ASSERT_EQ(testsupport::RunCommand({"fusefat", "-o", "ro", image, mnt}, &out), 0) << out;
    bool found = false;
    for (const auto& e : fs::directory_iterator(mnt))
        found = found || e.path().filename() == "autoexec.bin" || e.path().filename() == "AUTOEXEC.BIN";
    testsupport::RunCommand({"fusermount", "-u", mnt});
    EXPECT_TRUE(found);
    fs::remove_all(dir);
}

TEST(UserImages, AttachedThroughUdisksAreCards)
{
    FLINTOR_REQUIRE_DESKTOP_SERVICES();
    char tmpl[] = "/tmp/flintor-imageXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string image = dir + "/card.img";
    std::string out;
    ASSERT_EQ(testsupport::RunCommand({"truncate", "-s", "48M", image}, &out), 0) << out;
    ASSERT_EQ(testsupport::RunCommand({"mkfs.exfat", "-L", "MYIMAGE", image}, &out), 0) << out;
    ASSERT_EQ(testsupport::RunCommand({"chown", "-R", testsupport::DesktopUser(), dir}, &out), 0) << out;
    ::chmod(dir.c_str(), 0755);

    for (const bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly ? "read-only" : "read-write");
        std::vector<std::string> args = {"udisks2", "loopsetup", image};
        if (readOnly)
            args.push_back("ro");
        Probe p = RunAsUser(args);
        ASSERT_EQ(p.rc, 0) << p.output;
        AttachedLoop loop{p.Get("loop")};
        ASSERT_EQ(loop.name.rfind("loop", 0), 0u) << p.output;
        // Attached once only: a second loop device would mount it twice.
        const Probe again = RunAsUser({"udisks2", "loopsetup", image});
        EXPECT_EQ(again.Get("error"), "Unsupported") << again.output;
        EXPECT_NE(again.Get("why").find("/dev/" + loop.name), std::string::npos) << again.output;
        AttachedLoop extra{again.Get("loop")};

        std::vector<std::string> f;
        ASSERT_TRUE(WaitFor([&] { return (f = Listed("udisks2", loop.name)).size() == 10; }));
        EXPECT_EQ(f[2], "MYIMAGE");
        EXPECT_EQ(f[3], "exFAT");
        EXPECT_EQ(f[4], std::to_string(48ull << 20));
        EXPECT_EQ(f[9], readOnly ? "1" : "0");

        p = RunAsUser({"udisks2", "write", loop.name, "30", "1", "5"});
        if (readOnly) {
            EXPECT_EQ(p.Get("error"), "ReadOnly") << p.output;
        } else {
            ASSERT_EQ(p.rc, 0) << p.output;
            std::ifstream in(image, std::ios::binary);
            in.seekg(30 * 512);
            std::vector<uint8_t> back(512);
            in.read(reinterpret_cast<char*>(back.data()), 512);
            EXPECT_TRUE(back == Pattern(512, 5)) << "the write did not reach the image";
        }
    }
    // Not a file the user may open: refused before udisks2 is asked.
    const Probe p = RunAsUser({"udisks2", "loopsetup", "/etc/shadow"});
    EXPECT_EQ(p.Get("error"), "Refused") << p.output;
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
