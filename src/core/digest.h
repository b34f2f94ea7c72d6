// SHA-256 digests of build archives, written as 64 lower-case hex digits.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace core {

// Incremental SHA-256 (OpenSSL EVP). Feed the bytes in any number of pieces;
// FinalHex ends the digest. After a failure of the library, Ok() is false
// and FinalHex gives "".
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, size_t size);
    std::string FinalHex();
    bool Ok() const { return ok_; }

private:
    struct Ctx;
    std::unique_ptr<Ctx> ctx_;
    bool ok_ = false;
};

// Digest of the bytes in memory.
std::string Sha256Hex(const void* data, size_t size);

// Digest of a file, read in blocks; "" when the file cannot be read.
std::string FileSha256Hex(const std::string& path);

// The digest written in lower case when text is exactly 64 hex digits (either
// letter case); "" otherwise.
std::string NormalizeSha256Hex(const std::string& text);

}  // namespace core
