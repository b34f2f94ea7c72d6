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

// A zip archive with the entries in this order, written by python's zipfile,
// which takes any name; a name ending in "/" is a folder entry.
inline bool MakeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string list;  // "name-in-hex content-in-hex" lines
    for (const auto& [name, content] : entries)
        for (const std::string* text : {&name, &content}) {
            for (unsigned char c : *text)
                list += "0123456789abcdef"[c >> 4], list += "0123456789abcdef"[c & 15];
            list += text == &name ? " " : "\n";
        }
    WriteWhole(path + ".entries", list);
    const bool made = std::system(("python3 -c 'import sys, zipfile\n"
                                   "z = zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED)\n"
                                   "for line in open(sys.argv[2]):\n"
                                   "    name, data = (line.split() + [\"\"])[:2]\n"
                                   "    z.writestr(bytes.fromhex(name).decode(), bytes.fromhex(data))\n"
                                   "z.close()\n' '" +
                                   path + "' '" + path + ".entries'")
                                      .c_str()) == 0;
    std::filesystem::remove(path + ".entries");
    return made;
}

}  // namespace testsupport
