#include "cardops/journal.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "core/digest.h"
#include "platform/cardfiles.h"

namespace fs = std::filesystem;

namespace cardops {

namespace {

constexpr char kFirstLine[] = "flintor journal 1";
constexpr size_t kRegionBytes = static_cast<size_t>(core::kLoadSectors) * core::kSectorSize;

const char* OperationWord(Operation o)
{
    switch (o) {
    case Operation::Install:
        return "install";
    case Operation::Remove:
        return "remove";
    case Operation::Boot:
        break;
    }
    return "boot";
}

const char* PhaseWord(Phase p)
{
    switch (p) {
    case Phase::Unpack:
        return "unpack";
    case Phase::Commit:
        return "commit";
    case Phase::Cleanup:
        return "cleanup";
    case Phase::Files:
        return "files";
    case Phase::Boot:
        break;
    }
    return "boot";
}

// Names may hold spaces and any byte: those that would break a line's
// fields are written as %XX.
std::string Escape(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c == '%' || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Unescape(const std::string& text, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out->push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || HexDigit(text[i + 1]) < 0 || HexDigit(text[i + 2]) < 0)
            return false;
        out->push_back(static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
        i += 2;
    }
    return true;
}

std::string RegionHex(const Region& r)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(kRegionBytes * 2);
    for (size_t i = 0; i < kRegionBytes; ++i) {
        out += hex[r[i] >> 4];
        out += hex[r[i] & 15];
    }
    return out;
}

bool ParseRegion(const std::string& text, Region* r)
{
    if (text.size() != kRegionBytes * 2)
        return false;
    r->fill(0);
    for (size_t i = 0; i < kRegionBytes; ++i) {
        const int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        (*r)[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

// "~", the token and four hex digits, then ".TMP" or ".OLD": the names an
// install gives its own files, and nothing else, may be named by a journal.
bool TokenName(const std::string& name, const std::string& token)
{
    if (name.size() != 12 || name[0] != '~' || name.compare(1, 3, token) != 0)
        return false;
    for (size_t i = 4; i < 8; ++i)
        if (HexDigit(name[i]) < 0)
            return false;
    return name.compare(8, 4, ".TMP") == 0 || name.compare(8, 4, ".OLD") == 0;
}

bool Fail(std::string* why, const std::string& text)
{
    if (why)
        *why = text;
    return false;
}

}  // namespace

bool SafeRelativePath(const std::string& path)
{
    if (path.empty() || path.front() == '/')
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos)
            return false;
        start = end + 1;
    }
    return true;
}

std::string JournalPath(const std::string& workFolder, const std::string& identity)
{
    const std::string hash = core::Sha256Hex(identity.data(), identity.size()).substr(0, 32);
    return (fs::path(workFolder) / "journal" / (hash + ".journal")).string();
}

std::string EncodeJournal(const Journal& j)
{
    std::ostringstream out;
    out << kFirstLine << "\n";
    out << "identity " << Escape(j.identity) << "\n";
    out << "name " << Escape(j.name) << "\n";
    out << "operation " << OperationWord(j.operation) << "\n";
    out << "phase " << PhaseWord(j.phase) << "\n";
    out << "token " << j.token << "\n";
    out << "layout " << j.layoutIndex << "\n";
    out << "before " << RegionHex(j.before) << "\n";
    out << "after " << RegionHex(j.after) << "\n";
    for (const std::string& folder : j.madeFolders)
        out << "folder " << Escape(folder) << "\n";
    for (const JournalFile& f : j.files)
        out << "file " << Escape(f.path) << " " << f.temp << " " << (f.aside.empty() ? "-" : f.aside) << " " << f.size
            << " " << f.crc << "\n";
    for (const std::string& r : j.removals)
        out << "remove " << Escape(r) << "\n";
    out << "end\n";
    return out.str();
}

bool DecodeJournal(const std::string& text, Journal* journal, std::string* why)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kFirstLine)
        return Fail(why, "not a journal of this program");
    Journal j;
    bool ended = false, before = false, after = false, phase = false, operation = false;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key, value;
        fields >> key;
        if (key == "end") {
            ended = true;
            break;
        }
        fields >> value;
        std::string plain;
        if (!Unescape(value, &plain))
            return Fail(why, "damaged line: " + key);
        if (key == "identity") {
            j.identity = plain;
        } else if (key == "name") {
            j.name = plain;
        } else if (key == "operation") {
            operation = true;
            if (plain == "install")
                j.operation = Operation::Install;
            else if (plain == "remove")
                j.operation = Operation::Remove;
            else if (plain != "boot")
                return Fail(why, "unknown operation " + plain);
        } else if (key == "phase") {
            for (Phase p : {Phase::Boot, Phase::Unpack, Phase::Commit, Phase::Cleanup, Phase::Files})
                if (plain == PhaseWord(p)) {
                    j.phase = p;
                    phase = true;
                }
            if (!phase)
                return Fail(why, "unknown phase " + plain);
        } else if (key == "token") {
            j.token = plain;
            for (char c : plain)
                if (HexDigit(c) < 0)
                    return Fail(why, "damaged token");
        } else if (key == "layout") {
            j.layoutIndex = std::atoi(plain.c_str());
        } else if (key == "before") {
            before = ParseRegion(plain, &j.before);
        } else if (key == "after") {
            after = ParseRegion(plain, &j.after);
        } else if (key == "folder" || key == "remove") {
            if (!SafeRelativePath(plain))
                return Fail(why, "a name outside the card: " + plain);
            (key == "folder" ? j.madeFolders : j.removals).push_back(plain);
        } else if (key == "file") {
            JournalFile f;
            f.path = plain;
            std::string aside;
            if (!(fields >> f.temp >> aside >> f.size >> f.crc) || !SafeRelativePath(f.path))
                return Fail(why, "damaged file line");
            f.aside = aside == "-" ? std::string() : aside;
            if (!TokenName(f.temp, j.token) || (!f.aside.empty() && !TokenName(f.aside, j.token)))
                return Fail(why, "a temporary name without the journal's token: " + f.temp);
            j.files.push_back(f);
        } else {
            return Fail(why, "unknown line: " + key);
        }
    }
    if (!ended || !before || !after || !phase || !operation || j.identity.empty() || j.token.size() != 3)
        return Fail(why, "the journal is not complete");
    *journal = std::move(j);
    return true;
}

bool WriteJournal(const std::string& path, const Journal& journal, std::string* why)
{
    const std::string folder = fs::path(path).parent_path().string();
    std::string error;
    if (!platform::MakeFolder(folder, platform::Readers::OwnerOnly, &error))
        return Fail(why, "cannot make " + folder + ": " + error);
    // Written whole and flushed under another name, then renamed over the
    // last one: a crash leaves the old journal or the new, never half of one.
    const std::string part = path + ".new";
    platform::NewFile file(part, platform::NewFile::Create::Replace, platform::Readers::OwnerOnly);
    if (!file.IsOpen())
        return Fail(why, "cannot write " + part + ": " + file.Error());
    const std::string text = EncodeJournal(journal);
    const bool written = file.Write(text.data(), text.size()) && file.Flush();
    error = file.Error();
    const bool closed = file.Close();
    if (!written || !closed) {
        platform::RemoveFile(part, nullptr);
        return Fail(why, "cannot write " + part + ": " + (written ? std::string(std::strerror(EIO)) : error));
    }
    std::error_code ec;
    fs::rename(part, path, ec);
    if (ec) {
        platform::RemoveFile(part, nullptr);
        return Fail(why, "cannot rename " + part + ": " + ec.message());
    }
    if (!platform::FlushFolder(folder, &error))
        return Fail(why, "cannot flush " + folder + ": " + error);
    return true;
}

bool ReadJournal(const std::string& path, Journal* journal, std::string* why)
{
    platform::FileReader file(path);
    if (!file.IsOpen())
        return Fail(why, "cannot read " + path + ": " + file.Error());
    std::string text;
    char buffer[8192];
    int64_t n;
    while ((n = file.Read(buffer, sizeof buffer)) > 0 && text.size() < (1u << 24))
        text.append(buffer, static_cast<size_t>(n));
    return DecodeJournal(text, journal, why);
}

bool RemoveJournal(const std::string& path, std::string* why)
{
    std::string error;
    if (!platform::RemoveFile(path, &error))
        return Fail(why, "cannot remove " + path + ": " + error);
    if (!platform::FlushFolder(fs::path(path).parent_path().string(), &error))
        return Fail(why, "cannot flush the journal folder: " + error);
    return true;
}

}  // namespace cardops
