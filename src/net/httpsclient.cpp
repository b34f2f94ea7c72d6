#include "net/httpsclient.h"

#include "net/curlsetup.h"

#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

using namespace flintor::net;

namespace {

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

// Where the body goes, and what stopped it.
struct THttpsClient::Body {
    std::string* memory = nullptr;  // this, or
    std::FILE* file = nullptr;      // this
    CURL* curl = nullptr;
    int64_t maxBytes = 0;
    int64_t received = 0;
    bool checked = false;
    std::string error;  // set by the write hook when it ends the transfer

    // libcurl's hook is C: nothing may be thrown through it, so a failure
    // inside ends the transfer with a write error instead.
    static size_t Write(char* data, size_t size, size_t count, void* userp)
    {
        auto* body = static_cast<Body*>(userp);
        const size_t n = size * count;
        try {
            return body->Take(data, n) ? n : 0;
        } catch (const std::bad_alloc&) {
            body->error = "out of memory";
        } catch (...) {
            body->error = "internal error";
        }
        return 0;
    }

    bool Take(const char* data, size_t n)
    {
        if (!checked) {
            // An announced length above the cap is refused before a byte is kept.
            checked = true;
            curl_off_t length = -1;
            curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            if (maxBytes > 0 && length > maxBytes) {
                error = SizeLimitText(maxBytes);
                return false;
            }
        }
        if (maxBytes > 0 && static_cast<int64_t>(n) > maxBytes - received) {
            error = SizeLimitText(maxBytes);
            return false;
        }
        if (memory) {
            memory->append(data, n);
        } else if (std::fwrite(data, 1, n, file) != n) {
            error = std::string("cannot write: ") + std::strerror(errno);
            return false;
        }
        received += static_cast<int64_t>(n);
        return true;
    }
};

THttpsClient::THttpsClient()
{
    EnsureCurlReady();
}

THttpsClient::~THttpsClient() = default;

bool THttpsClient::Get(const std::string& url, Body& body)
{
    ResultCode = 0;
    ErrorText.clear();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        ErrorText = "cannot create a transfer";
        return false;
    }
    body.curl = curl.get();
    body.maxBytes = Limits.maxBytes;
    RedirectGuard guard;
    ApplyCommonOptions(curl.get(), url, &guard, Limits);
    char errbuf[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(curl.get(), CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(curl.get(), CURLOPT_HTTPGET, 1L);

    // The request carries, after Host, exactly these lines in this order.
    // The user agent goes in the list rather than CURLOPT_USERAGENT so that
    // it keeps its place; "Accept:" with no value removes libcurl's own line.
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    auto add = [&headers](const std::string& line) {
        curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
        if (grown) {
            (void)headers.release();
            headers.reset(grown);
        }
        return grown != nullptr;
    };
    if (!add("Keep-Alive: " + std::to_string(KeepAliveTimeout)) || !add("Connection: keep-alive") ||
        !add(UserAgent.empty() ? std::string("User-Agent:") : "User-Agent: " + UserAgent) || !add("Accept:")) {
        ErrorText = "out of memory";
        return false;
    }
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &Body::Write);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);

    const auto start = std::chrono::steady_clock::now();
    const CURLcode rc = curl_easy_perform(curl.get());
    const long elapsedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &ResultCode);
    if (rc != CURLE_OK) {
        if (!body.error.empty())
            ErrorText = body.error;
        else if (guard.refused)
            ErrorText = "redirect from https to http refused";
        else if (rc == CURLE_OPERATION_TIMEDOUT)
            ErrorText = TimeLimitText(Limits, elapsedMs);
        else
            ErrorText = DescribeFailure(rc, ResultCode, errbuf);
        return false;
    }
    if (!IsSuccessStatus(ResultCode)) {
        ErrorText = DescribeFailure(CURLE_OK, ResultCode, errbuf);
        return false;
    }
    return true;
}

bool THttpsClient::HTTPMethod(const std::string& method, const std::string& url)
{
    Document.clear();
    // Only the one method the program uses; anything else would need a body
    // and settings this client does not have.
    if (method != "GET") {
        ResultCode = 0;
        ErrorText = "unsupported method " + method;
        return false;
    }
    std::string received;
    Body body;
    body.memory = &received;
    if (!Get(url, body))
        return false;
    Document = std::move(received);
    return true;
}

bool THttpsClient::GetFile(const std::string& url, const std::string& fileName)
{
    Document.clear();
    const std::string part = fileName + ".part";
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(part.c_str(), "wb"));
    if (!file) {
        ResultCode = 0;
        ErrorText = "cannot write " + part + ": " + std::strerror(errno);
        return false;
    }
    Body body;
    body.file = file.get();
    bool ok = Get(url, body);
    if (std::fclose(file.release()) != 0 && ok) {
        ok = false;
        ErrorText = "cannot write " + part + ": " + std::strerror(errno);
    }
    // Renamed over an older file in one step, so fileName is either the old
    // file or the complete new one.
    if (ok && std::rename(part.c_str(), fileName.c_str()) != 0) {
        ok = false;
        ErrorText = "cannot write " + fileName + ": " + std::strerror(errno);
    }
    if (!ok)
        std::remove(part.c_str());
    return ok;
}

bool TlsAvailable()
{
    EnsureCurlReady();
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (!info || !(info->features & CURL_VERSION_SSL) || !info->ssl_version)
        return false;
    if (std::strncmp(info->ssl_version, "OpenSSL", 7) != 0)
        return false;
    for (const char* const* p = info->protocols; p && *p; ++p)
        if (std::strcmp(*p, "https") == 0)
            return true;
    return false;
}
