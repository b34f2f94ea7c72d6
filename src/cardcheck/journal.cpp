#include "cardcheck/journal.h"

#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/carddevice.h"
#include "platform/workfolder.h"

namespace fs = std::filesystem;

namespace cardcheck {

namespace {

const char kFirstLine[] = "FLINTOR CARD CHECK JOURNAL 1";
const char kRecordMagic[4] = {'R', 'E', 'C', '1'};
constexpr size_t kRecordHead = 20;

std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

uint64_t Le(const unsigned char* p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void PutLe(unsigned char* p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t Crc(const uint8_t* data, uint32_t length)
{
    return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), data, length));
}

}  // namespace

Journal::~Journal()
{
    if (file_)
        std::fclose(file_);
}

bool Journal::Create(const std::string& path, const JournalHeader& h, std::string* why)
{
    path_ = path;
    if (!platform::PreparePrivateFolder(fs::path(path).parent_path().string(), why))
        return false;
    file_ = std::fopen(path.c_str(), "wbx");
    if (!file_) {
        *why = "Cannot create the journal " + path + (fs::exists(path) ? ": it exists already" : "");
        return false;
    }
    std::map<std::string, std::string> fields = {
        {"run", std::to_string(h.run)}, {"mode", h.mode},         {"name", h.name},
        {"device", h.device},           {"identity", h.identity}, {"card", h.card},
        {"created", h.created},         {"file", h.testFile},     {"size", std::to_string(h.sizeBytes)},
    };
    std::string text = std::string(kFirstLine) + "\n";
    for (const auto& [key, value] : fields)
        text += key + "=" + OneLine(value) + "\n";
    text += ".\n";
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
        *why = "Cannot write the journal " + path;
        return false;
    }
    return Sync(why);
}

bool Journal::Append(uint64_t offset, const uint8_t* data, uint32_t length, std::string* why)
{
    unsigned char head[kRecordHead];
    std::copy(kRecordMagic, kRecordMagic + 4, head);
    PutLe(head + 4, offset, 8);
    PutLe(head + 12, length, 4);
    PutLe(head + 16, Crc(data, length), 4);
    if (!file_ || std::fwrite(head, 1, sizeof head, file_) != sizeof head ||
        std::fwrite(data, 1, length, file_) != length) {
        *why = "Cannot write the journal " + path_ + " (is the disk full?)";
        return false;
    }
    return true;
}

bool Journal::Sync(std::string* why)
{
    if (!file_ || std::fflush(file_) != 0) {
        *why = "Cannot write the journal " + path_ + " (is the disk full?)";
        return false;
    }
    if (!platform::SyncPath(path_, why))
        return false;
    if (!folderSynced_ && !platform::SyncPath(fs::path(path_).parent_path().string(), why))
        return false;
    folderSynced_ = true;
    return true;
}

bool Journal::Remove(std::string* why)
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
    return RemoveJournalFile(path_, why);
}

bool RemoveJournalFile(const std::string& path, std::string* why)
{
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) {
        *why = "Cannot delete the journal " + path + ": " + ec.message();
        return false;
    }
    return platform::SyncPath(fs::path(path).parent_path().string(), why);
}

bool ReadJournal(const std::string& path, JournalHeader* h, std::vector<JournalRecord>* records, std::string* why)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line) || line != kFirstLine) {
        *why = path + " is not a card check journal";
        return false;
    }
    std::map<std::string, std::string> fields;
    while (std::getline(in, line) && line != ".") {
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (line != "." || fields["identity"].empty() || fields["name"].empty()) {
        *why = path + " is a damaged card check journal (its header is incomplete)";
        return false;
    }
    h->run = std::strtoull(fields["run"].c_str(), nullptr, 10);
    h->mode = fields["mode"];
    h->name = fields["name"];
    h->device = fields["device"];
    h->identity = fields["identity"];
    h->card = fields["card"];
    h->created = fields["created"];
    h->testFile = fields["file"];
    h->sizeBytes = std::strtoull(fields["size"].c_str(), nullptr, 10);
    records->clear();
    std::vector<uint8_t> data;
    for (;;) {
        unsigned char head[kRecordHead];
        if (!in.read(reinterpret_cast<char*>(head), sizeof head) || !std::equal(head, head + 4, kRecordMagic))
            break;
        JournalRecord r;
        r.offset = Le(head + 4, 8);
        r.length = static_cast<uint32_t>(Le(head + 12, 4));
        r.crc = static_cast<uint32_t>(Le(head + 16, 4));
        r.at = static_cast<uint64_t>(in.tellg());
        data.resize(r.length);
        if (r.length == 0 || !in.read(reinterpret_cast<char*>(data.data()), r.length) ||
            Crc(data.data(), r.length) != r.crc)
            break;  // torn at the end: the writes it was to cover never began
        records->push_back(r);
    }
    return true;
}

bool ReadRecordData(const std::string& path, const JournalRecord& record, std::vector<uint8_t>* data)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(record.at));
    data->resize(record.length);
    return in.read(reinterpret_cast<char*>(data->data()), record.length) &&
           Crc(data->data(), record.length) == record.crc;
}

std::string JournalFolder(const std::string& workFolder)
{
    return workFolder + "cardcheck/";
}

std::string JournalPath(const std::string& workFolder, const std::string& identity)
{
    // FNV-1a of the identity: a file name of plain characters.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : identity)
        hash = (hash ^ c) * 0x100000001b3ull;
    char name[40];
    std::snprintf(name, sizeof name, "card-%016llx.journal", static_cast<unsigned long long>(hash));
    return JournalFolder(workFolder) + name;
}

std::vector<std::string> ListJournals(const std::string& workFolder)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(JournalFolder(workFolder), ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".journal" && it->is_regular_file(ec))
            found.push_back(it->path().string());
    std::sort(found.begin(), found.end());
    return found;
}

std::string NowText()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace cardcheck
