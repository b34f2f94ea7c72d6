// Unpacking a build onto the card, and removing it again.
#include "core/fileutil.h"
#include "core/textutil.h"
#include "platform/filetimes.h"
#include "ui/appconfig.h"
#include "ui/tfmain.h"
#include "zip/entryname.h"
#include "zip/zipread.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

namespace fs = std::filesystem;

namespace {

// A DOS date and time (date in the high half) as local time.
void SetDosTime(const std::string& path, uint32_t dosDateTime)
{
    const uint32_t date = dosDateTime >> 16;
    const uint32_t time = dosDateTime & 0xFFFF;
    std::tm tm{};
    tm.tm_year = static_cast<int>((date >> 9) & 0x7F) + 80;
    tm.tm_mon = static_cast<int>((date >> 5) & 0x0F) - 1;
    tm.tm_mday = static_cast<int>(date & 0x1F);
    tm.tm_hour = static_cast<int>((time >> 11) & 0x1F);
    tm.tm_min = static_cast<int>((time >> 5) & 0x3F);
    tm.tm_sec = static_cast<int>(time & 0x1F) * 2;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1))
        return;
    platform::SetFileTime(path, static_cast<int64_t>(t));
}

// The card's folders as the unpacking sees them: each folder is listed once,
// and its names are matched without regard to letter case (an exact match
// wins), so an entry overwrites the file it names whatever its spelling.
class CardFolders {
public:
    // The existing child of folder named like name, or folder/name.
    std::string Child(const std::string& folder, const std::string& name)
    {
        const auto& names = Listing(folder);
        auto exact = names.find(name);
        if (exact != names.end())
            return (fs::path(folder) / exact->first).string();
        const std::string wanted = core::LowerAscii(name);
        for (const auto& entry : names)
            if (entry.second == wanted)
                return (fs::path(folder) / entry.first).string();
        return (fs::path(folder) / name).string();
    }
    // Notes a name that the unpacking has just made in folder.
    void Added(const std::string& folder, const std::string& name)
    {
        Listing(folder).emplace(name, core::LowerAscii(name));
    }

private:
    std::map<std::string, std::string>& Listing(const std::string& folder)
    {
        auto it = listings_.find(folder);
        if (it != listings_.end())
            return it->second;
        std::map<std::string, std::string>& names = listings_[folder];
        for (const std::string& name : core::ListFiles(folder, "*.*"))
            names.emplace(name, core::LowerAscii(name));
        return names;
    }
    std::map<std::string, std::map<std::string, std::string>> listings_;  // folder -> name -> lower name
};

bool EndsWithExact(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

QString TfMain::ArchivePath() const
{
    return QString::fromStdString(WorkFolder) + lZIPname->text();
}

void TfMain::InstallStep(bool* stopSave)
{
    if (CardRoot.empty()) {
        // A card made bootable without its files would not start.
        erslog(QStringLiteral("The card is not mounted: Magic Lantern cannot be installed; the boot record was not "
                              "written"));
        *stopSave = true;
        return;
    }
    if (!core::FileExistsNoCase(CardRoot, "autoexec.bin")) {
        ShowHideML(true);
        if (ProgressBar->isVisible()) {
            // A catalogue or archive is still arriving: let its events run.
            QEventLoop wait;
            QTimer poll;
            poll.setInterval(20);
            connect(&poll, &QTimer::timeout, &wait, [&] {
                if (!ProgressBar->isVisible())
                    wait.quit();
            });
            poll.start();
            wait.exec();
        }
        bool ok = true;
        if (rbDevelop->isChecked()) {
            cbDevelop->setEnabled(false);
            ok = unzipML(ArchivePath());
            cbDevelop->setEnabled(true);
        } else if (rbNightly->isChecked()) {
            cbNightly->setEnabled(false);
            ok = unzipML(ArchivePath());
            cbNightly->setEnabled(true);
        }
        if (!ok)
            *stopSave = true;
    }
    cbDevelop->setEnabled(true);
}

bool TfMain::unzipML(const QString& path)
{
    ProgressBar->show();
    std::error_code ec;
    if (!fs::is_regular_file(path.toStdString(), ec)) {
        ProgressBar->hide();
        return true;
    }
    std::unique_ptr<TZipRead> zip;
    try {
        zip = std::make_unique<TZipRead>(path.toStdString());
    } catch (const std::exception& error) {
        ProgressBar->hide();
        QMessageBox::critical(this, windowTitle(), QString::fromUtf8(error.what()));
        return false;
    }
    repaint();

    bool failed = false;
    CardFolders folders;
    const int count = zip->EntryCount;
    for (int i = 0; i < count; ++i) {
        const std::string& name = zip->Entries[static_cast<size_t>(i)].Name;
        ProgressBar->setValue(count > 1 ? i * 100 / (count - 1) : 100);

        std::string relative;
        bool isFolder = false;
        if (!SafeEntryPath(name, &relative, &isFolder)) {
            // Never written: it would land outside the card's root.
            failed = true;
            continue;
        }
        std::vector<std::string> parts = core::SplitText("/", relative);
        if (!parts.empty() && parts.back().empty())
            parts.pop_back();
        const std::string filePart = isFolder || parts.empty() ? std::string() : parts.back();
        if (!filePart.empty())
            parts.pop_back();

        // Folders from the outside in, each only when missing.
        std::string folder = CardRoot;
        bool folderOk = true;
        for (const std::string& part : parts) {
            const std::string next = folders.Child(folder, part);
            if (!fs::is_directory(fs::symlink_status(next, ec))) {
                if (!fs::create_directory(next, ec) || !fs::is_directory(fs::symlink_status(next, ec))) {
                    failed = true;
                    folderOk = false;
                } else {
                    folders.Added(folder, part);
                }
            }
            folder = next;
        }

        const bool skipFir = rbDevelop->isChecked() && EndsWithExact(name, ".fir");
        if (!filePart.empty() && !skipFir) {
            const std::string target = folders.Child(folder, filePart);
            if (fs::is_symlink(target, ec) || fs::is_directory(target, ec)) {
                failed = true;
            } else {
                const std::string content = zip->Extract(i);
                std::FILE* out = folderOk ? std::fopen(target.c_str(), "wb") : nullptr;
                int error = out ? 0 : (folderOk ? errno : ENOENT);
                if (out) {
                    folders.Added(folder, fs::path(target).filename().string());
                    if (!content.empty() && std::fwrite(content.data(), 1, content.size(), out) != content.size())
                        error = errno;
                    if (std::fclose(out) != 0 && error == 0)
                        error = errno;
                    SetDosTime(target, zip->Entries[static_cast<size_t>(i)].DosDateTime());
                }
                if (error != 0) {
                    ProgressBar->hide();
                    QMessageBox::critical(this, windowTitle(),
                                          QStringLiteral("Cannot write %1: %2")
                                              .arg(QString::fromStdString(target), QString::fromLocal8Bit(std::strerror(error))));
                    return false;
                }
            }
        }
        if (i % 9 == 0) {
            lML->setText(QStringLiteral("Extracting... (") + QString::fromStdString(name) + QLatin1Char(')'));
            lML->repaint();
        }
    }
    lML->setText(failed ? QStringLiteral("Error in unzipping") : QStringLiteral("ML succesfully installed"));
    cbDevelop->setEnabled(true);
    ProgressBar->hide();
    return true;
}

void TfMain::RemovalStep()
{
    cbDevelop->setEnabled(false);
    if (CardRoot.empty() || !core::FileExistsNoCase(CardRoot, "autoexec.bin"))
        return;
    QMessageBox ask(QMessageBox::Question, QStringLiteral("Confirm"),
                    QStringLiteral("Do you want to remove ML files from the card?"), QMessageBox::Yes | QMessageBox::No,
                    this);
    if (ask.exec() != QMessageBox::Yes)
        return;
    log(QStringLiteral("Deleting ML files..."));
    core::DeleteFiles(CardRoot, "*.fir");
    core::DeleteFiles(CardRoot, "autoexec.bin");
    core::DeleteFiles(CardRoot, "*.pdf");
    if (core::FolderExistsNoCase(CardRoot, "ML"))
        core::RemoveFolderTree(core::ResolveNoCase(CardRoot, "ML"));
}
