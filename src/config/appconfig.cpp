#include "config/appconfig.h"

#include "platform/cardaccess.h"

#include <QFileInfo>

#include <QRegularExpression>
#include <QUrl>

namespace appconfig {

namespace {
bool ValidHost(const QString& host)
{
    // host or host:port; letters, digits, dots, hyphens, or an IPv4 address.
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9.-]+(:[0-9]{1,5})?$"));
    return re.match(host).hasMatch();
}

bool IsBaseAddress(const QString& text)
{
    const QString lower = text.left(8).toLower();
    return lower.startsWith(QLatin1String("http://")) || lower.startsWith(QLatin1String("https://"));
}
}  // namespace

bool ValidCatalogueHost(const QString& host)
{
    if (!IsBaseAddress(host))
        return ValidHost(host);
    const QUrl url(host, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return false;
    // The authority must be a plain host[:port] as above.
    const QString authority = host.mid(host.indexOf(QLatin1String("://")) + 3).section(QLatin1Char('/'), 0, 0);
    return ValidHost(authority);
}

QString CatalogueUrl(const QString& host, const QString& file)
{
    if (!IsBaseAddress(host))
        return QStringLiteral("http://") + host + QStringLiteral("/ML/") + file;
    QString base = host;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base + QStringLiteral("/ML/") + file;
}

namespace {

// Whether arguments[*i] is the option `name`, given as "NAME VALUE" or
// "NAME=VALUE" (all after the first "=": a value may hold one). *value is
// empty when it is missing.
bool OptionValue(const QStringList& arguments, int* i, const QString& name, QString* value)
{
    const QString& arg = arguments[*i];
    if (arg.startsWith(name + QLatin1Char('='))) {
        *value = arg.mid(name.size() + 1);
        return true;
    }
    if (arg != name)
        return false;
    value->clear();
    if (*i + 1 < arguments.size())
        *value = arguments[++*i];
    return true;
}

void AddImage(const QString& path, Options* options)
{
    if (!QFileInfo(path).isFile())
        options->error = QStringLiteral("No such image file: %1").arg(path);
    else
        options->images.push_back(path.toLocal8Bit().toStdString());
}

}  // namespace

Options ParseOptions(const QStringList& arguments)
{
    Options options;
    options.includeLoop = IncludeLoopFromEnvironment();
    options.catalogueHost = CatalogueHostFromEnvironment(&options.error);
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        QString value;
        if (arg == QLatin1String("--include-loop")) {
            options.includeLoop = true;
        } else if (OptionValue(arguments, &i, QStringLiteral("--catalogue-host"), &value)) {
            if (ValidCatalogueHost(value))
                options.catalogueHost = value;
            else
                options.error =
                    QStringLiteral("--catalogue-host needs HOST[:PORT] or a base address http(s)://HOST[:PORT][/PATH]");
        } else if (OptionValue(arguments, &i, QStringLiteral("--build"), &value)) {
            if (value.isEmpty())
                options.error = QStringLiteral("--build needs FILE.zip");
            else
                options.localBuild = value;
        } else if (OptionValue(arguments, &i, QStringLiteral("--image"), &value)) {
            if (value.isEmpty())
                options.error = QStringLiteral("--image needs FILE");
            else
                AddImage(value, &options);
        } else if (OptionValue(arguments, &i, QStringLiteral("--backend"), &value)) {
            platform::BackendChoice choice;
            if (platform::ParseBackendChoice(value.toStdString(), &choice))
                options.backend = value;
            else
                options.error = QStringLiteral("--backend needs auto, direct or udisks2");
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            options.showHelp = true;
        } else if (arg.startsWith(QLatin1String("-platform")) || arg.startsWith(QLatin1String("-style"))) {
            // Qt's own options are taken by QApplication.
        } else if (!arg.startsWith(QLatin1Char('-'))) {
            // A file given on its own (the desktop's "open with") is an image.
            AddImage(arg, &options);
        } else {
            options.error = QStringLiteral("Unknown option: %1").arg(arg);
        }
    }
    return options;
}

bool IncludeLoopFromEnvironment()
{
    const QByteArray value = qgetenv("FLINTOR_INCLUDE_LOOP").toLower();
    return value == "1" || value == "true" || value == "yes";
}

QString CatalogueHostFromEnvironment(QString* error)
{
    const QString value = QString::fromLocal8Bit(qgetenv("FLINTOR_CATALOGUE_HOST"));
    if (value.isEmpty())
        return QString::fromLatin1(kCatalogueHost);
    if (ValidCatalogueHost(value))
        return value;
    if (error)
        *error = QStringLiteral("FLINTOR_CATALOGUE_HOST is not a host name: %1").arg(value);
    return QString::fromLatin1(kCatalogueHost);
}

QString UsageText()
{
    return QStringLiteral("Usage: flintor [--include-loop] [--catalogue-host HOST[:PORT]|URL] [--build FILE.zip]\n"
                          "               [--backend auto|direct|udisks2] [--image FILE]... [FILE]...\n"
                          "  --include-loop              list loop devices too (disk images, tests);\n"
                          "                              same as FLINTOR_INCLUDE_LOOP=1\n"
                          "  --catalogue-host HOST[:PORT]  fetch the build catalogues from this server;\n"
                          "  --catalogue-host URL        or from this base address, e.g.\n"
                          "                              https://mirror.example/path (gets .../ML/develop.inf);\n"
                          "                              same as FLINTOR_CATALOGUE_HOST\n"
                          "  --build FILE.zip            use this build archive instead of a listed build\n"
                          "  --image FILE                list a card image (bare volume, MBR or GPT) as\n"
                          "                              a card; may be given more than once (a FILE\n"
                          "                              given without an option is taken the same way)\n"
                          "  --backend auto|direct|udisks2  how cards are reached: udisks2 asks the system\n"
                          "                              (no root needed; polkit may ask for a password),\n"
                          "                              direct opens the devices (root or the disk group),\n"
                          "                              auto takes udisks2 when it runs; same as\n"
                          "                              FLINTOR_BACKEND\n"
                          "Environment: SSL_CERT_FILE names a CA file trusted instead of the system store.\n");
}

}  // namespace appconfig
