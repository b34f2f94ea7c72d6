#include "ui/appconfig.h"

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

Options ParseOptions(const QStringList& arguments)
{
    Options options;
    const QByteArray envLoop = qgetenv("FLINTOR_INCLUDE_LOOP");
    options.includeLoop = envLoop == "1" || envLoop.toLower() == "true" || envLoop.toLower() == "yes";
    const QString envHost = QString::fromLocal8Bit(qgetenv("FLINTOR_CATALOGUE_HOST"));
    if (!envHost.isEmpty()) {
        if (ValidCatalogueHost(envHost))
            options.catalogueHost = envHost;
        else
            options.error = QStringLiteral("FLINTOR_CATALOGUE_HOST is not a host name: %1").arg(envHost);
    }
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("--include-loop")) {
            options.includeLoop = true;
        } else if (arg == QLatin1String("--catalogue-host") || arg.startsWith(QLatin1String("--catalogue-host="))) {
            QString value;
            if (arg.startsWith(QLatin1String("--catalogue-host=")))
                value = arg.mid(17);  // all of it: a base address may hold "="
            else if (i + 1 < arguments.size())
                value = arguments[++i];
            if (!ValidCatalogueHost(value)) {
                options.error = QStringLiteral("--catalogue-host needs HOST[:PORT] or a base address http(s)://HOST[:PORT][/PATH]");
                continue;
            }
            options.catalogueHost = value;
        } else if (arg == QLatin1String("--build") || arg.startsWith(QLatin1String("--build="))) {
            QString value;
            if (arg.startsWith(QLatin1String("--build=")))
                value = arg.mid(8);
            else if (i + 1 < arguments.size())
                value = arguments[++i];
            if (value.isEmpty()) {
                options.error = QStringLiteral("--build needs FILE.zip");
                continue;
            }
            options.localBuild = value;
        } else if (arg == QLatin1String("--image") || arg.startsWith(QLatin1String("--image="))) {
            QString value;
            if (arg.contains(QLatin1Char('=')))
                value = arg.section(QLatin1Char('='), 1);
            else if (i + 1 < arguments.size())
                value = arguments[++i];
            if (value.isEmpty()) {
                options.error = QStringLiteral("--image needs FILE");
                continue;
            }
            if (!QFileInfo(value).isFile()) {
                options.error = QStringLiteral("No such image file: %1").arg(value);
                continue;
            }
            options.images.push_back(value.toLocal8Bit().toStdString());
        } else if (arg == QLatin1String("--backend") || arg.startsWith(QLatin1String("--backend="))) {
            QString value;
            if (arg.startsWith(QLatin1String("--backend=")))
                value = arg.mid(10);
            else if (i + 1 < arguments.size())
                value = arguments[++i];
            platform::BackendChoice choice;
            if (!platform::ParseBackendChoice(value.toStdString(), &choice)) {
                options.error = QStringLiteral("--backend needs auto, direct or udisks2");
                continue;
            }
            options.backend = value;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            options.showHelp = true;
        } else if (arg.startsWith(QLatin1String("-platform")) || arg.startsWith(QLatin1String("-style"))) {
            // Qt's own options are taken by QApplication.
        } else if (!arg.startsWith(QLatin1Char('-'))) {
            // A file given on its own (the desktop's "open with") is an image.
            if (!QFileInfo(arg).isFile()) {
                options.error = QStringLiteral("No such image file: %1").arg(arg);
                continue;
            }
            options.images.push_back(arg.toLocal8Bit().toStdString());
        } else {
            options.error = QStringLiteral("Unknown option: %1").arg(arg);
        }
    }
    return options;
}

QString UsageText()
{
    return QStringLiteral(
        "Usage: flintor [--include-loop] [--catalogue-host HOST[:PORT]|URL] [--build FILE.zip]\n"
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
