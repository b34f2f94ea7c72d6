// Settings shared by the two network clients: one global libcurl start-up,
// the TLS policy and the redirect policy.
#pragma once

#include "net/fetchlimits.h"

#include <curl/curl.h>

#include <string>

namespace flintor::net {

// Runs curl_global_init once per process, from whichever thread comes first.
void EnsureCurlReady();

// State the redirect guard keeps for one transfer; must outlive the transfer.
struct RedirectGuard {
    CURL* curl = nullptr;
    bool sawHttps = false;
    bool refused = false;  // a hop from https back to plain http was stopped
};

// Applies what every transfer of this program shares: only http and https,
// at most five redirects and never from https back to http, TLS 1.2 or
// newer with certificate and host name checks against the system store (or
// the file named by SSL_CERT_FILE), no signals, and the limits' idle time and
// deadline. The size cap is the caller's to enforce as bytes arrive (a
// Content-Length above it, or a body growing past it). `url` is the address
// fetched.
void ApplyCommonOptions(CURL* curl, const std::string& url, RedirectGuard* guard, const FetchLimits& limits);

// Why a transfer failed, in a few words for the status bar: "connection
// refused", "not found (HTTP 404)", "timed out", "certificate not accepted",
// "host name not found", ... `rc` is the transfer's result, httpCode the
// final answer's status (0 when none arrived), errbuf libcurl's error text
// (may be empty or null).
std::string DescribeFailure(CURLcode rc, long httpCode, const char* errbuf);

// True when the status code is a success (200..299).
inline bool IsSuccessStatus(long code)
{
    return code >= 200 && code <= 299;
}

}  // namespace flintor::net
