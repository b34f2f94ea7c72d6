// TfMain: the one window of the program. Every control and every handler
// lives here; the logic behind them is in the portable core. The methods are
// spread over a few files by concern:
//   tfmain.cpp            start-up, shut-down, status bar, Alt+F, expand/collapse
//   tfmain_layout.cpp     the controls and their places
//   tfmain_drives.cpp     the card list, card content, device events
//   tfmain_editor.cpp     loading, editing and saving the boot record
//   tfmain_queue.cpp      the fetch queue and downloads
//   tfmain_catalogue.cpp  the build lists
//   tfmain_install.cpp    unpacking a build onto the card and removing it
//   tfmain_settings.cpp   settings
//   tfmain_camera.cpp     the card's camera and the build made for it
//   tfmain_cardcheck.cpp  the card check and interrupted checks
//
// Glossary. Controls carry a type prefix and a role: cb check box or
// drop-down list, e edit, l label, b button, sb toggle button with a picture,
// rb radio button, rg radio group, gb group, ul link label, t timer (cbDrives:
// the card list; sbML, sbCHDK: the two preset buttons; gbML: the Magic Lantern
// group; lZIPname: the build archive's name; lML: the group's status label).
// Handlers are named after their control and event (bSaveClick,
// cbDrivesChange). The short verbs:
//   slog(text, panel)  a text into a status panel     log(text)  a message
//   erslog(text)       an error, with the red marker  slogR      "ready", no message
//   RegRead/RegWrite   settings in, settings out      ShowHideML open/close the group
//   InsHTMLque         queue a fetch; ExecHTMLque starts the head, DelHTMLque drops it
//   ExtractDLLs        check that TLS works (nothing is written beside the program)
//   FormShortCut       Alt+F: format the selected card
// VBR is the card's boot region (24 sectors) in the buffer markers.boot.
#pragma once

#include "buildsource/buildsource.h"
#include "camera/cameras.h"
#include "cardops/savesequence.h"
#include "config/appconfig.h"
#include "core/bootrecord.h"
#include "core/catalogue.h"
#include "core/fetchqueue.h"
#include "core/markerpresets.h"

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QDragEnterEvent;
class QDropEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QShortcut;
class QTimer;
class TImageButton;
class TStatusBar;
class TURLLink;
class THTTPGet;
class QPainter;
namespace platform {
class DeviceMonitor;
}

class TfMain : public QWidget {
    Q_OBJECT
public:
    explicit TfMain(const appconfig::Options& options, QWidget* parent = nullptr);
    ~TfMain() override;

    // --- controls, named as on the form ---
    QComboBox* cbDrives = nullptr;
    QPushButton* bRefresh = nullptr;
    QPushButton* bSave = nullptr;
    QGroupBox* rgFileSystem = nullptr;
    QRadioButton* rgFileSystemItems[3] = {nullptr, nullptr, nullptr};  // "FAT", "FAT32", "exFAT"
    QGroupBox* gbStrings = nullptr;
    QCheckBox* cbCardLabel = nullptr;
    QCheckBox* cbBootLabel = nullptr;
    QCheckBox* cbScript = nullptr;
    QLineEdit* eCardLabel = nullptr;
    QLineEdit* eBootLabel = nullptr;
    QLineEdit* eScript = nullptr;
    QLabel* lVol = nullptr;
    QLabel* lBoot = nullptr;
    QLabel* lScript = nullptr;
    QGroupBox* gbContent = nullptr;
    QLabel* lDiskBoot = nullptr;
    QLabel* lCHDKdir = nullptr;
    QLabel* lDCIMdir = nullptr;
    QLabel* lDiskBootOK = nullptr;
    QLabel* lCHDKOK = nullptr;
    QLabel* lDCIMsize = nullptr;
    QLabel* lautoexec = nullptr;
    QLabel* lMLfolder = nullptr;
    QLabel* lfir = nullptr;
    QLabel* lAutoexecOK = nullptr;
    QLabel* lMLdirOK = nullptr;
    QLabel* lfirName = nullptr;
    QLabel* lCamera = nullptr;
    QLabel* lCameraName = nullptr;
    TImageButton* sbCHDK = nullptr;
    TImageButton* sbML = nullptr;
    QGroupBox* gbAbout = nullptr;
    QLabel* lAuthor = nullptr;
    TURLLink* ulAuthor = nullptr;
    QLabel* lWebsite = nullptr;
    TURLLink* ulWebsite = nullptr;
    QGroupBox* gbML = nullptr;
    QRadioButton* rbDevelop = nullptr;
    QComboBox* cbDevelop = nullptr;
    QRadioButton* rbNightly = nullptr;
    QComboBox* cbNightly = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QLabel* lZIPname = nullptr;
    QLabel* lML = nullptr;
    TStatusBar* StatusBar = nullptr;
    QTimer* tHTMLqueue = nullptr;
    THTTPGet* HTTP = nullptr;
    QShortcut* formatShortcut = nullptr;

    // --- status and log ---
    void slog(const QString& text, int panel);
    void log(const QString& text);
    void erslog(const QString& text);
    void slogR();
    void StatusBarDrawPanel(TStatusBar* bar, QPainter& painter, int panel, const QRect& rect);

    // --- window ---
    void ShowHideML(bool show);
    void FormShortCut();
    void RegRead();
    void RegWrite();

    // --- cards ---
    void bRefreshClick();
    void RefreshContentLabels();
    void cbDrivesChange();
    void cbCardLabelClick();
    void cbBootLabelClick();
    void cbScriptClick();
    void eCardLabelChange();
    void eBootLabelChange();
    void eScriptChange();
    void sbCHDKClick();
    void sbMLClick();
    void sbCHDKDblClick();
    void sbMLDblClick();
    void sbMLMouseDown();
    void bSaveClick();

    // --- builds ---
    void ExtractDLLs();
    void InsHTMLque(const core::THTMLQueue& request);
    void ExecHTMLque();
    void DelHTMLque();
    void tHTMLQueueTimer();
    void HTTPProgress(QObject* sender, int totalSize, int received);
    void HTTPDoneFile(QObject* sender, const QString& fileName, int fileSize);
    void HTTPDoneString(QObject* sender, const QByteArray& result);
    void HTTPError(QObject* sender);
    void DevelopOptions(const QString& path);
    void LegacyOptions(const QString& path);
    void rbDevelopClick();
    void rbNightlyClick();
    void cbDevelopChange();
    void cbNightlyChange();
    // True while the build archive is queued or arriving.
    bool ArchiveFetchPending() const;
    // Restores the boot record from the latest backup of the loaded card,
    // after asking; the Save button's context menu offers it.
    void RestoreLatestBackup();

    // --- state ---
    // The marker controls' state: the buffer VBR, its three places, the
    // layout (rgFileSystem's item, LayoutNone for none), the edits and boxes.
    core::MarkerState markers;
    std::string DriveName;      // kernel name of the loaded card
    std::string DriveIdentity;  // identity of the medium the buffer was read from
    std::string CardRoot;       // mount point of the card, empty when not mounted
    std::string WorkFolder;     // private folder for catalogues and archives, ends in "/"
    core::FetchQueue queue;
    std::vector<core::TPorts> developBuilds;
    std::vector<core::TPorts> legacyBuilds;
    QString rememberedDev;
    QString rememberedNightly;
    QString catalogueHost;
    bool saving = false;
    bool markersChanged = false;  // the user changed a marker since the load

    // --- card check (tfmain_cardcheck.cpp) ---
    // Opens the card check for the card chosen in the list.
    void OpenCardCheck();
    // Offers to put back the data of checks that were interrupted.
    void OfferInterruptedChecks();
    // Asks whether to put an interrupted check's data back (default: a box).
    std::function<bool(const QString& question)> askRestore;
    // Called with the card check dialog before it shows (tests drive it).
    std::function<void(class CardCheckDialog*)> beforeCardCheck;

    // How a format of the selected card is carried out: returns the result
    // code (-3 not formatable, -2 cancelled, -1 error, other: done). The
    // default shows the format dialog.
    std::function<int(const std::string& volumeName)> formatCard;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void BuildLayout();
    void PlaceStatusBar();
    void ConnectHandlers();
    void ConnectCardCheck();
    void FormCreate();
    void FormClose();
    void ShowFileSystem(int index);
    // Shows the marker state in the controls without running their handlers.
    void ShowMarkers();
    void EnableMarkerControls(bool enable);
    void LockForSave(bool locked);
    void OnDeviceEvent(const QString& action, const QString& name);
    bool CardListChanged() const;
    void MarkUserChange();
    // Decides the file work of a Save; false when the Save must stop.
    bool PrepareFileWork(cardops::SaveRequest* request);
    // Waits, processing events, until no build archive is queued or arriving.
    void WaitForArchiveFetch();
    // Brings the cards whose Save was cut short to the state before or after
    // it, all listed cards at start, one when it is loaded; what was done is
    // shown in the status bar.
    void RecoverCards();
    std::vector<std::string> RecoverCard(const std::string& name);
    void ShowRecovery(const std::vector<std::string>& messages);
    // Runs a Save or Restore request and reports its outcome; true when the
    // boot record was written.
    bool RunSave(const cardops::SaveRequest& request, bool restore);
    void ShowSaveError(const QString& text);
    // The progress bar and the group's label while a build is unpacked;
    // *shown counts the entries seen.
    void ShowUnpacking(int percent, const std::string& entry, int* shown);
    void bSaveContextMenu(const QPoint& at);
    // The loaded card and its boot-record backups, oldest first; false while
    // nothing is loaded or a Save runs.
    bool LoadedCardBackups(platform::Volume* volume, std::vector<cardops::BackupInfo>* backups);
    // After device events: the list follows the cards, the loaded card stays.
    void RefreshKeepingCard();
    void EnableBuildChoice();
    void ChooseBuild(bool develop);
    // Fills a build list and chooses a build in it (the remembered one).
    void ShowCatalogue(bool develop, std::vector<core::TPorts> list);
    static buildsource::Catalogue CatalogueOf(bool develop);
    // Loads the catalogue a previous fetch left; false when there is none.
    bool LoadCachedCatalogue(bool develop);
    QString ArchivePath() const;

    platform::DeviceMonitor* deviceMonitor_ = nullptr;
    QTimer* deviceRefresh_ = nullptr;
    cardops::Region loadedRegion_{};  // the boot region as read by the last load
    bool loading_ = false;
    bool lockedForSave_ = false;
    std::vector<QWidget*> lockedWidgets_;

    // --- build sources ---
public:
    // Queues the fetches of both catalogues from the catalogue server
    // (catalogueHost: HOST[:PORT] or a base address).
    void QueueCatalogues();
    // Queues both catalogue fetches again unless they are queued already;
    // the retry after failed fetches, without a restart.
    void RetryCatalogues();
    // Drops of build archives on the window and the context menu "Reload
    // build lists" of the Refresh button. Runs once; later calls do nothing.
    void ConnectBuildSources();
    // Takes an archive the user already has as the build to install: checks
    // it, copies it into the work folder and names it in lZIPname. False
    // (with the reason in the status bar) when it cannot be installed; the
    // previous choice then stays.
    bool UseLocalBuild(const QString& path);
    // True when the chosen build has no digest in its catalogue or the file
    // at path has that digest; otherwise *why names the archive and the cause.
    bool CheckArchiveDigest(const QString& path, QString* why) const;
    // True while an archive of the user's own is the chosen build.
    bool LocalBuildChosen() const { return !localBuildFile_.empty(); }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // A catalogue fetch brought fileName: shows and keeps it when it holds
    // builds; anything else is a failed fetch and the cached one is shown.
    void CatalogueDone(bool develop, const QString& fileName);
    // A failed catalogue fetch: falls back to the cached catalogue and tells
    // the host and the cause.
    void CatalogueFailed(bool develop, const QString& cause);
    void BuildDownloadFailed(const QString& message);
    // The local build stops being the chosen one; its copy is removed when
    // it sits where the listed build's archive goes (path), so that the copy
    // never counts as that build's download.
    void LeaveLocalBuild(const std::string& listedArchivePath);
    QString failureCause_;        // cause of a fetch failed before the getter ran
    std::string chosenSha256_;    // digest of the chosen listed build, "" for none
    std::string localBuildFile_;  // the local build's copy in the work folder, "" when none is chosen
    bool buildSourcesConnected_ = false;

    // --- the card's camera ---
public:
    // The camera that took the newest photos of the loaded card; the model
    // is empty when none tells.
    camera::CameraInfo cardCamera;
    // Reads the card's camera into lCameraName; a camera other than before
    // preselects its build.
    void RefreshCameraLabel();

private:
    // The line a catalogue's list selects when it is loaded: the build made
    // for the card's camera, else the remembered one.
    int InitialBuildIndex(bool develop) const;
    // Chooses the build made for the card's camera in the list in use (or
    // in the other list when only that one has it), unless the user chose a
    // build by hand in this run or a Save runs.
    void PreselectCameraBuild();
    // Save's question when the build to install is made for another camera
    // or firmware; false when the user says no.
    bool ConfirmBuildForCamera();
    // The camera the chosen build is made for; *name gets the build's name.
    camera::BuildTarget ChosenBuildTarget(std::string* name) const;
    bool userChoseBuild_ = false;  // the user chose a list or an entry by hand
};
