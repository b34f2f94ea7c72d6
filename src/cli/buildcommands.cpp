// flintor-cli builds, install and remove: the catalogues, and a build's files
// put on the card or taken off it.
#include <QJsonArray>
#include <QJsonObject>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "buildsource/buildsource.h"
#include "camera/cardcamera.h"
#include "cardops/removefiles.h"
#include "cli/commands.h"
#include "cli/commandset.h"
#include "cli/target.h"
#include "config/appconfig.h"
#include "core/fileutil.h"
#include "core/printable.h"
#include "core/textutil.h"
#include "platform/cardaccess.h"
#include "platform/terminal.h"

namespace fs = std::filesystem;

namespace cli {

// The catalogue server: --catalogue-host, FLINTOR_CATALOGUE_HOST, or the
// built-in one; false (with why) for a value that is no host or base address.
bool CatalogueHost(const Args& args, QString* host, std::string* why)
{
    QString error;
    *host = args.Has("--catalogue-host") ? QString::fromStdString(args.Value("--catalogue-host"))
                                         : appconfig::CatalogueHostFromEnvironment(&error);
    if (error.isEmpty() && !appconfig::ValidCatalogueHost(*host))
        error = QStringLiteral("--catalogue-host needs HOST[:PORT] or a base address http(s)://HOST[:PORT][/PATH]");
    *why = error.toStdString();
    return error.isEmpty();
}

// Fetches a catalogue; the copy of the last good fetch stands in when the
// server cannot be reached or sends no catalogue.
bool FetchCatalogue(const Args& args, bool develop, const std::string& workFolder, std::vector<core::TPorts>* builds,
                    std::string* why)
{
    QString host;
    if (!CatalogueHost(args, &host, why))
        return false;
    std::string note;
    const bool ok = buildsource::FetchCatalogue(
        host.toStdString(), workFolder, develop ? buildsource::Catalogue::Develop : buildsource::Catalogue::Legacy,
        builds, &note, why);
    if (!note.empty())
        Note(note);
    return ok;
}

int Builds(const Args& args)
{
    if (!args.positional.empty())
        return Usage("'builds' takes no TARGET");
    const bool develop = !args.Has("--legacy");
    std::vector<core::TPorts> builds;
    std::string why;
    if (!FetchCatalogue(args, develop, WorkFolder(), &builds, &why))
        return Fail(why);
    if (args.Has("--json")) {
        QJsonArray all;
        for (const core::TPorts& b : builds) {
            QJsonObject o;
            o["name"] = Q(b.name);
            o["url"] = Q(b.url);
            o["stamp"] = Q(b.stamp);
            all.append(o);
        }
        PrintJson(all);
    } else {
        for (const core::TPorts& b : builds)
            std::cout << core::Printable(b.name) << "  " << core::Printable(b.stamp) << "  " << core::Printable(b.url)
                      << "\n";
    }
    return ExitOk;
}

// The archive of a build in the work folder, fetched unless the copy there is
// current.
bool FetchBuildArchive(const core::TPorts& build, const std::string& workFolder, std::string* archive, std::string* why)
{
    if (platform::StandardErrorIsTerminal())
        std::fprintf(stderr, "Fetching %s...\n", core::Printable(build.name).c_str());
    return buildsource::FetchArchive(build, workFolder, archive, why);
}

// The archive of a named build; *chosen gets its catalogue entry.
bool BuildArchive(const Args& args, bool develop, const std::string& buildName, const std::string& workFolder,
                  std::string* archive, core::TPorts* chosen, std::string* why)
{
    std::vector<core::TPorts> builds;
    if (!FetchCatalogue(args, develop, workFolder, &builds, why))
        return false;
    const core::TPorts* found = buildsource::FindBuild(builds, buildName);
    if (found == nullptr) {
        *why = "No build named \"" + core::Printable(buildName) + "\" in " + (develop ? "develop.inf" : "legacy.inf");
        return false;
    }
    *chosen = *found;
    return FetchBuildArchive(*chosen, workFolder, archive, why);
}

// The archive of the build made for the card's camera: the development
// catalogue's first, else the legacy one's. *legacy tells which it is.
bool CameraBuildArchive(const Args& args, const std::string& name, const camera::CameraInfo& cam,
                        const std::string& workFolder, std::string* archive, bool* legacy, std::string* why)
{
    const std::string nameOne = " Name one with --build, --develop or --legacy";
    if (cam.model.empty() || cam.firmware.empty()) {
        *why = (cam.model.empty() ? "No photo in the DCIM folder of " + name + " tells which camera took it"
                                  : "The photos on " + name + " were taken with the " + cam.model +
                                        ", but they do not tell its firmware version") +
               ", so no build can be chosen for it." + nameOne;
        return false;
    }
    std::string failed;
    for (const bool develop : {true, false}) {
        std::vector<core::TPorts> builds;
        std::string fetchWhy;
        if (!FetchCatalogue(args, develop, workFolder, &builds, &fetchWhy)) {
            failed += " " + fetchWhy + ".";
            continue;
        }
        const int index = camera::CameraBuildIndex(builds, cam);
        if (index < 0)
            continue;
        const core::TPorts& build = builds[static_cast<size_t>(index)];
        Note("The build for the " + camera::CameraLine(cam) + ": " + build.name);
        *legacy = !develop;
        return FetchBuildArchive(build, workFolder, archive, why);
    }
    *why = "No build for the " + camera::CameraLine(cam) + " in develop.inf or legacy.inf." + failed + nameOne;
    return false;
}

// Refuses a build made for another camera or firmware unless --yes; the
// reason goes to *why.
bool BuildSuitsCamera(const Args& args, const camera::CameraInfo& cam, const camera::BuildTarget& target,
                      const std::string& build, std::string* why)
{
    const std::string mismatch = camera::MismatchText(camera::BuildFit(cam, target), cam, target, build);
    if (mismatch.empty())
        return true;
    if (args.Has("--yes")) {
        Note(mismatch);
        return true;
    }
    *why = mismatch + " Give --yes to install it anyway";
    return false;
}

int Install(const Args& args)
{
    const int sources = args.Has("--build") + args.Has("--develop") + args.Has("--legacy");
    if (sources > 1)
        return Usage("'install' takes one of --build FILE.zip, --develop NAME, --legacy NAME, or none of them");
    Card card;
    std::string name, root;
    if (const int rc = OpenTargetFiles(args, &card, &name, &root))
        return rc;
    std::string why;
    if (core::FileExistsNoCase(root, "autoexec.bin"))
        return Fail(name + " already holds autoexec.bin; nothing was installed. Remove the build first "
                           "(flintor-cli remove).");
    const std::string workFolder = WorkFolder();
    if (workFolder.empty())
        return Fail("No private work folder. Nothing was written.");
    std::string archive;
    bool legacy = args.Has("--legacy");
    const camera::CameraInfo cam = camera::ReadCardCamera(root).camera;
    if (args.Has("--build")) {
        // The archive is checked and installed as one copy in the work
        // folder, so what is installed is what passed the check.
        const std::string given = args.Value("--build");
        if (!buildsource::KeepLocalBuild(workFolder, given, &archive, &why))
            return Fail("Not an installable build: " + core::Printable(given) + ": " + why + ". Nothing was written.");
        const std::string file = core::UrlFileName(archive);
        if (!BuildSuitsCamera(args, cam, camera::TargetOfName(file), file, &why))
            return Fail(why + ". Nothing was written.");
    } else if (sources == 0) {
        if (!CameraBuildArchive(args, name, cam, workFolder, &archive, &legacy, &why))
            return Fail(why + ". Nothing was written.");
    } else {
        core::TPorts build;
        if (!BuildArchive(args, !legacy, args.Value(legacy ? "--legacy" : "--develop"), workFolder, &archive, &build,
                          &why))
            return Fail(why + ". Nothing was written.");
        if (!BuildSuitsCamera(args, cam, camera::TargetOfBuild(build.name, build.url), build.name, &why))
            return Fail(why + ". Nothing was written.");
    }
    if (!card.state.MagicLanternBootable())
        Note(name + " does not carry both Magic Lantern markers; 'set " + args.positional[0] +
             " --preset ml' makes it start the build.");
    cardops::SaveRequest save = RequestFor(name, card, workFolder);
    save.files = cardops::FileWork::Install;
    save.archive = archive;
    // Development builds leave the camera's firmware files out; legacy builds
    // bring them along.
    save.skipFirmware = !legacy;
    // The card's files are where FilesRoot found them.
    const cardops::SaveResult result = cardops::Save(platform::Cards(), save, Hooks());
    if (result.ok && result.installed)
        std::cout << "ML succesfully installed\n";
    return Saved(result, "Write succesful");
}

int Remove(const Args& args)
{
    Card card;
    std::string name, root;
    if (const int rc = OpenTargetFiles(args, &card, &name, &root))
        return rc;
    if (!core::FileExistsNoCase(root, "autoexec.bin")) {
        std::cout << name << " holds no autoexec.bin; nothing to remove.\n";
        return ExitOk;
    }
    if (!args.Has("--yes")) {
        if (!platform::StandardInputIsTerminal())
            return Fail("Removing the build's files needs --yes when no one can be asked. Nothing was written.");
        std::cerr << "Do you want to remove ML files from the card? [y/N] ";
        std::string answer;
        std::getline(std::cin, answer);
        if (answer != "y" && answer != "Y" && answer != "yes")
            return Fail("Nothing was removed or written.");
    }
    const std::string workFolder = WorkFolder();
    if (workFolder.empty())
        return Fail("No private work folder. Nothing was written.");
    cardops::SaveRequest save = RequestFor(name, card, workFolder);
    save.files = cardops::FileWork::Remove;
    // A card whose markers start the build must not keep them without its
    // start file: they are cleared, and written, before any file goes.
    std::vector<std::string> cleared;
    save.edited = cardops::ClearMagicLanternStart(card.region, card.state.layoutIndex, &cleared);
    if (!cleared.empty()) {
        std::string what;
        for (const std::string& c : cleared)
            what += (what.empty() ? "" : ", ") + c;
        Note(name + " starts Magic Lantern: its markers are cleared first (" + what + ").");
    }
    Note("Deleting ML files...");
    return Saved(cardops::Save(platform::Cards(), save, Hooks()), "Write succesful");
}

}  // namespace cli
