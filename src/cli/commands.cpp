#include "cli/commands.h"

#include <iostream>

#include "cli/arguments.h"
#include "cli/checkcommand.h"
#include "cli/commandset.h"
#include "cli/target.h"
#include "config/appconfig.h"
#include "platform/cardaccess.h"
#include "platform/volumes.h"

namespace cli {

std::string UsageText()
{
    return "Usage: flintor-cli [GLOBAL OPTIONS] COMMAND [TARGET] [OPTIONS]\n"
           "\n"
           "Commands:\n"
           "  list [--json]                 the cards the window lists, with their markers\n"
           "  show TARGET [--json]          file system, marker places and what they hold,\n"
           "                                CHDK / Magic Lantern bootability, exFAT checksums,\n"
           "                                and the card's content and camera when its files\n"
           "                                are visible\n"
           "  set TARGET --preset ml|chdk|none\n"
           "  set TARGET [--label on|off] [--boot on|off] [--boot-place 0x5C|0x1E0] [--script on|off]\n"
           "                                change the markers as the window's buttons and boxes\n"
           "                                do, then write the boot record; never touches files.\n"
           "                                Refuses a Magic-Lantern-bootable card without\n"
           "                                autoexec.bin unless --yes\n"
           "  install TARGET [--build FILE.zip | --develop NAME | --legacy NAME] [--yes]\n"
           "                                unpack a build onto the card (markers as they are);\n"
           "                                without a build, the one made for the camera of the\n"
           "                                card's newest photos. Refuses a build made for another\n"
           "                                camera or firmware unless --yes\n"
           "  remove TARGET [--yes]         remove the build's files (*.fir, autoexec.bin, *.pdf, ML);\n"
           "                                a card whose markers start Magic Lantern gets them\n"
           "                                cleared first (EOS_DEVELOP and its BOOTDISK)\n"
           "  builds [--legacy] [--json]    the builds of the catalogue\n"
           "  backup TARGET                 keep the boot record in the work folder\n"
           "  backups TARGET [--json]       the kept boot records of this card\n"
           "  restore TARGET [--from FILE]  write back a kept boot record (default: the latest)\n"
           "  check TARGET [--mode read|quick|speed|full] [--json] [--need MB/s|WxHxBITS@FPS] [--yes]\n"
           "                                check the card (default: quick):\n"
           "                                read: read speed and unreadable places (writes nothing)\n"
           "                                quick: real capacity (writes, then puts all back)\n"
           "                                speed: sustained write and read speed, and the verdict\n"
           "                                for RAW recording modes (a test file in the free space,\n"
           "                                or writes and puts back); --need fails a slower card\n"
           "                                full: writes and checks every byte (ERASES the card;\n"
           "                                asks, or --yes)\n"
           "  check [TARGET] --recover      put back the data an interrupted check overwrote\n"
           "\n"
           "TARGET: a listed card's name (sdb1), its device (/dev/sdb1), or a card image file\n"
           "(a bare FAT/exFAT volume, or a whole card with an MBR or GPT partition table).\n"
           "A Save that was cut short (the program stopped, the power gone) is finished or\n"
           "undone first, for every card present and for TARGET; what was done goes to stderr.\n"
           "\n"
           "Global options:\n"
           "  --help, --version\n"
           "  --include-loop                list loop devices too (same as FLINTOR_INCLUDE_LOOP=1)\n"
           "  --partition N                 image: use partition N (default: the first FAT/exFAT one)\n"
           "  --root DIR                    image: where you mounted its volume (for its files)\n"
           "  --catalogue-host HOST[:PORT]  the build-catalogue server (FLINTOR_CATALOGUE_HOST)\n"
           "  --backend auto|direct|udisks2 how cards are reached: udisks2 (no root; polkit decides),\n"
           "                                direct device access (root or the disk group), or auto:\n"
           "                                udisks2 when it runs (FLINTOR_BACKEND)\n"
           "\n"
           "Exit status: 0 done, 1 failed (nothing written unless the whole command could be done),\n"
           "2 bad command line; check: 0 the card passed, 3 the card failed the check, 1 the check\n"
           "could not be done.\n";
}

int Run(const std::vector<std::string>& arguments)
{
    Args args;
    std::string error;
    if (!ParseArgs(arguments, &args, &error))
        return Usage(error);
    if (args.flags.count("--help")) {
        std::cout << UsageText();
        return ExitOk;
    }
    if (args.flags.count("--version")) {
        std::cout << appconfig::kVersionTitle << "\n";
        return ExitOk;
    }
    if (args.command.empty())
        return Usage("No command given");
    if (const std::string wrong = CheckOptions(args); !wrong.empty())
        return Usage(wrong);

    if (args.Has("--backend")) {
        if (!platform::ParseBackendChoice(args.Value("--backend"), &Backend()))
            return Usage("--backend needs auto, direct or udisks2");
        std::string why;
        platform::SetCards(platform::MakeAccess(Backend(), &why));
    }

    if (args.Has("--catalogue-host") &&
        !appconfig::ValidCatalogueHost(QString::fromStdString(args.Value("--catalogue-host"))))
        return Usage("--catalogue-host needs HOST[:PORT] or a base address http(s)://HOST[:PORT][/PATH]");
    platform::SetIncludeLoop(args.flags.count("--include-loop") || appconfig::IncludeLoopFromEnvironment());

    const std::string& c = args.command;
    if (c != "builds")
        RecoverPresentCards();
    if (!args.Has("--recover")) {
        // Quietly: a trouble with the work folder is told where it is used.
        NoteInterruptedChecks(WorkFolder());
    }
    if (c == "check")
        return Check(args);
    if (c == "list")
        return List(args);
    if (c == "show")
        return Show(args);
    if (c == "set")
        return Set(args);
    if (c == "install")
        return Install(args);
    if (c == "remove")
        return Remove(args);
    if (c == "builds")
        return Builds(args);
    if (c == "backup")
        return Backup(args);
    if (c == "backups")
        return Backups(args);
    return Restore(args);
}

}  // namespace cli
