// Start-up, shut-down, the status bar calls, Alt+F and expanding the window.
#include "ui/tfmain.h"

#include "core/driveentry.h"
#include "core/printable.h"
#include "core/textutil.h"
#include "net/httpget.h"
#include "platform/cardaccess.h"
#include "platform/devicemonitor.h"
#include "platform/workfolder.h"
#include "ui/buttonart.h"
#include "ui/formatdialog.h"
#include "ui/messagebox.h"
#include "ui/statusbar.h"
#include "ui/urllink.h"
#include "zip/zipread.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTimer>

namespace {
constexpr int kCollapsedHeight = 384;  // 0x180
constexpr int kExpandExtra = 387;      // 0x180 + 3
constexpr int kDesignedHeight = 549;
constexpr int kClientWidth = 330;
}  // namespace

TfMain::TfMain(const appconfig::Options& options, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint),
      catalogueHost(options.catalogueHost)
{
    setObjectName(QStringLiteral("fMain"));
    setWindowTitle(QString::fromLatin1(appconfig::kProgramTitle));
    ShowToolTipsAsPlainText();
    setWindowIcon(ProgramIcon());
    QFont f;
    f.setFamilies(
        {QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans Narrow"), QStringLiteral("DejaVu Sans Condensed")});
    f.setPointSize(8);
    setFont(f);
    setFixedWidth(kClientWidth);
    setMinimumHeight(kCollapsedHeight);
    resize(kClientWidth, kDesignedHeight);
    move(0, 0);
    platform::SetIncludeLoop(options.includeLoop);

    formatCard = [this](const std::string& volumeName) { return RunFormatDialog(this, volumeName); };
    SetZipNotifier([this](const std::string& text, const std::string& caption) {
        // The caption is an entry's name, as the archive has it.
        ShowMessage(this, text == "CRC" ? QMessageBox::NoIcon : QMessageBox::Critical,
                    QString::fromStdString(core::Printable(caption)), QString::fromStdString(text));
    });

    BuildLayout();
    ConnectHandlers();
    FormCreate();
    if (!options.localBuild.isEmpty())
        UseLocalBuild(options.localBuild);
}

TfMain::~TfMain()
{
    SetZipNotifier(nullptr);
}

void TfMain::ConnectHandlers()
{
    connect(cbDrives, QOverload<int>::of(&QComboBox::activated), this, [this](int) { cbDrivesChange(); });
    connect(bRefresh, &QPushButton::clicked, this, [this] { bRefreshClick(); });
    connect(bSave, &QPushButton::clicked, this, [this] { bSaveClick(); });
    bSave->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(bSave, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { bSaveContextMenu(at); });
    connect(cbCardLabel, &QCheckBox::toggled, this, [this] { cbCardLabelClick(); });
    connect(cbBootLabel, &QCheckBox::toggled, this, [this] { cbBootLabelClick(); });
    connect(cbScript, &QCheckBox::toggled, this, [this] { cbScriptClick(); });
    connect(eCardLabel, &QLineEdit::textChanged, this, [this] { eCardLabelChange(); });
    connect(eBootLabel, &QLineEdit::textChanged, this, [this] { eBootLabelChange(); });
    connect(eScript, &QLineEdit::textChanged, this, [this] { eScriptChange(); });
    // A user's action on a marker control counts as a change of the card.
    for (QCheckBox* box : {cbCardLabel, cbBootLabel, cbScript})
        connect(box, &QCheckBox::clicked, this, [this] { MarkUserChange(); });
    for (QLineEdit* e : {eCardLabel, eBootLabel, eScript})
        connect(e, &QLineEdit::textEdited, this, [this] { MarkUserChange(); });
    connect(sbCHDK, &QToolButton::clicked, this, [this] {
        MarkUserChange();
        sbCHDKClick();
    });
    connect(sbML, &QToolButton::clicked, this, [this] {
        MarkUserChange();
        sbMLClick();
    });
    connect(sbCHDK, &TImageButton::doubleClicked, this, [this] { sbCHDKDblClick(); });
    connect(sbML, &TImageButton::doubleClicked, this, [this] { sbMLDblClick(); });
    connect(sbML, &TImageButton::rightPressed, this, [this] { sbMLMouseDown(); });
    connect(rbDevelop, &QRadioButton::clicked, this, [this] { rbDevelopClick(); });
    connect(rbNightly, &QRadioButton::clicked, this, [this] { rbNightlyClick(); });
    connect(cbDevelop, QOverload<int>::of(&QComboBox::activated), this, [this](int) { cbDevelopChange(); });
    connect(cbNightly, QOverload<int>::of(&QComboBox::activated), this, [this](int) { cbNightlyChange(); });
    connect(tHTMLqueue, &QTimer::timeout, this, [this] { tHTMLQueueTimer(); });
    connect(HTTP, &THTTPGet::OnProgress, this, &TfMain::HTTPProgress);
    connect(HTTP, &THTTPGet::OnDoneFile, this, &TfMain::HTTPDoneFile);
    connect(HTTP, &THTTPGet::OnDoneString, this, &TfMain::HTTPDoneString);
    connect(HTTP, &THTTPGet::OnError, this, &TfMain::HTTPError);

    formatShortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_F), this);
    formatShortcut->setAutoRepeat(false);  // a held key formats once
    formatShortcut->setContext(Qt::WindowShortcut);
    connect(formatShortcut, &QShortcut::activated, this, [this] { FormShortCut(); });
    ConnectBuildSources();
    ConnectCardCheck();
}

void TfMain::FormCreate()
{
    ExtractDLLs();
    RegRead();
    bRefreshClick();
    setWindowTitle(QString::fromLatin1(appconfig::kVersionTitle));

    std::string note;
    const QString program = QCoreApplication::applicationFilePath().isEmpty() ? QStringLiteral("flintor")
                                                                              : QCoreApplication::applicationFilePath();
    WorkFolder = platform::MakeWorkFolder(1, program.toStdString(), &note);
    if (!note.empty())
        erslog(QString::fromStdString(note));

    // A Save that was cut short is finished or undone before anything else.
    RecoverCards();

    if (!WorkFolder.empty())
        QueueCatalogues();
    // Once the window shows: a check that was interrupted left data to put back.
    QTimer::singleShot(0, this, [this] { OfferInterruptedChecks(); });

    deviceMonitor_ = new platform::DeviceMonitor(this);
    if (deviceMonitor_->start())
        connect(deviceMonitor_, &platform::DeviceMonitor::deviceEvent, this, &TfMain::OnDeviceEvent);
    deviceRefresh_ = new QTimer(this);
    deviceRefresh_->setSingleShot(true);
    deviceRefresh_->setInterval(700);
    connect(deviceRefresh_, &QTimer::timeout, this, [this] {
        // Refresh by itself only when the cards changed and that loses
        // nothing (no marker changed since the load, no save, no dialog);
        // the loaded card stays selected while it is there.
        if (saving || markersChanged || QApplication::activeModalWidget() || !CardListChanged())
            return;
        RefreshKeepingCard();
    });
}

void TfMain::FormClose()
{
    ShowHideML(false);
    RegWrite();
}

void TfMain::closeEvent(QCloseEvent* event)
{
    if (saving) {
        event->ignore();  // the card is being written
        return;
    }
    FormClose();
    QWidget::closeEvent(event);
}

void TfMain::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    PlaceStatusBar();
}

// ---------------------------------------------------------------- status bar

void TfMain::slog(const QString& text, int panel)
{
    if (panel < 0 || panel >= StatusBar->panelCount())
        return;
    StatusBar->setBold(false);
    StatusBar->setPanelOwnerDrawn(2, false);
    const QString shown = QLatin1Char(' ') + text + QLatin1Char(' ');
    StatusBar->setPanelText(panel, shown);
    StatusBar->setPanelWidth(panel, QFontMetrics(StatusBar->font()).horizontalAdvance(shown + QLatin1Char('m')));
    StatusBar->repaint();
}

void TfMain::log(const QString& text)
{
    slog(text, 3);
}

void TfMain::slogR()
{
    slog(QStringLiteral("Ready."), 2);
    log(QString());
}

void TfMain::erslog(const QString& text)
{
    StatusBar->setBold(true);
    StatusBar->setPanelOwnerDrawn(2, true);
    StatusBar->setPanelText(3, QLatin1Char(' ') + QString::fromStdString(core::StripTags(text.toStdString())));
    StatusBar->repaint();
}

void TfMain::StatusBarDrawPanel(TStatusBar* bar, QPainter& painter, int panel, const QRect& rect)
{
    if (panel != 2)
        return;
    painter.fillRect(rect, QColor(255, 0, 0));
    painter.setPen(QColor(255, 255, 0));
    painter.setFont(bar->font());
    // "ERROR" at x 63, y 3 of the bar (the top of the text).
    const QFontMetrics fm(bar->font());
    painter.drawText(QPoint(63, 3 + fm.ascent()), QStringLiteral("ERROR"));
    if (bar->panel(2).width != 55) {
        bar->setPanelWidth(2, 55);
        QTimer::singleShot(0, bar, [bar] { bar->update(); });
    }
}

// ---------------------------------------------------------------- window

void TfMain::ShowHideML(bool show)
{
    if (show) {
        setFixedHeight(gbML->height() + kExpandExtra);
        gbML->show();
    } else {
        gbML->hide();
        setFixedHeight(kCollapsedHeight);
    }
    PlaceStatusBar();
}

void TfMain::PlaceStatusBar()
{
    // Also while hidden, when no resize event arrives yet.
    if (StatusBar)
        StatusBar->setGeometry(0, height() - StatusBar->height(), width(), StatusBar->height());
}

void TfMain::FormShortCut()
{
    if (saving)
        return;  // never in the middle of a Save
    const int index = cbDrives->currentIndex();
    const std::string name = index < 0 ? std::string() : core::EntryVolumeName(cbDrives->currentText().toStdString());
    if (name.empty() || !formatCard) {
        erslog(QStringLiteral("Error occurred!"));
        return;
    }
    const int result = formatCard(name);
    switch (result) {
    case platform::FormatNotFormatable:
        erslog(QStringLiteral("Drive is not formatable"));
        break;
    case platform::FormatCancelled:
        erslog(QStringLiteral("User canceled formatting the drive"));
        break;
    case platform::FormatError:
        break;
    default:
        bRefreshClick();
        if (index < cbDrives->count())
            cbDrives->setCurrentIndex(index);
        cbDrivesChange();
        log(QStringLiteral("Card has been formatted"));
        break;
    }
}
