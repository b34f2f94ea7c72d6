// THttpsClient: one blocking HTTPS (or HTTP) GET whose body is kept whole in
// Document. One client per fetch.
#pragma once

#include <string>

class THttpsClient {
public:
    THttpsClient();
    ~THttpsClient();

    std::string UserAgent = "Mozilla/4.0 (compatible; Flintor)";
    int KeepAliveTimeout = 300;
    int TimeoutMs = 90000;  // longest wait for each receive

    // Performs the method ("GET") on the URL. True when the whole answer
    // arrived without a transport error and its status was 2xx.
    bool HTTPMethod(const std::string& method, const std::string& url);

    std::string Document;   // the body of the last successful answer; empty after a failure
    long ResultCode = 0;    // its HTTP status (0 when none arrived)
    std::string ErrorText;  // why the last call failed ("connection refused", "timed out", ...)
};

// True when libcurl does TLS with OpenSSL.
bool TlsAvailable();
