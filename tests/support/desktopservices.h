// Helpers for tests that run under tests/support/desktopservices.sh (a system
// bus, udev, polkit and udisks2 started for the test, and an ordinary user):
//
//   FLINTOR_REQUIRE_DESKTOP_SERVICES();          // skip (or fail in CI) without them
//   testsupport::LoopCard card;  ... card.Create(...)
//   testsupport::UdisksCards cards;
//   ASSERT_TRUE(cards.Add({card.name()})) << cards.error();   // udisks2 offers it to the user
//   std::string out;
//   testsupport::RunAsDesktopUser({"/path/to/program", "--backend", "udisks2"}, &out);
//
// Link: flintor_testsupport.
#pragma once

#include <string>
#include <vector>

#include "support/loopcard.h"

namespace testsupport {

// Empty when desktopservices.sh runs this test (as root, with its user and
// system bus) and loop devices work; else the reason.
std::string RequireDesktopServices();

// The ordinary user desktopservices.sh created (not root, not in "disk").
std::string DesktopUser();

// Runs argv as that user, with the started system bus's address and the
// given extra "NAME=VALUE" variables; output of both streams in *output.
// Returns the exit status, -1 when it could not run.
int RunAsDesktopUser(const std::vector<std::string>& argv, std::string* output = nullptr,
                     const std::vector<std::string>& environment = {});

// udisks2 takes loop devices that root attached for system devices and keeps
// them from the user. This marks the test's own loop cards (and their
// partitions) as ordinary removable cards with a udev rule, as a card in a
// reader is, and waits until udisks2 says so. The rule goes with the object.
class UdisksCards {
public:
    UdisksCards() = default;
    ~UdisksCards();
    UdisksCards(const UdisksCards&) = delete;
    UdisksCards& operator=(const UdisksCards&) = delete;

    // Kernel names of whole loop devices ("loop3"); false (with error()) when
    // udisks2 did not take them for ordinary cards within 15 seconds.
    bool Add(const std::vector<std::string>& loopNames);
    const std::string& error() const { return error_; }

private:
    std::vector<std::string> names_;
    std::string error_;
};

}  // namespace testsupport

// Skips the test with the reason, or fails it in CI, unless it runs under
// tests/support/desktopservices.sh with loop devices and FUSE at hand.
#define FLINTOR_REQUIRE_DESKTOP_SERVICES()                                                                             \
    do {                                                                                                               \
        const std::string flintorReason_ = ::testsupport::RequireDesktopServices();                                    \
        if (!flintorReason_.empty()) {                                                                                 \
            if (::testsupport::InCI()) {                                                                               \
                FAIL() << "CI needs the desktop services: " << flintorReason_;                                         \
            } else {                                                                                                   \
                GTEST_SKIP() << flintorReason_;                                                                        \
            }                                                                                                          \
        }                                                                                                              \
    } while (0)
