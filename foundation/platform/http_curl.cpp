#include "foundation/platform/http_curl.hpp"
#include "foundation/platform/sandbox.hpp"
#include "foundation/platform/shared_lib.hpp"

// the type-checking macros of curl.h would also rewrite calls through our table
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <string.h>
#include <strings.h>

#include <mutex>

namespace kro::platform::http {

namespace {

#define CURL_CALLS(X)                                                                               \
    X(curl_easy_cleanup) X(curl_easy_getinfo) X(curl_easy_init) X(curl_easy_perform) X(curl_easy_setopt) \
    X(curl_global_init) X(curl_slist_append) X(curl_slist_free_all)
KRO_SHARED_LIB(CurlCalls, curl, "libcurl.so.4", CURL_CALLS)

bool global_ready() {
    static std::once_flag once;
    static bool ok = false;
    const CurlCalls& lib = curl();  // a missing libcurl is an error of its own
    std::call_once(once, [&] { ok = lib.curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

// The easy handle and header list, released however the request ends.
struct Easy {
    CURL* handle = curl().curl_easy_init();
    curl_slist* list = nullptr;
    ~Easy() {
        if (list) curl().curl_slist_free_all(list);
        if (handle) curl().curl_easy_cleanup(handle);
    }
    bool add(const std::string& line) {
        curl_slist* next = curl().curl_slist_append(list, line.c_str());
        if (!next) return false;
        list = next;
        return true;
    }
};

struct Sink {
    Response* response;
    bool over_limit = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    size_t n = size * count;
    std::string& body = sink->response->body;
    if (n > BODY_LIMIT - body.size()) {
        sink->over_limit = true;
        return 0;  // ends the transfer with a write error
    }
    body.append(data, n);
    return n;
}

// Called once per header line of every response on the way (interim and
// redirect responses included): each status line starts the list afresh, so
// the final response's headers are what remains.
size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    size_t n = size * count;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::string& headers = sink->response->headers;
    if (line.compare(0, 5, "HTTP/") == 0) {
        headers.clear();
    } else if (!line.empty()) {
        if (headers.size() + line.size() + 2 > BODY_LIMIT) return 0;
        headers += line;
        headers += "\r\n";
    }
    return n;
}

bool has_prefix_ci(const std::string& s, const char* prefix) {
    size_t n = std::char_traits<char>::length(prefix);
    return s.size() >= n && ::strncasecmp(s.data(), prefix, n) == 0;
}

// What ended a transfer, as one word: the error a user sees says "reason:"
// and this word.
const char* failure(CURLcode rc, const char* message) {
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return "host-not-found";
        case CURLE_COULDNT_CONNECT: return "refused";
        case CURLE_OPERATION_TIMEDOUT:
            // the low-speed limit and the connect timeout share the code
            return ::strncmp(message, "Operation too slow", 18) == 0 ? "too-slow" : "timeout";
        case CURLE_PARTIAL_FILE: return "cut-short";
        case CURLE_GOT_NOTHING: return "no-reply";
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR: return "connection-broken";
        case CURLE_TOO_MANY_REDIRECTS: return "too-many-redirects";
        case CURLE_UNSUPPORTED_PROTOCOL: return "unsupported-scheme";
        case CURLE_URL_MALFORMAT: return "bad-url";
        case CURLE_PEER_FAILED_VERIFICATION: return "untrusted-certificate";
        case CURLE_SSL_CONNECT_ERROR: return "tls-failure";
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_BAD_CONTENT_ENCODING: return "bad-reply";
        case CURLE_OUT_OF_MEMORY: return "no-memory";
        default: return "transfer-failed";
    }
}

template <typename T>
bool set(CURL* h, CURLoption option, T value) {
    return curl().curl_easy_setopt(h, option, value) == CURLE_OK;
}

}  // namespace

bool valid_header(const std::string& name, const std::string& value) {
    if (name.empty()) return false;
    for (char c : name)
        if (c == ':' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0') return false;
    for (char c : value)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

bool perform(const Request& request, Response* response, std::string* reason) {
    auto fail = [&](const char* why) {
        if (reason) *reason = why;
        return false;
    };
    *response = Response{};
    KRO_SANDBOX_DENY(fail("access-denied"));
    if (!global_ready()) return fail("no-library");
    Easy easy;
    if (!easy.handle) return fail("no-library");
    CURL* h = easy.handle;
    char error[CURL_ERROR_SIZE] = {};
    Sink sink{response};

    bool secure = has_prefix_ci(request.url, "https:");
    bool ok = set(h, CURLOPT_ERRORBUFFER, error) && set(h, CURLOPT_NOSIGNAL, 1L) &&
              set(h, CURLOPT_URL, request.url.c_str()) && set(h, CURLOPT_PROTOCOLS_STR, "http,https") &&
              set(h, CURLOPT_FOLLOWLOCATION, 1L) && set(h, CURLOPT_MAXREDIRS, 20L) &&
              // a secure request never continues in clear text
              set(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https") &&
              set(h, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT) && set(h, CURLOPT_LOW_SPEED_LIMIT, request.low_speed_limit) &&
              set(h, CURLOPT_LOW_SPEED_TIME, request.low_speed_time) && set(h, CURLOPT_SSL_VERIFYPEER, 1L) &&
              set(h, CURLOPT_SSL_VERIFYHOST, 2L) && set(h, CURLOPT_WRITEFUNCTION, &on_body) &&
              set(h, CURLOPT_WRITEDATA, static_cast<void*>(&sink)) && set(h, CURLOPT_HEADERFUNCTION, &on_header) &&
              set(h, CURLOPT_HEADERDATA, static_cast<void*>(&sink));
    if (!ok) return fail("bad-request");

    const std::string& m = request.method;
    if (m.empty()) return fail("bad-request");
    if (m == "HEAD") {
        ok = set(h, CURLOPT_NOBODY, 1L);
    } else if (m == "GET") {
        ok = set(h, CURLOPT_HTTPGET, 1L);
    } else {
        if (request.send_body) {
            ok = set(h, CURLOPT_POST, 1L) && set(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size())) &&
                 set(h, CURLOPT_POSTFIELDS, request.body.data());
        }
        if (ok && m != "POST") ok = set(h, CURLOPT_CUSTOMREQUEST, m.c_str());
    }
    if (!ok) return fail("bad-request");

    bool content_type = false;
    for (const auto& [name, value] : request.headers) {
        if (!valid_header(name, value)) return fail("bad-request");
        if (::strcasecmp(name.c_str(), "Content-Type") == 0) content_type = true;
        // "Name;" is how an empty value is asked for
        if (!easy.add(value.empty() ? name + ";" : name + ": " + value)) return fail("no-memory");
    }
    // A body is sent at once, without waiting for a 100 Continue; and only the
    // caller's headers describe it (libcurl would add a form Content-Type).
    if (!easy.add("Expect:")) return fail("no-memory");
    if (request.send_body && !content_type && !easy.add("Content-Type:")) return fail("no-memory");
    if (!set(h, CURLOPT_HTTPHEADER, easy.list)) return fail("bad-request");

    CURLcode rc = curl().curl_easy_perform(h);
    if (rc != CURLE_OK) {
        if (sink.over_limit) return fail("too-large");
        return fail(failure(rc, error));
    }
    long status = 0;
    if (curl().curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status == 0)
        return fail("bad-reply");
    response->status = status;
    return true;
}

}  // namespace kro::platform::http
