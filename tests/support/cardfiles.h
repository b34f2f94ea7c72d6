// Files on a card as tests see them: build archives made from given entries,
// and a card's whole tree as path -> content, to compare before and after.
#pragma once

#include "support/zipmaker.h"

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

// A zip archive with the entries in this order (any name is taken as it is);
// a name ending in "/" is a folder entry.
inline bool MakeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries)
{
    WriteWhole(path, StoredZip(entries));
    return std::filesystem::file_size(path) > 0;
}

}  // namespace testsupport
