#include "support/desktopservices.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

const char* const kRule = "/run/udev/rules.d/61-flintor-udisks-cards.rules";

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Whether udisks2 calls the block device a system one ("true"), an ordinary
// one ("false"), or does not know it ("").
std::string HintSystem(const std::string& name)
{
    std::string out;
    const int rc = RunCommand({"dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.UDisks2",
                               "/org/freedesktop/UDisks2/block_devices/" + name, "org.freedesktop.DBus.Properties.Get",
                               "string:org.freedesktop.UDisks2.Block", "string:HintSystem"},
                              &out);
    if (rc != 0)
        return {};
    if (out.find("boolean true") != std::string::npos)
        return "true";
    if (out.find("boolean false") != std::string::npos)
        return "false";
    return {};
}

void WriteRule(const std::vector<std::string>& names)
{
    std::error_code ec;
    if (names.empty()) {
        fs::remove(kRule, ec);
    } else {
        fs::create_directories(fs::path(kRule).parent_path(), ec);
        std::string match;
        for (const auto& n : names)
            match += (match.empty() ? "" : "|") + n + "|" + n + "p[0-9]*";
        std::ofstream(kRule) << "KERNEL==\"" << match << "\", ENV{UDISKS_SYSTEM}=\"0\"\n";
    }
    RunCommand({"udevadm", "control", "--reload"});
}

}  // namespace

std::string RequireDesktopServices()
{
    std::string reason = RequireLoopAndFuse();
    if (!reason.empty())
        return reason;
    if (DesktopUser().empty() || Env("DBUS_SYSTEM_BUS_ADDRESS").empty())
        return "run through tests/support/desktopservices.sh (system bus, udev, polkit, udisks2)";
    return {};
}

std::string DesktopUser()
{
    return Env("FLINTOR_TEST_USER");
}

int RunAsDesktopUser(const std::vector<std::string>& argv, std::string* output,
                     const std::vector<std::string>& environment)
{
    if (DesktopUser().empty())
        return -1;
    std::vector<std::string> all = {"runuser", "-u",  DesktopUser(),
                                    "--",      "env", "DBUS_SYSTEM_BUS_ADDRESS=" + Env("DBUS_SYSTEM_BUS_ADDRESS")};
    all.insert(all.end(), environment.begin(), environment.end());
    all.insert(all.end(), argv.begin(), argv.end());
    return RunCommand(all, output);
}

UdisksCards::~UdisksCards()
{
    if (!names_.empty())
        WriteRule({});
}

bool UdisksCards::Add(const std::vector<std::string>& loopNames)
{
    names_.insert(names_.end(), loopNames.begin(), loopNames.end());
    WriteRule(names_);
    std::vector<std::string> devices;
    for (const auto& n : loopNames) {
        devices.push_back(n);
        std::error_code ec;
        for (fs::directory_iterator it("/sys/block/" + n, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string part = it->path().filename().string();
            if (part.rfind(n + "p", 0) == 0)
                devices.push_back(part);
        }
    }
    // A change event makes udev apply the rule, and udisks2 read it again.
    // A device that was just attached may still have its own events queued,
    // and udisks2 can take the change before the rule is in force: when the
    // hint has not turned after a while, the event is sent again.
    auto trigger = [](const std::string& n) {
        RunCommand({"udevadm", "trigger", "--action=change", "/dev/" + n});
        RunCommand({"udevadm", "settle", "--timeout=20"});
    };
    for (const auto& n : devices)
        trigger(n);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (const auto& n : devices) {
        auto retrigger = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (HintSystem(n) != "false") {
            const auto now = std::chrono::steady_clock::now();
            if (now > end) {
                error_ = "udisks2 still calls " + n + " a system device";
                return false;
            }
            if (now > retrigger) {
                std::cerr << "udisks2 still calls " << n << " a system device; sending the change event again\n";
                trigger(n);
                retrigger = now + std::chrono::seconds(3);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    return true;
}

}  // namespace testsupport
