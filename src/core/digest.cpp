#include "core/digest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <vector>

namespace core {

struct Sha256::Ctx {
    EVP_MD_CTX* md = nullptr;
    ~Ctx() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>())
{
    ctx_->md = EVP_MD_CTX_new();
    ok_ = ctx_->md && EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size)
{
    if (ok_ && size > 0)
        ok_ = EVP_DigestUpdate(ctx_->md, data, size) == 1;
}

std::string Sha256::FinalHex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok_ || EVP_DigestFinal_ex(ctx_->md, digest, &length) != 1) {
        ok_ = false;
        return {};
    }
    ok_ = false;  // a finished context takes no more bytes
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string Sha256Hex(const void* data, size_t size)
{
    Sha256 sha;
    sha.Update(data, size);
    return sha.FinalHex();
}

std::string FileSha256Hex(const std::string& path)
{
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in)
        return {};
    Sha256 sha;
    std::vector<unsigned char> block(1 << 16);
    size_t n = 0;
    while ((n = std::fread(block.data(), 1, block.size(), in)) > 0)
        sha.Update(block.data(), n);
    const bool readError = std::ferror(in) != 0;
    std::fclose(in);
    if (readError)
        return {};
    return sha.FinalHex();
}

std::string NormalizeSha256Hex(const std::string& text)
{
    if (text.size() != 64)
        return {};
    std::string lower;
    lower.reserve(64);
    for (char c : text) {
        if (c >= '0' && c <= '9')
            lower += c;
        else if (c >= 'a' && c <= 'f')
            lower += c;
        else if (c >= 'A' && c <= 'F')
            lower += static_cast<char>(c - 'A' + 'a');
        else
            return {};
    }
    return lower;
}

}  // namespace core
