#include "net/httpsclient.h"

#include "net/curlsetup.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>

using namespace flintor::net;

namespace {

size_t AppendBody(char* data, size_t size, size_t count, void* userp)
{
    auto* doc = static_cast<std::string*>(userp);
    doc->append(data, size * count);
    return size * count;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

THttpsClient::THttpsClient()
{
    EnsureCurlReady();
}

THttpsClient::~THttpsClient() = default;

bool THttpsClient::HTTPMethod(const std::string& method, const std::string& url)
{
    Document.clear();
    ResultCode = 0;
    ErrorText.clear();

    // Only the one method the program uses; anything else would need a body
    // and settings this client does not have.
    if (method != "GET") {
        ErrorText = "unsupported method " + method;
        return false;
    }

    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        ErrorText = "cannot create a transfer";
        return false;
    }
    RedirectGuard guard;
    ApplyCommonOptions(curl.get(), url, &guard, TimeoutMs);
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

    std::string body;
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &AppendBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);

    const CURLcode rc = curl_easy_perform(curl.get());
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &ResultCode);
    if (rc != CURLE_OK) {
        if (guard.refused)
            ErrorText = "redirect from https to http refused";
        else
            ErrorText = DescribeFailure(rc, ResultCode, errbuf);
        return false;
    }
    if (!IsSuccessStatus(ResultCode)) {
        ErrorText = DescribeFailure(CURLE_OK, ResultCode, errbuf);
        return false;
    }
    Document = std::move(body);
    return true;
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
