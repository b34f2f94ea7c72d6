// Where builds come from: the two catalogues on the catalogue server, their
// copies in the work folder, the archives they name, and archives the user
// already has. The window (through its fetch queue) and the command line
// (with blocking fetches) take every decision here, so they agree on what a
// fetch must bring, what is kept and what is installed.
//
// Work folder layout: "develop.inf" and "legacy.inf" are the catalogues of the
// last good fetch, "<name>.inf.dl" a catalogue on its way, archives keep the
// file name of their address ("<name>.part" while arriving); "backups/" and
// "journal/" belong to the card operations.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/catalogue.h"

namespace buildsource {

enum class Catalogue { Develop, Legacy };

// "develop.inf" or "legacy.inf".
std::string CatalogueFile(Catalogue which);
// The catalogue's address on the catalogue server (host: HOST[:PORT] or a
// base address http(s)://HOST[:PORT][/PATH]).
std::string CatalogueAddress(const std::string& host, Catalogue which);
// Where a fetch of the catalogue is written before it is checked.
std::string CatalogueDownloadPath(const std::string& workFolder, Catalogue which);
// The copy of the last good fetch.
std::string CachedCataloguePath(const std::string& workFolder, Catalogue which);

// What a catalogue fetch brought, in fetchedFile. A file that holds at least
// one build becomes the cached copy (replacing the old one) and *builds gets
// its builds. Anything else (nothing, an error or portal page, junk) is a
// failed fetch: the file is removed, the cached copy stays, and *cause says
// why ("empty answer", "not a build catalogue").
bool AcceptFetchedCatalogue(const std::string& workFolder, Catalogue which, const std::string& fetchedFile,
                            std::vector<core::TPorts>* builds, std::string* cause);
// The builds of the cached copy; false when there is none.
bool CachedCatalogue(const std::string& workFolder, Catalogue which, std::vector<core::TPorts>* builds);

// The file a build's archive is kept under in the work folder. Empty (with
// why) when its address names no file that can be kept there: no name, "."
// or "..", or a name the work folder uses for something else (a catalogue,
// a partial download).
std::string ArchivePath(const std::string& workFolder, const core::TPorts& build, std::string* why);
// True when the kept archive can be installed without fetching it again: it
// is at least as new as the catalogue's stamp and, when the catalogue names a
// digest, has that digest.
bool ArchiveIsCurrent(const std::string& path, const core::TPorts& build);
// True when the catalogue names no digest or the file has it; otherwise *why
// names the cause ("cannot be read", "SHA-256 digest does not match the
// catalogue").
bool ArchiveHasDigest(const std::string& path, const std::string& sha256, std::string* why);

// The build named name (letter case ignored) in builds; nullptr when none.
const core::TPorts* FindBuild(const std::vector<core::TPorts>& builds, const std::string& name);

// An archive the user already has: copied into the work folder, the copy
// checked as a whole build (zip/buildcheck), and only then given the
// archive's name there. What is installed later is that checked copy.
// *kept gets its path. False with *why when it is no .zip file, cannot be
// copied or is not an installable build (the copy is removed then).
bool KeepLocalBuild(const std::string& workFolder, const std::string& path, std::string* kept, std::string* why,
                    const std::function<void(int percent)>& progress = {});

// Blocking fetches for the command line, with the same checks as the window's.
// The catalogue from the server; when the server fails or sends no
// catalogue, the cached copy is used and *note says so. False (with why) when
// there is neither.
bool FetchCatalogue(const std::string& host, const std::string& workFolder, Catalogue which,
                    std::vector<core::TPorts>* builds, std::string* note, std::string* why);
// The build's archive in the work folder, fetched unless the kept copy is
// current; a fetched archive must have the catalogue's digest. *path gets it.
bool FetchArchive(const core::TPorts& build, const std::string& workFolder, std::string* path, std::string* why);

}  // namespace buildsource
