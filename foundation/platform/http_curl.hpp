// One synchronous HTTP or HTTPS request over libcurl, in plain C++ types.
// Redirects are followed (never from https down to http), TLS peers are
// verified, nothing is decompressed behind the caller's back. Every libcurl
// call is checked: any failure answers false and nothing else, so callers
// decide what a failed request means.
#pragma once
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace kro::platform::http {

// A response body beyond this many bytes ends the transfer as a failure.
constexpr size_t BODY_LIMIT = size_t(1) << 30;
// Seconds allowed for connecting. A transfer that moves fewer than
// LOW_SPEED_LIMIT bytes a second for LOW_SPEED_TIME seconds is given up: a
// server that trickles a byte now and then would otherwise hold it for ever.
constexpr long CONNECT_TIMEOUT = 60;
constexpr long LOW_SPEED_LIMIT = 100;
constexpr long LOW_SPEED_TIME = 30;

struct Request {
    std::string method = "GET";  // sent as given (callers upper-case it)
    std::string url;             // percent-encoded
    // Sent in order. A name or value holding CR, LF or NUL, or a name that is
    // empty or holds ":" or blanks, makes the request fail rather than let
    // the value forge other header lines.
    std::vector<std::pair<std::string, std::string>> headers;
    bool send_body = false;
    std::string body;
    // Tests shorten these.
    long low_speed_limit = LOW_SPEED_LIMIT;
    long low_speed_time = LOW_SPEED_TIME;
};

struct Response {
    long status = 0;
    // The final response's header lines, "Name: value" each followed by CR LF;
    // the status line and the headers of interim and redirect responses are
    // left out.
    std::string headers;
    std::string body;
};

// Whether a header name and value may be sent as one header line.
bool valid_header(const std::string& name, const std::string& value);

// Performs the request. false when libcurl cannot be set up, a header is
// refused, the connection cannot be made, TLS fails, the redirect limit is
// passed, the transfer breaks or stays too slow; reason (when given) then
// receives what went wrong as one hyphenated word ("refused", "too-slow",
// "cut-short", "timeout", ...).
bool perform(const Request& request, Response* response, std::string* reason = nullptr);

}  // namespace kro::platform::http
