// Small zip archives made in memory for tests: stored entries, as every zip
// reader reads them.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// An archive of stored entries, in the order given (a name ending in "/" is a
// folder).
inline std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries)
{
    const auto put = [](std::string& out, uint32_t value, int width) {
        for (int i = 0; i < width; ++i)
            out += static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    std::string body, directory;
    for (const auto& [name, data] : entries) {
        const uint32_t crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
        const uint32_t offset = static_cast<uint32_t>(body.size());
        const auto header = [&](std::string& out, bool central) {
            put(out, central ? 0x02014b50 : 0x04034b50, 4);
            if (central)
                put(out, 20, 2);      // made by
            put(out, 20, 2);          // needed
            put(out, 0, 2);           // flags
            put(out, 0, 2);           // stored
            put(out, 0x00210000, 4);  // time 00:00:00, date 1980-01-01
            put(out, crc, 4);
            put(out, static_cast<uint32_t>(data.size()), 4);
            put(out, static_cast<uint32_t>(data.size()), 4);
            put(out, static_cast<uint32_t>(name.size()), 2);
            put(out, 0, 2);  // extra
            if (central) {
                put(out, 0, 2);  // comment
                put(out, 0, 2);  // disk
                put(out, 0, 2);  // internal attributes
                put(out, 0, 4);  // external attributes
                put(out, offset, 4);
            }
            out += name;
        };
        header(body, false);
        body += data;
        header(directory, true);
    }
    std::string out = body + directory;
    put(out, 0x06054b50, 4);
    put(out, 0, 4);
    put(out, static_cast<uint32_t>(entries.size()), 2);
    put(out, static_cast<uint32_t>(entries.size()), 2);
    put(out, static_cast<uint32_t>(directory.size()), 4);
    put(out, static_cast<uint32_t>(body.size()), 4);
    put(out, 0, 2);
    return out;
}

}  // namespace testsupport
