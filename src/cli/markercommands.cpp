// flintor-cli list, show and set: the cards, their markers and content, and
// the markers changed as the window's buttons and boxes change them.
#include <QJsonArray>
#include <QJsonObject>

#include <filesystem>
#include <iostream>

#include "camera/cardcamera.h"
#include "cli/commands.h"
#include "cli/commandset.h"
#include "cli/target.h"
#include "core/cardcontent.h"
#include "core/driveentry.h"
#include "core/fileutil.h"
#include "platform/cardaccess.h"

namespace fs = std::filesystem;

namespace cli {

namespace {

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

}  // namespace

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
    // What the window's buttons show for this card: CHDK's boot string at
    // 0x1E0 (CHDK starts from FAT and FAT32 only), both Magic Lantern markers.
    const bool chdk = s.chdkDown && s.layoutIndex != core::LayoutExFat;
    const bool ml = s.MagicLanternBootable();
    const bool exfat = s.layoutIndex == core::LayoutExFat;
    const bool mainOk = exfat && raw.ExFatChecksumMatches(0);
    const bool backupOk = exfat && raw.ExFatChecksumMatches(12 * core::kSectorSize);
    const std::string root = !v.mountPoint.empty() && fs::is_directory(v.mountPoint) ? v.mountPoint : std::string();
    const core::CardContent content = core::ReadCardContent(root);
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
        std::cout << "  .fir: " << content.FirText() << "\n";
        for (size_t i = 0; content.firs.size() > 1 && i < content.firs.size(); ++i)
            std::cout << "    " << content.firs[i] << "\n";
        std::cout << "Camera: " << camera::CameraLine(cam) << "\n";
    }
    return ExitOk;
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

}  // namespace cli
