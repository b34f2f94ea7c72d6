// Helpers shared by the zip reader's tests: archives made here by real tools
// (Info-ZIP zip, Python's zipfile), read back byte by byte and patched.
#pragma once

#include "zip/zipread.h"

#include <gtest/gtest.h>

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
