// The controls of the main window, at their fixed places.
#include "config/appconfig.h"
#include "net/httpget.h"
#include "ui/buttonart.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"
#include "ui/urllink.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QValidator>
#include <iterator>

namespace {

// Turns typed text to upper case; the length is limited by the edit.
class UpperCaseValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override
    {
        input = input.toUpper();
        return Acceptable;
    }
    void fixup(QString& input) const override { input = input.toUpper(); }
};

template <typename T> T* Place(T* widget, int x, int y, int w, int h)
{
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLabel* PlaceLabel(QWidget* parent, const QString& text, int x, int y, bool bold = false)
{
    auto* label = new QLabel(text, parent);
    if (bold) {
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
    }
    label->move(x, y);
    label->adjustSize();
    return label;
}

QLineEdit* UpperEdit(QWidget* parent, int maxLength, const QString& hint)
{
    auto* edit = new QLineEdit(parent);
    edit->setMaxLength(maxLength);
    edit->setValidator(new UpperCaseValidator(edit));
    edit->setToolTip(hint);
    edit->setEnabled(false);
    return edit;
}

}  // namespace

void TfMain::BuildLayout()
{
    cbDrives = Place(new QComboBox(this), 5, 7, 209, 21);
    cbDrives->setObjectName(QStringLiteral("cbDrives"));
    cbDrives->setToolTip(QStringLiteral("Choose card"));
    bRefresh = Place(new QPushButton(QStringLiteral("&Refresh"), this), 220, 5, 50, 25);
    bRefresh->setToolTip(QStringLiteral("Check system for cards"));
    bSave = Place(new QPushButton(QStringLiteral("&Save"), this), 276, 5, 50, 25);
    bSave->setToolTip(QStringLiteral("Save boot record"));
    bSave->setEnabled(false);

    rgFileSystem = Place(new QGroupBox(QStringLiteral("File system"), this), 5, 33, 73, 96);
    // Mnemonics: none may take F, Alt+F formats the card.
    const char* items[3] = {"F&AT", "FAT&32", "e&xFAT"};
    for (int i = 0; i < 3; ++i)
        rgFileSystemItems[i] =
            Place(new QRadioButton(QString::fromLatin1(items[i]), rgFileSystem), 8, 18 + i * 24, 62, 20);
    rgFileSystem->setEnabled(false);

    gbStrings = Place(new QGroupBox(QStringLiteral("Strings"), this), 84, 33, 242, 96);
    cbCardLabel = Place(new QCheckBox(QStringLiteral("&EOS_DEVELOP"), gbStrings), 16, 19, 89, 17);
    cbCardLabel->setToolTip(QStringLiteral("Make MagicLantern bootable"));
    cbBootLabel = Place(new QCheckBox(QStringLiteral("&BOOTDISK"), gbStrings), 16, 44, 89, 17);
    cbBootLabel->setToolTip(QStringLiteral("Make CHDK or MagicLantern bootable"));
    cbScript = Place(new QCheckBox(QStringLiteral("SCR&IPT"), gbStrings), 16, 69, 89, 17);
    cbScript->setToolTip(QStringLiteral("Make script autostart"));
    for (QCheckBox* box : {cbCardLabel, cbBootLabel, cbScript})
        box->setEnabled(false);
    eCardLabel = Place(UpperEdit(gbStrings, 11, QStringLiteral("Volume name (11 chars)")), 109, 17, 90, 21);
    eBootLabel = Place(UpperEdit(gbStrings, 8, QStringLiteral("Boot string (8 chars)")), 109, 42, 90, 21);
    eScript = Place(UpperEdit(gbStrings, 6, QStringLiteral("Script string (6 chars)")), 109, 67, 90, 21);
    lVol = Place(new QLabel(gbStrings), 205, 20, 30, 13);
    lBoot = Place(new QLabel(gbStrings), 205, 45, 30, 13);
    lScript = Place(new QLabel(gbStrings), 205, 70, 30, 13);

    gbContent = Place(new QGroupBox(QStringLiteral("Content"), this), 5, 130, 321, 79);
    // Four rows of 14 pixels: the three of the card's files and folders, and
    // the camera that took the card's photos across the whole width.
    constexpr int kRow[4] = {16, 30, 44, 58};
    lDiskBoot = PlaceLabel(gbContent, QStringLiteral("DISKBOOT.BIN:"), 8, kRow[0]);
    lCHDKdir = PlaceLabel(gbContent, QStringLiteral("CHDK folder:"), 8, kRow[1]);
    lDCIMdir = PlaceLabel(gbContent, QStringLiteral("DCIM folder:"), 8, kRow[2]);
    lDiskBootOK = PlaceLabel(gbContent, QStringLiteral("."), 88, kRow[0], true);
    lCHDKOK = PlaceLabel(gbContent, QStringLiteral("."), 88, kRow[1], true);
    lDCIMsize = PlaceLabel(gbContent, QStringLiteral("."), 88, kRow[2], true);
    lautoexec = PlaceLabel(gbContent, QStringLiteral("autoexec.bin:"), 164, kRow[0]);
    lMLfolder = PlaceLabel(gbContent, QStringLiteral("ML folder:"), 164, kRow[1]);
    lfir = PlaceLabel(gbContent, QStringLiteral("fir file: "), 164, kRow[2]);
    lAutoexecOK = PlaceLabel(gbContent, QStringLiteral("."), 235, kRow[0], true);
    lMLdirOK = PlaceLabel(gbContent, QStringLiteral("."), 235, kRow[1], true);
    lfirName = PlaceLabel(gbContent, QStringLiteral("."), 235, kRow[2] - 1, true);
    lCamera = PlaceLabel(gbContent, QStringLiteral("Camera:"), 8, kRow[3]);
    lCameraName = PlaceLabel(gbContent, QStringLiteral("."), 88, kRow[3], true);
    // Value labels grow with their text up to the group's edge.
    for (QLabel* value : {lDiskBootOK, lCHDKOK, lDCIMsize})
        value->setFixedWidth(70);
    // Names of files on the card and the model a photo names: as they are,
    // never as HTML.
    lfirName->setTextFormat(Qt::PlainText);
    lCameraName->setTextFormat(Qt::PlainText);
    for (QLabel* value : {lAutoexecOK, lMLdirOK, lfirName})
        value->setFixedWidth(82);
    lCameraName->setFixedWidth(229);

    sbCHDK = Place(new TImageButton(ButtonArt::Chdk, this), 5, 215, 157, 89);
    sbCHDK->setToolTip(QStringLiteral("Make CHDK bootable (double click to visit CHDK website)"));
    sbCHDK->setEnabled(false);
    sbML = Place(new TImageButton(ButtonArt::MagicLantern, this), 168, 215, 158, 89);
    sbML->setToolTip(QStringLiteral("Make MagicLantern bootable (double click to visit MagicLantern website)"));

    gbAbout = Place(new QGroupBox(this), 5, 309, 321, 24);
    lAuthor = PlaceLabel(gbAbout, QStringLiteral("Author:"), 8, 5);
    ulAuthor = new TURLLink(gbAbout);
    ulAuthor->setText(QStringLiteral("Tolvane"));
    {
        QFont f = ulAuthor->font();
        f.setBold(true);
        ulAuthor->setFont(f);
        QPalette pal = ulAuthor->palette();
        pal.setColor(QPalette::WindowText, QColor(0, 0, 128));
        ulAuthor->setPalette(pal);
        f.setUnderline(true);
        ulAuthor->setFocusFont(f);
    }
    ulAuthor->Link = QString::fromLatin1(appconfig::kAuthorUrl);
    ulAuthor->move(48, 5);
    ulAuthor->adjustSize();
    lWebsite = PlaceLabel(gbAbout, QStringLiteral("Flintor's website: "), 116, 5);
    ulWebsite = new TURLLink(gbAbout);
    {
        QString shown = QString::fromLatin1(appconfig::kWebsiteUrl);
        shown.remove(QStringLiteral("https://"));
        if (shown.endsWith(QLatin1Char('/')))
            shown.chop(1);
        ulWebsite->setText(shown);
        QPalette pal = ulWebsite->palette();
        pal.setColor(QPalette::WindowText, QColor(0, 0, 128));
        ulWebsite->setPalette(pal);
        QFont f = ulWebsite->font();
        f.setUnderline(true);
        ulWebsite->setFocusFont(f);
        ulWebsite->FocusColor = QColor(0, 102, 204);  // hot-light
    }
    ulWebsite->Link = QString::fromLatin1(appconfig::kWebsiteUrl);
    ulWebsite->move(212, 5);
    ulWebsite->adjustSize();

    gbML = Place(new QGroupBox(QStringLiteral("Magic Lantern"), this), 5, 335, 321, 124);
    rbDevelop = Place(new QRadioButton(QStringLiteral("&Current development"), gbML), 9, 22, 148, 17);
    {
        QFont f = rbDevelop->font();
        f.setBold(true);
        rbDevelop->setFont(f);
    }
    rbDevelop->setChecked(true);
    rbDevelop->setEnabled(false);
    cbDevelop = Place(new QComboBox(gbML), 163, 20, 147, 21);
    cbDevelop->addItem(QString());
    cbDevelop->setEnabled(false);
    rbNightly = Place(new QRadioButton(QStringLiteral("&Legacy Nightlies"), gbML), 9, 52, 147, 17);
    rbNightly->setEnabled(false);
    cbNightly = Place(new QComboBox(gbML), 163, 50, 147, 21);
    cbNightly->setEnabled(false);
    ProgressBar = Place(new QProgressBar(gbML), 10, 80, 300, 17);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    lZIPname = PlaceLabel(gbML, QStringLiteral("zipname"), 12, 81);
    {
        // Blue as drawn, unless the desktop's theme is dark enough to hide it.
        QPalette pal = lZIPname->palette();
        pal.setColor(QPalette::WindowText,
                     ReadableColor(Qt::blue, pal.color(QPalette::Window), pal.color(QPalette::Link)));
        lZIPname->setPalette(pal);
        lZIPname->setFixedWidth(298);
    }
    lZIPname->hide();
    lML = PlaceLabel(gbML, QStringLiteral("Checking latest ML..."), 12, 103);
    lML->setFixedWidth(298);
    // Both show names from a catalogue or an archive: as they are, never as HTML.
    lML->setTextFormat(Qt::PlainText);
    lZIPname->setTextFormat(Qt::PlainText);
    gbML->hide();

    StatusBar = new TStatusBar(this);
    StatusBar->setGeometry(0, height() - 19, width(), 19);
    StatusBar->drawPanel = [this](TStatusBar* bar, QPainter& painter, int panel, const QRect& rect) {
        StatusBarDrawPanel(bar, painter, panel, rect);
    };

    tHTMLqueue = new QTimer(this);
    tHTMLqueue->setInterval(100);
    tHTMLqueue->setTimerType(Qt::PreciseTimer);
    tHTMLqueue->setSingleShot(false);

    HTTP = new THTTPGet(this);
    HTTP->AcceptTypes = QStringLiteral("*/*");
    HTTP->Agent = QStringLiteral("Flintor HTTPGet");
    HTTP->BinaryData = false;
    HTTP->UseCache = false;
    HTTP->WaitThread = false;

    // Tab follows the reading order: the card, Refresh, each marker with its
    // edit, the two presets, the about links, the build choice, Save last.
    QWidget* const order[] = {cbDrives,
                              bRefresh,
                              rgFileSystemItems[0],
                              rgFileSystemItems[1],
                              rgFileSystemItems[2],
                              cbCardLabel,
                              eCardLabel,
                              cbBootLabel,
                              eBootLabel,
                              cbScript,
                              eScript,
                              sbCHDK,
                              sbML,
                              ulAuthor,
                              ulWebsite,
                              rbDevelop,
                              cbDevelop,
                              rbNightly,
                              cbNightly,
                              bSave};
    for (size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}
