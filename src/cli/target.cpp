#include "cli/target.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cardops/cardload.h"
#include "cardops/recovery.h"
#include "cli/commands.h"
#include "core/printable.h"
#include "platform/cardaccess.h"
#include "platform/images.h"
#include "platform/terminal.h"
#include "platform/workfolder.h"

namespace fs = std::filesystem;

namespace cli {

std::string WorkFolder()
{
    // The window's own folder: catalogues, archives, backups and journals are
    // shared. Made (and its note shown) once per run.
    static const std::string folder = [] {
        std::string note;
        const std::string made = platform::MakeWorkFolder(1, "flintor", &note);
        if (!note.empty())
            Note(note);
        return made;
    }();
    return folder;
}

// A Save of the card that was cut short is finished or undone, and the user
// is told what was done.
void RecoverCard(const std::string& name)
{
    const cardops::RecoveryReport report = cardops::Recover(platform::Cards(), WorkFolder(), name);
    if (report.found)
        Note(report.message);
}

void RecoverPresentCards()
{
    for (const cardops::RecoveryReport& report : cardops::RecoverAll(platform::Cards(), WorkFolder()))
        Note(report.message);
}

// Finds the target among the listed cards, by name or device path, or makes
// the image file it names a card. Usage errors go to *usage.
bool ResolveTarget(const Args& args, const std::string& target, std::string* name, std::string* error, bool* usage)
{
    *usage = false;
    int partition = 0;
    if (args.Has("--partition")) {
        const std::string v = args.Value("--partition");
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end != '\0' || n < 1 || n > 128) {
            *error = "--partition takes a number from 1";
            *usage = true;
            return false;
        }
        partition = static_cast<int>(n);
    }
    std::error_code statError;
    const fs::file_status st = fs::status(target, statError);
    const bool exists = fs::exists(st);
    const bool isFile = target.find('/') != std::string::npos || exists;
    if (isFile && fs::is_regular_file(st)) {
        platform::ImageSpec wanted;
        wanted.path = fs::absolute(target).lexically_normal().string();
        wanted.partition = partition;
        wanted.root = args.Value("--root");
        if (!wanted.root.empty() && !fs::is_directory(wanted.root)) {
            *error = "--root " + wanted.root + " is not a folder";
            *usage = true;
            return false;
        }
        std::string why;
        std::string backend;
        auto cards = platform::WithImages(platform::MakeAccess(Backend(), &backend), {wanted}, &why);
        if (!cards) {
            *error = why;
            return false;
        }
        for (const platform::Volume& v : cards->ListVolumes())
            if (v.device == wanted.path)
                *name = v.name;
        platform::SetCards(std::move(cards));
        if (name->empty())
            *error = "Cannot read " + wanted.path;
        return !name->empty();
    }
    if (args.Has("--partition") || args.Has("--root")) {
        *error = "--partition and --root apply to image files only";
        *usage = true;
        return false;
    }
    if (isFile && !exists) {
        *error = "No such card or image: " + target;
        return false;
    }
    for (const platform::Volume& v : platform::Cards().ListVolumes()) {
        if (v.name == target || v.device == target) {
            *name = v.name;
            return true;
        }
    }
    if (isFile && fs::is_block_file(st)) {
        std::error_code ec;
        const fs::path real = fs::canonical(target, ec);
        for (const platform::Volume& v : platform::Cards().ListVolumes())
            if (!ec && fs::canonical(v.device, ec) == real) {
                *name = v.name;
                return true;
            }
    }
    *error = target + " is not a listed card" +
             (platform::IncludeLoop() ? std::string() : std::string(" (loop devices need --include-loop)"));
    return false;
}

bool LoadCard(const std::string& name, Card* card, std::string* error)
{
    const cardops::CardLoad load = cardops::LoadCard(platform::Cards(), name);
    if (!load.ok()) {
        *error = load.Message();
        return false;
    }
    card->volume = load.volume;
    card->region = load.region;
    card->state = core::LoadMarkers(load.region, load.layoutIndex);
    return true;
}

// Loads the target of a command that needs exactly one.
int OpenTarget(const Args& args, Card* card, std::string* name)
{
    if (args.positional.size() != 1)
        return Usage("'" + args.command + "' needs one TARGET: a card name, a device path or an image file");
    std::string error;
    bool usage = false;
    if (!ResolveTarget(args, args.positional[0], name, &error, &usage))
        return usage ? Usage(error) : Fail(error);
    RecoverCard(*name);
    if (!LoadCard(*name, card, &error))
        return Fail(error);
    return ExitOk;
}

int OpenTargetFiles(const Args& args, Card* card, std::string* name, std::string* root)
{
    if (const int rc = OpenTarget(args, card, name))
        return rc;
    std::string why;
    *root = FilesRoot(*name, card->volume, &why);
    if (root->empty())
        return Fail("Cannot reach the files of " + *name + ": " + why + ". Nothing was written.");
    return ExitOk;
}

// Where the card's files can be seen, mounting it when the backend can.
std::string FilesRoot(const std::string& name, const platform::Volume& volume, std::string* why)
{
    if (!volume.mountPoint.empty() && fs::is_directory(volume.mountPoint))
        return volume.mountPoint;
    std::string root;
    const platform::AccessResult r = platform::Cards().Mount(name, &root);
    if (!r.ok()) {
        *why = r.why;
        return std::string();
    }
    return root;
}

cardops::SaveHooks Hooks()
{
    cardops::SaveHooks hooks;
    if (platform::StandardErrorIsTerminal()) {
        hooks.progress = [](int percent, const std::string& entry) {
            std::fprintf(stderr, "\r%3d%% %-60.60s", percent, core::Printable(entry).c_str());
            if (percent >= 100)
                std::fprintf(stderr, "\n");
            std::fflush(stderr);
        };
    }
    hooks.log = [](const std::string& text) { Note(text); };
    return hooks;
}

int Saved(const cardops::SaveResult& result, const std::string& done)
{
    if (!result.ok) {
        for (const std::string& note : result.notes)
            Note(note);
        return Fail(result.error + (result.nothingChanged ? " Nothing was written." : ""));
    }
    if (!result.backupPath.empty())
        Note("The boot record as it was is kept in " + result.backupPath);
    for (const std::string& note : result.notes)
        Note(note);
    std::string text = done;
    if (result.unmounted && !result.remounted)
        text += " (the card was unmounted so its boot record could be written safely)";
    std::cout << text << "\n";
    return ExitOk;
}

cardops::SaveRequest RequestFor(const std::string& name, const Card& card, const std::string& workFolder)
{
    cardops::SaveRequest request;
    request.name = name;
    request.identity = card.volume.identity;
    request.layoutIndex = card.state.layoutIndex;
    request.loaded = card.region;
    request.edited = core::RegionToWrite(card.state).VBR;
    request.workFolder = workFolder;
    return request;
}

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

void PrintJson(const QJsonValue& value)
{
    const QByteArray bytes = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Indented)
                                             : QJsonDocument(value.toObject()).toJson(QJsonDocument::Indented);
    std::cout << bytes.toStdString();
}

}  // namespace cli
