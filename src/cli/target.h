// The card a command works on: finding it among the listed cards or making
// an image file one, loading its boot region, reaching its files, and
// telling how a Save ended. Shared by every command of flintor-cli.
#pragma once

#include <QJsonValue>
#include <QString>

#include <string>

#include "cardops/bootregion.h"
#include "cardops/savesequence.h"
#include "cli/arguments.h"
#include "core/markerpresets.h"
#include "platform/volumes.h"

namespace cli {

struct Card {
    platform::Volume volume;
    cardops::Region region{};
    core::MarkerState state;
};

// The window's own work folder: catalogues, archives, backups and journals
// are shared. Made (and its note shown) once per run.
std::string WorkFolder();

// A Save of the card (or of every present card) that was cut short is
// finished or undone, and the user is told what was done.
void RecoverCard(const std::string& name);
void RecoverPresentCards();

// Finds the target among the listed cards, by name or device path, or makes
// the image file it names a card. Usage errors go to *usage.
bool ResolveTarget(const Args& args, const std::string& target, std::string* name, std::string* error, bool* usage);
// Loads a listed card as the window does (cardops::LoadCard).
bool LoadCard(const std::string& name, Card* card, std::string* error);
// Resolves, recovers and loads the one TARGET of a command; ExitOk or the
// exit status of the failure, already told.
int OpenTarget(const Args& args, Card* card, std::string* name);
// OpenTarget, then where the card's files can be seen (*root), mounting it
// when the backend can; a failure is told as "Cannot reach the files of ...".
int OpenTargetFiles(const Args& args, Card* card, std::string* name, std::string* root);
// Where the card's files can be seen, mounting it when the backend can; ""
// with *why when they cannot be reached.
std::string FilesRoot(const std::string& name, const platform::Volume& volume, std::string* why);

// A Save of the card's loaded markers, with the work folder for its backup.
cardops::SaveRequest RequestFor(const std::string& name, const Card& card, const std::string& workFolder);
// Progress (on a terminal) and notes of a Save, on stderr.
cardops::SaveHooks Hooks();
// Tells how a Save ended; done is the text of a success.
int Saved(const cardops::SaveResult& result, const std::string& done);

QString Q(const std::string& text);
// An array or object, indented, on stdout.
void PrintJson(const QJsonValue& value);

}  // namespace cli
