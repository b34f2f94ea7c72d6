// Helpers shared by the zip reader's tests: archives made here by real tools
// (Info-ZIP zip, Python's zipfile), read back byte by byte and patched.
#pragma once

#include "zip/zipread.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace ziptest {

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::pair<std::string, std::string>>;  // text, caption

inline uint32_t Get(const Bytes& b, size_t at, int width)
{
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | b[at + i];
    return v;
}
inline void Put(Bytes& b, size_t at, int width, uint32_t v)
{
    for (int i = 0; i < width; ++i)
        b[at + i] = (v >> (8 * i)) & 0xFF;
}
// Offset of the local (or central) header named `name`; of the end record for "".
inline size_t Find(const Bytes& b, const std::string& name, bool central = false)
{
    const uint32_t sig = name.empty() ? 0x06054b50 : central ? 0x02014b50 : 0x04034b50;
    const size_t nameAt = name.empty() ? 22 : central ? 46 : 30, lengthAt = central ? 28 : 26;
    for (size_t i = 0; i + nameAt + name.size() <= b.size(); ++i)
        if (Get(b, i, 4) == sig && (name.empty() || (Get(b, i + lengthAt, 2) == name.size() &&
                                                     !std::memcmp(&b[i + nameAt], name.data(), name.size()))))
            return i;
    ADD_FAILURE() << "no header " << name;
    return 0;
}
inline size_t DataOf(const Bytes& b, size_t local)
{
    return local + 30 + Get(b, local + 26, 2) + Get(b, local + 28, 2);
}

// Sizes, CRC-32, method and flags sit 2 bytes further in the central header
// than in the local one; patches both so the two headers still agree.
inline void PutBoth(Bytes& b, const std::string& name, size_t field, int width, uint32_t v)
{
    Put(b, Find(b, name) + field, width, v);
    Put(b, Find(b, name, true) + field + 2, width, v);
}
// Renames an entry to a name of the same length, in one header or in both.
inline void Rename(Bytes& b, const std::string& from, const std::string& to, bool local = true, bool central = true)
{
    EXPECT_EQ(from.size(), to.size());
    const size_t l = Find(b, from), c = Find(b, from, true);
    if (local)
        std::copy(to.begin(), to.end(), b.begin() + static_cast<long>(l) + 30);
    if (central)
        std::copy(to.begin(), to.end(), b.begin() + static_cast<long>(c) + 46);
}

// An archive of stored entries (name, content), names flagged as UTF-8, made
// here so a name can hold any bytes.
inline Bytes StoredZip(const std::vector<std::pair<std::string, std::string>>& entries)
{
    Bytes out, directory;
    const auto header = [](Bytes& to, uint32_t signature, const std::string& name, const std::string& data,
                           uint32_t localAt) {
        const bool central = signature == 0x02014b50;
        const uint32_t crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
        const size_t at = to.size();
        to.resize(at + (central ? 46 : 30));
        const size_t f = at + (central ? 6 : 4);  // version needed, then the fields both headers share
        Put(to, at, 4, signature);
        Put(to, f, 2, 20);
        Put(to, f + 2, 2, 0x0800);
        Put(to, f + 10, 4, crc);
        Put(to, f + 14, 4, static_cast<uint32_t>(data.size()));
        Put(to, f + 18, 4, static_cast<uint32_t>(data.size()));
        Put(to, f + 22, 2, static_cast<uint32_t>(name.size()));
        if (central)
            Put(to, at + 42, 4, localAt);
        to.insert(to.end(), name.begin(), name.end());
    };
    for (const auto& [name, data] : entries) {
        const uint32_t localAt = static_cast<uint32_t>(out.size());
        header(out, 0x04034b50, name, data, 0);
        out.insert(out.end(), data.begin(), data.end());
        header(directory, 0x02014b50, name, data, localAt);
    }
    const size_t directoryAt = out.size();
    out.insert(out.end(), directory.begin(), directory.end());
    const size_t end = out.size();
    out.resize(end + 22);
    Put(out, end, 4, 0x06054b50);
    Put(out, end + 8, 2, static_cast<uint32_t>(entries.size()));
    Put(out, end + 10, 2, static_cast<uint32_t>(entries.size()));
    Put(out, end + 12, 4, static_cast<uint32_t>(directory.size()));
    Put(out, end + 16, 4, static_cast<uint32_t>(directoryAt));
    return out;
}

inline std::string Words(size_t size)  // compresses, but not to nothing
{
    static const char* words[] = {"magic ", "lantern ", "card ", "boot\n", "\x01\xfe", "zz "};
    std::string s;
    for (uint32_t seed = 7; s.size() < size;)
        s += words[((seed = seed * 1103515245 + 12345) >> 16) % 6];
    return s.substr(0, size);
}

// What opening gives: "(opened)" or the error. Memory archives are exact-size
// copies, so the sanitizer sees any read past their end.
template <class... Args> std::string ErrorOf(const Args&... args)
{
    try {
        TZipRead zip(args...);
    } catch (const ZipError& e) {
        return e.what();
    }
    return "(opened)";
}
inline std::string ErrorOf(const Bytes& b)
{
    return ErrorOf(b.data(), b.size());
}

class ZipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zip_tests.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        SetZipNotifier(
            [this](const std::string& text, const std::string& caption) { messages_.emplace_back(text, caption); });
    }
    void TearDown() override
    {
        SetZipNotifier(nullptr);
        ASSERT_EQ(Shell("rm -rf '" + dir_ + "'"), 0);
    }
    static int Shell(const std::string& command) { return std::system(command.c_str()); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void Source(const std::string& name, const std::string& content)
    {
        ASSERT_EQ(Shell("mkdir -p \"$(dirname '" + Path("src/" + name) + "')\""), 0);
        std::ofstream(Path("src/" + name), std::ios::binary) << content;
    }
    // Runs `zip -q -X ARGS` (shell syntax allowed) in src/ and returns out.zip.
    Bytes Zip(const std::string& args)
    {
        EXPECT_EQ(Shell("cd '" + Path("src") + "' && rm -f ../out.zip && zip -q -X " + args), 0) << args;
        std::ifstream in(Path("out.zip"), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    void Write(const std::string& name, const Bytes& b)
    {
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    }
    static std::vector<std::string> Names(const TZipRead& zip)
    {
        std::vector<std::string> names;
        for (const TZipEntry& entry : zip.Entries)
            names.push_back(entry.Name);
        EXPECT_EQ(names.size(), static_cast<size_t>(zip.EntryCount));
        return names;
    }
    // Runs a Python script in the test folder.
    void Python(const std::string& script)
    {
        std::ofstream(Path("make.py")) << script;
        ASSERT_EQ(Shell("cd '" + dir_ + "' && python3 make.py"), 0) << script;
    }
    Bytes Read(const std::string& name) const
    {
        std::ifstream in(Path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // What `unzip -p` gives for one entry of an archive in the test folder.
    std::string Unzipped(const std::string& archive, const std::string& entry) const
    {
        std::string out;
        std::FILE* pipe = ::popen(("unzip -p '" + Path(archive) + "' '" + entry + "'").c_str(), "r");
        EXPECT_NE(pipe, nullptr);
        if (!pipe)
            return out;
        char buffer[65536];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        EXPECT_EQ(::pclose(pipe), 0) << entry;
        return out;
    }
    std::string dir_;
    Messages messages_;
};

// An entry streamed through ExtractTo: its pieces' sizes and their concatenation.
struct Streamed {
    bool ok = false;
    std::string why, content;
    std::vector<size_t> pieces;
};
inline Streamed Stream(TZipRead& zip, int index)
{
    Streamed s;
    s.ok = zip.ExtractTo(
        index,
        [&s](const char* data, size_t size) {
            s.pieces.push_back(size);
            s.content.append(data, size);
            return true;
        },
        &s.why);
    return s;
}

}  // namespace ziptest
