// Files on a card as tests see them: build archives made from given entries,
// and a card's whole tree as path -> content, to compare before and after.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using Tree = std::map<std::string, std::string>;  // relative path -> content, "<folder>" for a folder

inline std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteWhole(const std::string& path, const std::string& content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// Everything below root, folders included; "" for a root that cannot be read.
inline Tree TreeOf(const std::string& root)
{
    Tree tree;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string relative = std::filesystem::relative(it->path(), root, ec).string();
        tree[relative] = it->is_directory(ec) ? std::string("<folder>") : ReadWhole(it->path().string());
    }
    return tree;
}

// The first bytes of a file (an image's boot region) without reading it all.
inline std::vector<uint8_t> FileHead(const std::string& path, size_t bytes)
{
    std::vector<uint8_t> head(bytes);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(bytes));
    head.resize(static_cast<size_t>(in.gcount()));
    return head;
}

// A zip archive with the entries in this order, written by python's zipfile,
// which takes any name; a name ending in "/" is a folder entry.
inline bool MakeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries)
{
    const auto hex = [](const std::string& text) {
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (unsigned char c : text) {
            out += digits[c >> 4];
            out += digits[c & 15];
        }
        return out;
    };
    const std::string list = path + ".entries";
    {
        std::ofstream out(list);
        for (const auto& [name, content] : entries)
            out << hex(name) << " " << hex(content) << "\n";
    }
    const std::string command = "python3 -c 'import sys, zipfile\n"
                                "z = zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED)\n"
                                "for line in open(sys.argv[2]):\n"
                                "    name, data = (line.split() + [\"\"])[:2]\n"
                                "    info = zipfile.ZipInfo(bytes.fromhex(name).decode(), (2020, 1, 2, 3, 4, 6))\n"
                                "    info.compress_type = zipfile.ZIP_DEFLATED\n"
                                "    z.writestr(info, bytes.fromhex(data))\n"
                                "z.close()' '" +
                                path + "' '" + list + "'";
    const bool made = std::system(command.c_str()) == 0;
    std::filesystem::remove(list);
    return made;
}

}  // namespace testsupport
