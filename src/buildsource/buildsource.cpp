#include "buildsource/buildsource.h"

#include <QString>

#include <filesystem>

#include "config/appconfig.h"
#include "core/digest.h"
#include "core/fileutil.h"
#include "core/printable.h"
#include "core/textutil.h"
#include "net/httpsclient.h"
#include "zip/buildcheck.h"

namespace fs = std::filesystem;

namespace buildsource {

namespace {

bool EndsWithNoCase(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && core::LowerAscii(text.substr(text.size() - tail.size())) == tail;
}

// Names of the work folder that an archive must never take.
bool ReservedName(const std::string& name)
{
    const std::string lower = core::LowerAscii(name);
    return lower == "develop.inf" || lower == "legacy.inf" || lower == "backups" || lower == "journal" ||
           EndsWithNoCase(lower, ".dl") || EndsWithNoCase(lower, ".part");
}

}  // namespace

std::string CatalogueFile(Catalogue which)
{
    return which == Catalogue::Develop ? "develop.inf" : "legacy.inf";
}

std::string CatalogueAddress(const std::string& host, Catalogue which)
{
    return appconfig::CatalogueUrl(QString::fromStdString(host), QString::fromStdString(CatalogueFile(which)))
        .toStdString();
}

std::string CatalogueDownloadPath(const std::string& workFolder, Catalogue which)
{
    return workFolder + CatalogueFile(which) + ".dl";
}

std::string CachedCataloguePath(const std::string& workFolder, Catalogue which)
{
    return workFolder + CatalogueFile(which);
}

bool AcceptFetchedCatalogue(const std::string& workFolder, Catalogue which, const std::string& fetchedFile,
                            std::vector<core::TPorts>* builds, std::string* cause)
{
    std::error_code ec;
    const auto size = fs::file_size(fetchedFile, ec);
    std::vector<core::TPorts> fetched = ec ? std::vector<core::TPorts>{} : core::ReadCatalogueFile(fetchedFile);
    if (fetched.empty()) {
        *cause = ec || size == 0 ? "empty answer" : "not a build catalogue";
        fs::remove(fetchedFile, ec);
        return false;
    }
    const std::string cached = CachedCataloguePath(workFolder, which);
    fs::rename(fetchedFile, cached, ec);
    if (ec) {
        // The builds are good; only the copy for a later run is missing.
        fs::remove(fetchedFile, ec);
    }
    *builds = std::move(fetched);
    return true;
}

bool CachedCatalogue(const std::string& workFolder, Catalogue which, std::vector<core::TPorts>* builds)
{
    const std::string cached = CachedCataloguePath(workFolder, which);
    std::error_code ec;
    if (!fs::is_regular_file(cached, ec))
        return false;
    *builds = core::ReadCatalogueFile(cached);
    return true;
}

std::string ArchivePath(const std::string& workFolder, const core::TPorts& build, std::string* why)
{
    const std::string name = core::UrlFileName(build.url);
    if (name.empty() || name == "." || name == ".." || ReservedName(name)) {
        if (why)
            *why = "the build's address names no file that can be kept: " + core::Printable(build.url);
        return {};
    }
    if (workFolder.empty()) {
        if (why)
            *why = "no work folder";
        return {};
    }
    return workFolder + name;
}

bool ArchiveIsCurrent(const std::string& path, const core::TPorts& build)
{
    if (!core::ArchiveIsCurrent(core::FileDateText(path), build.stamp))
        return false;
    return build.sha256.empty() || core::FileSha256Hex(path) == build.sha256;
}

bool ArchiveHasDigest(const std::string& path, const std::string& sha256, std::string* why)
{
    if (sha256.empty())
        return true;
    const std::string digest = core::FileSha256Hex(path);
    if (digest == sha256)
        return true;
    if (why)
        *why = digest.empty() ? "cannot be read" : "SHA-256 digest does not match the catalogue";
    return false;
}

const core::TPorts* FindBuild(const std::vector<core::TPorts>& builds, const std::string& name)
{
    const std::string wanted = core::LowerAscii(name);
    for (const core::TPorts& build : builds)
        if (core::LowerAscii(build.name) == wanted)
            return &build;
    return nullptr;
}

bool KeepLocalBuild(const std::string& workFolder, const std::string& path, std::string* kept, std::string* why,
                    const std::function<void(int)>& progress)
{
    std::error_code ec;
    const fs::path source = fs::absolute(path, ec);
    const std::string name = source.filename().string();
    if (workFolder.empty()) {
        *why = "no work folder";
        return false;
    }
    if (!fs::is_regular_file(source, ec)) {
        *why = "no such file";
        return false;
    }
    // Only archives: any other name could replace a catalogue or a partial
    // download in the work folder.
    if (!EndsWithNoCase(name, ".zip") || name.size() <= 4) {
        *why = "not a .zip file";
        return false;
    }
    const std::string target = workFolder + name;
    const std::string part = target + ".part";
    const bool inPlace = fs::exists(target, ec) && fs::equivalent(source, target, ec);
    // The copy is checked, not the original, so what is installed is what
    // passed; it takes the archive's name only when it passed.
    const std::string checked = inPlace ? target : part;
    if (!inPlace) {
        fs::remove(part, ec);
        fs::copy_file(source, part, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            fs::remove(part, ec);
            *why = "cannot copy it into the work folder";
            return false;
        }
    }
    const BuildCheckResult check = CheckBuildArchiveFile(checked, progress);
    if (!check.ok) {
        if (!inPlace)
            fs::remove(part, ec);
        std::string cause = check.reason;
        if (!check.entry.empty())
            cause += " (" + core::Printable(check.entry) + ")";
        *why = cause.empty() ? "not a build archive" : cause;
        return false;
    }
    if (!inPlace) {
        fs::rename(part, target, ec);
        if (ec) {
            fs::remove(part, ec);
            *why = "cannot copy it into the work folder";
            return false;
        }
    }
    *kept = target;
    return true;
}

bool FetchCatalogue(const std::string& host, const std::string& workFolder, Catalogue which,
                    std::vector<core::TPorts>* builds, std::string* note, std::string* why)
{
    const std::string url = CatalogueAddress(host, which);
    std::string cause;
    if (workFolder.empty()) {
        cause = "no work folder";
    } else {
        THttpsClient client;
        client.Limits = flintor::net::kCatalogueLimits;
        const std::string fetched = CatalogueDownloadPath(workFolder, which);
        if (!client.GetFile(url, fetched))
            cause = client.ErrorText;
        else if (AcceptFetchedCatalogue(workFolder, which, fetched, builds, &cause))
            return true;
    }
    const std::string told = "Network error. " + core::Printable(url) + ": " + core::Printable(cause);
    if (CachedCatalogue(workFolder, which, builds)) {
        *note = told + "; using the copy from the last fetch.";
        return true;
    }
    *why = told;
    return false;
}

bool FetchArchive(const core::TPorts& build, const std::string& workFolder, std::string* path, std::string* why)
{
    std::string cause;
    const std::string target = ArchivePath(workFolder, build, &cause);
    if (target.empty()) {
        *why = "Download failed. " + cause;
        return false;
    }
    if (!ArchiveIsCurrent(target, build)) {
        // Fetched under a name of its own and checked there: an archive with
        // another digest never takes the kept archive's place.
        const std::string fetched = target + ".dl";
        THttpsClient client;
        if (!client.GetFile(build.url, fetched)) {
            *why = "Download failed. " + core::Printable(build.url) + ": " + core::Printable(client.ErrorText);
            return false;
        }
        std::error_code ec;
        if (!ArchiveHasDigest(fetched, build.sha256, &cause)) {
            fs::remove(fetched, ec);
            *why = "Download failed. " + core::Printable(build.url) + ": " + cause;
            return false;
        }
        fs::rename(fetched, target, ec);
        if (ec) {
            fs::remove(fetched, ec);
            *why = "Download failed. Cannot create " + target;
            return false;
        }
    }
    *path = target;
    return true;
}

}  // namespace buildsource
