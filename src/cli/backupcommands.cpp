// flintor-cli backup, backups and restore: the card's boot region kept in
// the work folder and written back.
#include <QJsonArray>
#include <QJsonObject>

#include <iostream>

#include "cardops/savesequence.h"
#include "cli/commands.h"
#include "cli/commandset.h"
#include "cli/target.h"
#include "platform/cardaccess.h"

namespace cli {

int Backup(const Args& args)
{
    Card card;
    std::string name;
    if (const int rc = OpenTarget(args, &card, &name))
        return rc;
    const std::string workFolder = WorkFolder();
    std::string path, why;
    if (workFolder.empty() || !cardops::KeepBackup(workFolder, card.volume, card.region, &path, &why))
        return Fail("No backup was kept: " + (why.empty() ? std::string("no private work folder") : why));
    std::cout << path << "\n";
    return ExitOk;
}

int Backups(const Args& args)
{
    Card card;
    std::string name;
    if (const int rc = OpenTarget(args, &card, &name))
        return rc;
    const std::string workFolder = WorkFolder();
    const auto backups = cardops::ListBackups(workFolder, card.volume, card.region);
    if (args.Has("--json")) {
        QJsonArray all;
        for (const cardops::BackupInfo& b : backups) {
            QJsonObject o;
            o["path"] = Q(b.path);
            o["time"] = Q(b.time);
            o["description"] = Q(b.description);
            all.append(o);
        }
        PrintJson(all);
        return ExitOk;
    }
    if (backups.empty())
        Note("No backup of " + name + "'s boot record.");
    for (const cardops::BackupInfo& b : backups)
        std::cout << b.time << "  " << b.path << "  " << b.description << "\n";
    return ExitOk;
}

int Restore(const Args& args)
{
    Card card;
    std::string name;
    if (const int rc = OpenTarget(args, &card, &name))
        return rc;
    const std::string workFolder = WorkFolder();
    std::string from = args.Value("--from");
    if (from.empty()) {
        const auto backups = cardops::ListBackups(workFolder, card.volume, card.region);
        if (backups.empty())
            return Fail("No backup of " + name + "'s boot record to restore. Nothing was written.");
        from = backups.back().path;
    }
    cardops::Region region{};
    std::string why;
    if (!cardops::ReadBackup(from, &region, &why))
        return Fail(why + ". Nothing was written.");
    Note("Restoring " + from);
    return Saved(cardops::Restore(platform::Cards(), name, card.volume.identity, card.state.layoutIndex, region,
                                  workFolder, Hooks()),
                 "Boot record restored. Write succesful");
}

}  // namespace cli
