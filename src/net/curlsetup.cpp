#include "net/curlsetup.h"

#include "core/textutil.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace flintor::net {

void EnsureCurlReady()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix)
{
    return core::StartsWith(core::LowerAscii(text), core::LowerAscii(prefix));
}

// Called by libcurl once a connection is ready and before each request (the
// first one and every redirect) goes out on it. Refuses a plain-http request
// once any request of this transfer went over https, so a redirect chain that
// began on http can still never fall back from TLS.
int PrereqHook(void* clientp, char*, char*, int, int)
{
    auto* guard = static_cast<RedirectGuard*>(clientp);
    const char* scheme = nullptr;
    if (curl_easy_getinfo(guard->curl, CURLINFO_SCHEME, &scheme) != CURLE_OK || !scheme)
        return CURL_PREREQFUNC_ABORT;
    if (core::LowerAscii(scheme) == "https") {
        guard->sawHttps = true;
    } else if (guard->sawHttps) {
        guard->refused = true;
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

}  // namespace

std::string DescribeFailure(CURLcode rc, long httpCode, const char* errbuf)
{
    switch (rc) {
    case CURLE_OK:
        if (httpCode == 404 || httpCode == 410)
            return "not found (HTTP " + std::to_string(httpCode) + ")";
        if (httpCode != 0 && !IsSuccessStatus(httpCode))
            return "HTTP status " + std::to_string(httpCode);
        return "incomplete answer";
    case CURLE_COULDNT_CONNECT:
        return "connection refused";
    case CURLE_COULDNT_RESOLVE_HOST:
        return "host name not found";
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "proxy name not found";
    case CURLE_OPERATION_TIMEDOUT:
        return "timed out";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
        return "certificate not accepted";
    case CURLE_SSL_CONNECT_ERROR:
        return "TLS handshake failed";
    case CURLE_TOO_MANY_REDIRECTS:
        return "too many redirects";
    case CURLE_GOT_NOTHING:
        return "empty reply";
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return "connection reset";
    case CURLE_PARTIAL_FILE:
        return "incomplete answer";
    default:
        break;
    }
    if (errbuf && *errbuf)
        return errbuf;
    return curl_easy_strerror(rc);
}

void ApplyCommonOptions(CURL* curl, const std::string& url, RedirectGuard* guard, const FetchLimits& limits)
{
    guard->curl = curl;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");

    // Redirects: followed, at most five; a transfer that starts on https may
    // only be redirected to https. The prerequest hook covers a chain that
    // starts on http and passes through https.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, StartsWithNoCase(url, "https://") ? "https" : "http,https");
    curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &PrereqHook);
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, guard);

    // TLS: 1.2 or newer, peer certificate and host name verified.
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile && *caFile)
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile);

    // Receive time-out: fewer than one byte per second over the whole
    // period ends the transfer. This covers a server that accepts the
    // connection and then never answers.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, IdleSeconds(limits));
    // Deadline: a server that trickles a byte now and then keeps the idle
    // check quiet, but not this.
    if (limits.deadlineMs > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits.deadlineMs);
}

}  // namespace flintor::net
