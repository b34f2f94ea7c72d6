#include "cli/commands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

#include "buildsource/buildsource.h"
#include "camera/cardcamera.h"
#include "cardops/recovery.h"
#include "cardops/removefiles.h"
#include "cardops/savesequence.h"
#include "cli/checkcommand.h"
#include "config/appconfig.h"
#include "core/bootrecord.h"
#include "core/catalogue.h"
#include "core/driveentry.h"
#include "core/fileinfo.h"
#include "core/fileutil.h"
#include "core/markerpresets.h"
#include "core/printable.h"
#include "core/textutil.h"
#include "platform/cardaccess.h"
#include "platform/images.h"
#include "platform/terminal.h"
#include "platform/volumes.h"
#include "platform/workfolder.h"

namespace fs = std::filesystem;

namespace cli {

namespace {

// ------------------------------------------------------------ command line

struct Args {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // options with a value
    std::set<std::string> flags;                // options without one
    bool Has(const std::string& option) const { return values.count(option) || flags.count(option); }
    std::string Value(const std::string& option) const
    {
        const auto it = values.find(option);
        return it == values.end() ? std::string() : it->second;
    }
};

const std::set<std::string> kValueOptions = {"--partition",  "--root",           "--preset",  "--label",   "--boot",
                                             "--boot-place", "--script",         "--build",   "--develop", "--legacy",
                                             "--from",       "--catalogue-host", "--backend", "--mode",    "--need"};
const std::set<std::string> kFlagOptions = {"--help", "--version", "--include-loop", "--json", "--yes", "--recover"};

// What each command accepts besides the global options.
const std::map<std::string, std::set<std::string>> kCommandOptions = {
    {"list", {"--json"}},
    {"show", {"--json"}},
    {"set", {"--preset", "--label", "--boot", "--boot-place", "--script", "--yes"}},
    {"install", {"--build", "--develop", "--legacy", "--yes"}},
    {"remove", {"--yes"}},
    {"builds", {"--legacy", "--json"}},
    {"backup", {}},
    {"restore", {"--from"}},
    {"backups", {"--json"}},
    {"check", {"--mode", "--json", "--yes", "--need", "--recover"}},
};
const std::set<std::string> kGlobalOptions = {"--help", "--version",        "--include-loop", "--partition",
                                              "--root", "--catalogue-host", "--backend"};

// How cards are reached (--backend; FLINTOR_BACKEND and then auto otherwise).
platform::BackendChoice gBackend = platform::BackendChoice::Auto;

int Usage(const std::string& text)
{
    std::cerr << "flintor-cli: " << text << "\nTry 'flintor-cli --help'.\n";
    return ExitUsage;
}

int Fail(const std::string& text)
{
    std::cerr << "flintor-cli: " << text << "\n";
    return ExitFailure;
}

void Note(const std::string& text)
{
    std::cerr << text << "\n";
}

bool ParseArgs(const std::vector<std::string>& arguments, Args* args, std::string* error)
{
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string arg = arguments[i];
        if (arg.rfind("--", 0) == 0) {
            std::string value;
            bool hasValue = false;
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasValue = true;
            }
            // "--legacy" is a flag for "builds" and takes a NAME for "install".
            const bool takesValue =
                kValueOptions.count(arg) && !(arg == "--legacy" && args->command != "install" && !hasValue);
            if (takesValue) {
                if (!hasValue) {
                    if (i + 1 >= arguments.size()) {
                        *error = arg + " needs a value";
                        return false;
                    }
                    value = arguments[++i];
                }
                args->values[arg] = value;
            } else if (kFlagOptions.count(arg) || arg == "--legacy") {
                if (hasValue) {
                    *error = arg + " takes no value";
                    return false;
                }
                args->flags.insert(arg);
            } else {
                *error = "Unknown option: " + arg;
                return false;
            }
        } else if (arg == "-h") {
            args->flags.insert("--help");
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "Unknown option: " + arg;
            return false;
        } else if (args->command.empty()) {
            args->command = arg;
        } else {
            args->positional.push_back(arg);
        }
    }
    return true;
}

bool OnOff(const Args& args, const std::string& option, core::Switch* out, std::string* error)
{
    if (!args.Has(option))
        return true;
    const std::string v = args.Value(option);
    if (v == "on")
        *out = core::Switch::On;
    else if (v == "off")
        *out = core::Switch::Off;
    else {
        *error = option + " takes on or off";
        return false;
    }
    return true;
}

// ------------------------------------------------------------ the card

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

struct Card {
    platform::Volume volume;
    cardops::Region region{};
    core::MarkerState state;
};

std::string FsList()
{
    return "FAT, FAT32 or exFAT";
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
        auto cards = platform::WithImages(platform::MakeAccess(gBackend, &backend), {wanted}, &why);
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
    platform::CardAccess& cards = platform::Cards();
    if (!cards.FindVolume(name, &card->volume)) {
        *error = name + " is not a card any more";
        return false;
    }
    const platform::Volume& v = card->volume;
    if (!core::IsCardFileSystem(v.fsName)) {
        *error = name + " carries no " + FsList() + " file system" + (v.fsName.empty() ? "" : " (" + v.fsName + ")");
        return false;
    }
    if (v.sectorSize != core::kSectorSize) {
        *error = name + " has " + std::to_string(v.sectorSize) + "-byte sectors; only 512-byte sectors can be edited";
        return false;
    }
    const platform::AccessResult read =
        cards.ReadSectors(name, 0, core::kLoadSectors, card->region.data(), card->region.size());
    if (!read.ok()) {
        *error = v.fsName + " VBR load failed. " + read.why;
        return false;
    }
    card->state = core::LoadMarkers(card->region, core::SelectLayout(v.fsName).index);
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

// ------------------------------------------------------------ output

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

QJsonObject MarkersJson(const core::MarkerState& s)
{
    QJsonObject o;
    o["label"] = s.labelChecked;
    o["boot"] = s.bootChecked;
    o["bootPlace"] = Q(core::OffsetCaption(s.boot.BootPos));
    o["script"] = s.scriptChecked;
    return o;
}

// {"model": as the camera writes it, "firmware": "1.2.3" or null}, or null
// when no photo tells.
QJsonValue CameraJson(const camera::CameraInfo& cam)
{
    if (cam.model.empty())
        return QJsonValue();
    QJsonObject o;
    o["model"] = Q(cam.model);
    o["firmware"] = cam.firmware.empty() ? QJsonValue() : QJsonValue(Q(cam.firmware));
    return o;
}

std::string MarkersText(const core::MarkerState& s)
{
    std::string text;
    if (s.labelChecked)
        text += "EOS_DEVELOP ";
    if (s.bootChecked)
        text += "BOOTDISK@" + core::OffsetCaption(s.boot.BootPos) + " ";
    if (s.scriptChecked)
        text += "SCRIPT ";
    if (text.empty())
        return "no markers";
    text.pop_back();
    return text;
}

// ------------------------------------------------------------ commands

int List(const Args& args)
{
    if (!args.positional.empty())
        return Usage("'list' takes no TARGET");
    QJsonArray all;
    for (const platform::Volume& v : platform::Cards().ListVolumes()) {
        if (!core::IsCardFileSystem(v.fsName))
            continue;
        Card card;
        std::string error;
        const bool loaded = LoadCard(v.name, &card, &error);
        if (args.Has("--json")) {
            QJsonObject o;
            o["name"] = Q(v.name);
            o["device"] = Q(v.device);
            o["label"] = Q(v.label);
            o["fileSystem"] = Q(v.fsName);
            o["sizeBytes"] = static_cast<double>(v.sizeBytes);
            o["size"] = Q(core::SizeText(v.sizeBytes));
            o["mountPoint"] = Q(v.mountPoint);
            o["entry"] = Q(core::EntryText(v.name, v.label, v.fsName, v.sizeBytes));
            if (loaded)
                o["markers"] = MarkersJson(card.state);
            else {
                o["markers"] = QJsonValue();
                o["error"] = Q(error);
            }
            all.append(o);
        } else {
            std::cout << core::EntryText(v.name, v.label, v.fsName, v.sizeBytes) << "  "
                      << (v.mountPoint.empty() ? "(not mounted)" : v.mountPoint) << "  "
                      << (loaded ? MarkersText(card.state) : "markers unreadable: " + error) << "\n";
        }
    }
    if (args.Has("--json"))
        PrintJson(all);
    return ExitOk;
}

struct Content {
    bool autoexec = false, diskboot = false, ml = false, chdk = false, dcim = false;
    std::string autoexecInfo;
    std::vector<std::string> firs;
};

Content ReadContent(const std::string& root)
{
    Content c;
    c.autoexec = core::FileExistsNoCase(root, "autoexec.bin");
    if (c.autoexec)
        c.autoexecInfo = core::FileInfoText(core::ResolveNoCase(root, "autoexec.bin"));
    c.diskboot = core::FileExistsNoCase(root, "DISKBOOT.BIN");
    c.ml = core::FolderExistsNoCase(root, "ML");
    c.chdk = core::FolderExistsNoCase(root, "CHDK");
    c.dcim = core::FolderExistsNoCase(root, "DCIM");
    c.firs = core::ListFiles(root, "*.fir");
    return c;
}

int Show(const Args& args)
{
    Card card;
    std::string name;
    if (const int rc = OpenTarget(args, &card, &name))
        return rc;
    const platform::Volume& v = card.volume;
    const core::MarkerState& s = card.state;
    core::BootRecord raw;
    raw.VBR = card.region;
    const core::Layout layout = core::SelectLayout(v.fsName);
    const bool fatFamily = layout.index == core::LayoutFat || layout.index == core::LayoutFat32;
    const bool chdk = fatFamily && raw.GetVBRString(core::kAltBootPos, core::kBootWidth) == "BOOTDISK";
    const bool ml = layout.index != core::LayoutNone &&
                    raw.GetVBRString(layout.labelPos, core::kLabelWidth) == "EOS_DEVELOP" &&
                    raw.GetVBRString(layout.bootPos, core::kBootWidth) == "BOOTDISK";
    const bool exfat = layout.index == core::LayoutExFat;
    const bool mainOk = exfat && raw.ExFatChecksumMatches(0);
    const bool backupOk = exfat && raw.ExFatChecksumMatches(12 * core::kSectorSize);
    const std::string root = !v.mountPoint.empty() && fs::is_directory(v.mountPoint) ? v.mountPoint : std::string();
    const Content content = root.empty() ? Content{} : ReadContent(root);
    const camera::CameraInfo cam = root.empty() ? camera::CameraInfo{} : camera::ReadCardCamera(root).camera;

    struct Place {
        const char* key;
        const char* title;
        uint32_t pos;
        int width;
    };
    const Place places[] = {{"label", "Volume-label place", s.boot.LabelPos, core::kLabelWidth},
                            {"boot", "Boot-string place", s.boot.BootPos, core::kBootWidth},
                            {"script", "Script place", s.boot.ScriptPos, core::kScriptWidth}};

    if (args.Has("--json")) {
        QJsonObject o;
        o["name"] = Q(name);
        o["device"] = Q(v.device);
        o["label"] = Q(v.label);
        o["fileSystem"] = Q(v.fsName);
        o["sizeBytes"] = static_cast<double>(v.sizeBytes);
        o["mountPoint"] = Q(v.mountPoint);
        QJsonObject placesJson;
        for (const Place& p : places) {
            if (p.pos == 0) {
                placesJson[p.key] = QJsonValue();
                continue;
            }
            QJsonObject place;
            place["offset"] = Q(core::OffsetCaption(p.pos));
            place["text"] = Q(raw.GetVBRString(p.pos, p.width));
            placesJson[p.key] = place;
        }
        o["places"] = placesJson;
        o["markers"] = MarkersJson(s);
        o["chdkBootable"] = chdk;
        o["magicLanternBootable"] = ml;
        if (exfat) {
            QJsonObject sums;
            sums["main"] = mainOk;
            sums["backup"] = backupOk;
            o["exfatChecksums"] = sums;
        }
        if (root.empty()) {
            o["content"] = QJsonValue();
        } else {
            QJsonObject c;
            c["autoexec.bin"] = content.autoexec;
            c["autoexecInfo"] = Q(content.autoexecInfo);
            c["DISKBOOT.BIN"] = content.diskboot;
            c["ML"] = content.ml;
            c["CHDK"] = content.chdk;
            c["DCIM"] = content.dcim;
            QJsonArray firs;
            for (const std::string& f : content.firs)
                firs.append(Q(f));
            c["fir"] = firs;
            o["content"] = c;
        }
        o["camera"] = CameraJson(cam);
        PrintJson(o);
        return ExitOk;
    }
    std::cout << "Card: " << core::EntryText(name, v.label, v.fsName, v.sizeBytes) << "\n";
    std::cout << "Device: " << v.device << "\n";
    std::cout << "File system: " << v.fsName << "\n";
    for (const Place& p : places) {
        if (p.pos == 0)
            std::cout << p.title << ": none on " << v.fsName << "\n";
        else
            std::cout << p.title << " " << core::OffsetCaption(p.pos) << ": \"" << raw.GetVBRString(p.pos, p.width)
                      << "\"\n";
    }
    std::cout << "Bootable for CHDK: " << (chdk ? "yes" : "no") << "\n";
    std::cout << "Bootable for Magic Lantern: " << (ml ? "yes" : "no") << "\n";
    if (exfat) {
        std::cout << "Main boot region checksum: " << (mainOk ? "matches" : "DOES NOT MATCH") << "\n";
        std::cout << "Backup boot region checksum: " << (backupOk ? "matches" : "DOES NOT MATCH") << "\n";
    }
    if (root.empty()) {
        std::cout << "Content: not visible (the card is not mounted"
                  << (v.device.rfind("/dev/", 0) == 0 ? "" : "; give --root DIR where you mounted the image") << ")\n";
    } else {
        const auto ok = [](bool b) { return b ? "OK" : "-"; };
        std::cout << "Content of " << root << ":\n";
        std::cout << "  autoexec.bin: " << ok(content.autoexec) << "\n";
        if (content.autoexec) {
            std::string info = content.autoexecInfo;
            for (size_t at = 0; (at = info.find('\n', at)) != std::string::npos; at += 5)
                info.replace(at, 1, "\n    ");
            std::cout << "    " << info << "\n";
        }
        std::cout << "  DISKBOOT.BIN: " << ok(content.diskboot) << "\n";
        std::cout << "  ML: " << ok(content.ml) << "\n";
        std::cout << "  CHDK: " << ok(content.chdk) << "\n";
        std::cout << "  DCIM: " << ok(content.dcim) << "\n";
        std::cout << "  .fir: "
                  << (content.firs.empty()       ? std::string("-")
                      : content.firs.size() == 1 ? content.firs[0]
                                                 : std::to_string(content.firs.size()) + " fir files")
                  << "\n";
        for (size_t i = 0; content.firs.size() > 1 && i < content.firs.size(); ++i)
            std::cout << "    " << content.firs[i] << "\n";
        std::cout << "Camera: " << camera::CameraLine(cam) << "\n";
    }
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

int Set(const Args& args)
{
    core::MarkerRequest request;
    std::string error;
    if (args.Has("--preset")) {
        const std::string p = args.Value("--preset");
        if (p == "ml")
            request.preset = core::Preset::MagicLantern;
        else if (p == "chdk")
            request.preset = core::Preset::Chdk;
        else if (p == "none")
            request.preset = core::Preset::Clear;
        else
            return Usage("--preset takes ml, chdk or none");
    }
    if (!OnOff(args, "--label", &request.label, &error) || !OnOff(args, "--boot", &request.boot, &error) ||
        !OnOff(args, "--script", &request.script, &error))
        return Usage(error);
    if (args.Has("--boot-place")) {
        const std::string p = args.Value("--boot-place");
        if (p == "0x5C" || p == "0x5c" || p == "0x05C" || p == "0x05c")
            request.bootPlace = core::kFat32BootPos;
        else if (p == "0x1E0" || p == "0x1e0")
            request.bootPlace = core::kAltBootPos;
        else
            return Usage("--boot-place takes 0x5C or 0x1E0");
    }
    const bool switches = args.Has("--label") || args.Has("--boot") || args.Has("--script") || args.Has("--boot-place");
    if (!args.Has("--preset") && !switches)
        return Usage("'set' needs --preset, --label, --boot, --boot-place or --script");
    if (args.Has("--preset") && switches)
        return Usage("--preset cannot be combined with --label, --boot, --boot-place or --script");

    Card card;
    std::string name;
    if (const int rc = OpenTarget(args, &card, &name))
        return rc;
    if (!core::ApplyMarkers(&card.state, request, &error))
        return Fail(name + ": " + error + ". Nothing was written.");

    // The markers alone: files are never installed or removed here.
    if (card.state.MagicLanternBootable()) {
        const std::string root = !card.volume.mountPoint.empty() && fs::is_directory(card.volume.mountPoint)
                                     ? card.volume.mountPoint
                                     : std::string();
        if (root.empty()) {
            Note("Could not check " + name + " for autoexec.bin: its files are not reachable.");
        } else if (!core::FileExistsNoCase(root, "autoexec.bin") && !args.Has("--yes")) {
            return Fail(name + " holds no autoexec.bin: the camera will not start Magic Lantern from it. Install a "
                               "build first (flintor-cli install), or give --yes to write the markers anyway. "
                               "Nothing was written.");
        }
    }
    const std::string workFolder = WorkFolder();
    if (workFolder.empty())
        return Fail("No private work folder for the backup of the boot record. Nothing was written.");
    cardops::SaveRequest save = RequestFor(name, card, workFolder);
    save.files = cardops::FileWork::None;
    return Saved(cardops::Save(platform::Cards(), save, Hooks()), "Write succesful");
}

// ------------------------------------------------------------ catalogues

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
    std::string name;
    if (const int rc = OpenTarget(args, &card, &name))
        return rc;
    std::string why;
    const std::string root = FilesRoot(name, card.volume, &why);
    if (root.empty())
        return Fail("Cannot reach the files of " + name + ": " + why + ". Nothing was written.");
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
    std::string name;
    if (const int rc = OpenTarget(args, &card, &name))
        return rc;
    std::string why;
    const std::string root = FilesRoot(name, card.volume, &why);
    if (root.empty())
        return Fail("Cannot reach the files of " + name + ": " + why + ". Nothing was written.");
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

int Check(const Args& args)
{
    CheckArgs check;
    check.json = args.Has("--json");
    check.yes = args.Has("--yes");
    check.recover = args.Has("--recover");
    if (args.Has("--mode")) {
        check.mode = args.Value("--mode");
        if (check.mode != "read" && check.mode != "quick" && check.mode != "speed" && check.mode != "full")
            return Usage("--mode takes read, quick, speed or full");
    }
    if (args.Has("--need") && !ParseNeed(args.Value("--need"), &check.needBytesPerSecond))
        return Usage("--need takes a speed in MB/s (87) or a recording mode (1920x1080x14@23.976)");
    if (args.positional.size() > 1 || (args.positional.empty() && !check.recover))
        return Usage("'check' needs one TARGET: a card name, a device path or an image file");
    if (!args.positional.empty()) {
        std::string error;
        bool usage = false;
        if (!ResolveTarget(args, args.positional[0], &check.name, &error, &usage))
            return usage ? Usage(error) : Fail(error);
    }
    check.workFolder = WorkFolder();
    return RunCheckCommand(check);
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

}  // namespace

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
    const auto allowed = kCommandOptions.find(args.command);
    if (allowed == kCommandOptions.end())
        return Usage("Unknown command: " + args.command);
    for (const auto& [option, value] : args.values)
        if (!kGlobalOptions.count(option) && !allowed->second.count(option))
            return Usage(option + " does not apply to '" + args.command + "'");
    for (const std::string& option : args.flags)
        if (!kGlobalOptions.count(option) && !allowed->second.count(option))
            return Usage(option + " does not apply to '" + args.command + "'");

    if (args.Has("--backend")) {
        if (!platform::ParseBackendChoice(args.Value("--backend"), &gBackend))
            return Usage("--backend needs auto, direct or udisks2");
        std::string why;
        platform::SetCards(platform::MakeAccess(gBackend, &why));
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
