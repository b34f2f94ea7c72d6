// Start-up options, the environment both programs read, and the program's
// fixed addresses.
#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace appconfig {

inline constexpr const char* kProgramTitle = "Flintor";
inline constexpr const char* kVersionTitle = "Flintor 1.51";

// The build-catalogue server; --catalogue-host or FLINTOR_CATALOGUE_HOST
// replace it (mirrors and tests) with HOST[:PORT] or a whole base address
// such as https://mirror.example/path.
inline constexpr const char* kCatalogueHost = "catalogue.flintor.example";

// Addresses behind the about strip's links.
inline constexpr const char* kAuthorUrl = "https://tolvane.example/";
inline constexpr const char* kWebsiteUrl = "https://flintor.example/";

// The add-on projects' pages, opened by a double click on their buttons.
inline constexpr const char* kChdkUrl = "https://chdk.fandom.com/wiki/CHDK";
inline constexpr const char* kMagicLanternUrl = "https://www.magiclantern.fm/";

struct Options {
    bool includeLoop = false;
    std::vector<std::string> images;  // --image FILE (repeatable): card images listed as cards
    QString catalogueHost = QString::fromLatin1(kCatalogueHost);
    QString localBuild;  // --build FILE.zip: an archive the user already has
    QString backend;     // --backend auto|direct|udisks2 ("" : FLINTOR_BACKEND, else auto)
    bool showHelp = false;
    QString error;  // a bad command line
};

// Reads the command line (without the program name) and the environment
// variables FLINTOR_INCLUDE_LOOP and FLINTOR_CATALOGUE_HOST. Options win over
// the environment.
Options ParseOptions(const QStringList& arguments);

QString UsageText();

// FLINTOR_INCLUDE_LOOP: "1", "true" or "yes" (any letter case) lists loop
// devices too.
bool IncludeLoopFromEnvironment();
// FLINTOR_CATALOGUE_HOST, or the built-in server when it is unset or empty.
// A value that is no valid host or base address is refused: the built-in
// server is returned and *error says why.
QString CatalogueHostFromEnvironment(QString* error);

// True for HOST[:PORT] (letters, digits, dots, hyphens) and for a base
// address http://HOST[:PORT][/PATH] or https://... (scheme in any letter
// case; no user, query or fragment).
bool ValidCatalogueHost(const QString& host);

// Address of a catalogue file ("develop.inf", "legacy.inf") on the
// catalogue server: "http://" + HOST[:PORT] + "/ML/" + file, or, for a base
// address, base + "/ML/" + file.
QString CatalogueUrl(const QString& host, const QString& file);

}  // namespace appconfig
