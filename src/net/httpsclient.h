// THttpsClient: one blocking HTTPS (or HTTP) GET, its body kept whole in
// Document or written into a file as it arrives. One client per fetch.
#pragma once

#include "net/fetchlimits.h"

#include <string>

class THttpsClient {
public:
    THttpsClient();
    ~THttpsClient();

    std::string UserAgent = "Mozilla/4.0 (compatible; Flintor)";
    int KeepAliveTimeout = 300;
    // Size cap, deadline and idle time of the fetch; build archives' by
    // default. A catalogue fetch sets the catalogues'.
    flintor::net::FetchLimits Limits = flintor::net::kArchiveLimits;

    // Performs the method ("GET") on the URL. True when the whole answer
    // arrived without a transport error, within Limits, and its status was 2xx.
    bool HTTPMethod(const std::string& method, const std::string& url);

    // GETs the URL into fileName: the body goes into fileName + ".part" as it
    // arrives and takes fileName's place only when the fetch succeeded as
    // HTTPMethod's would. After a failure no ".part" file is left and an
    // older fileName is as it was. Document stays empty.
    bool GetFile(const std::string& url, const std::string& fileName);

    std::string Document;   // the body of the last successful answer; empty after a failure
    long ResultCode = 0;    // its HTTP status (0 when none arrived)
    std::string ErrorText;  // why the last call failed ("connection refused", "timed out", ...)

private:
    struct Body;
    bool Get(const std::string& url, Body& body);
};

// True when libcurl does TLS with OpenSSL.
bool TlsAvailable();
