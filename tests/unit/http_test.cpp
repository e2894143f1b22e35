// HTTP requests against a small server that the test runs on the loopback
// interface: bodies as text, binary and lines, the default and given headers,
// request bodies, the info block, redirects, error statuses and connections
// that fail.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "block_fixtures.hpp"
#include "datatypes/binary.hpp"
#include "datatypes/map.hpp"
#include "datatypes/url.hpp"
#include "foundation/gc.hpp"
#include "foundation/platform/http_curl.hpp"
#include "interp_fixtures.hpp"
#include "io/http.hpp"

namespace kro {
namespace {

using namespace testing_blocks;

// ---- the server ----------------------------------------------------------------------------------

struct Received {
    std::string method, target, head, body;
    // The value of a header (letter case aside), or "-" when it was not sent.
    std::string header(const char* name) const {
        size_t start = 0;
        while (start < head.size()) {
            size_t end = head.find("\r\n", start);
            if (end == std::string::npos) end = head.size();
            std::string line = head.substr(start, end - start);
            size_t colon = line.find(':');
            if (colon != std::string::npos && ::strcasecmp(line.substr(0, colon).c_str(), name) == 0) {
                size_t v = colon + 1;
                while (v < line.size() && line[v] == ' ') v++;
                return line.substr(v);
            }
            start = end + 2;
        }
        return "-";
    }
};

// Serves one connection at a time on 127.0.0.1 from its own thread; the
// handler answers each request with the whole response text, or a raw writer
// answers it on the socket as it likes (a server that misbehaves). Every
// connection is closed after its response.
class Server {
public:
    using Handler = std::function<std::string(const Received&)>;
    using Raw = std::function<void(int socket, const std::atomic<bool>& stop)>;

    explicit Server(Raw raw) : Server(Handler()) { raw_ = std::move(raw); }
    explicit Server(Handler handler) : handler_(std::move(handler)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { loop(); });
    }
    ~Server() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }

    bool ok() const { return fd_ >= 0; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<Received> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    void loop() {
        // bounded: the server stops by itself after a minute
        for (int rounds = 0; !stop_ && rounds < 600; rounds++) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            serve(c);
            ::close(c);
        }
    }

    void serve(int c) {
        std::string in;
        char buf[4096];
        size_t head_end;
        while ((head_end = in.find("\r\n\r\n")) == std::string::npos) {
            if (!read_some(c, buf, sizeof buf, &in) || in.size() > (1 << 20)) return;
        }
        Received r;
        std::string first = in.substr(0, in.find("\r\n"));
        size_t sp1 = first.find(' '), sp2 = first.rfind(' ');
        r.method = first.substr(0, sp1);
        r.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t headers_start = first.size() + 2;
        r.head = headers_start < head_end ? in.substr(headers_start, head_end - headers_start) : "";
        std::string length = r.header("Content-Length");
        size_t want = length == "-" ? 0 : std::stoul(length);
        r.body = in.substr(head_end + 4);
        while (r.body.size() < want) {
            if (!read_some(c, buf, sizeof buf, &r.body)) return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(r);
        }
        if (raw_) {
            raw_(c, stop_);
            return;
        }
        std::string out = handler_(r);
        size_t sent = 0;
        while (sent < out.size()) {
            ssize_t n = ::send(c, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += size_t(n);
        }
    }

    bool read_some(int c, char* buf, size_t size, std::string* into) {
        pollfd p{c, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        ssize_t n = ::recv(c, buf, size, 0);
        if (n <= 0) return false;
        into->append(buf, size_t(n));
        return true;
    }

    Handler handler_;
    Raw raw_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Received> received_;
};

const std::string TEXT_BODY = "caf\xC3\xA9 \xF0\x9F\x98\x80\r\nsecond line\nthird";
const std::string BINARY_BODY = std::string("\x00\xFF\xC3\x28\x80", 5);

std::string response(int status, const std::string& extra_headers, const std::string& body, bool head = false) {
    std::string r = "HTTP/1.1 " + std::to_string(status) + " X\r\n" + extra_headers +
                    "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (!head) r += body;
    return r;
}

std::string route(const Received& r) {
    bool head = r.method == "HEAD";
    if (r.target == "/text") return response(200, "Content-Type: text/plain; charset=utf-8\r\n", TEXT_BODY, head);
    if (r.target == "/binary") return response(200, "Content-Type: application/octet-stream\r\n", BINARY_BODY, head);
    if (r.target == "/echo") return response(200, "", r.method + " " + r.body, head);
    if (r.target == "/cookies")
        return response(200, "Set-Cookie: a=1\r\nX-One:  one  \r\nset-cookie: b=2\r\n", "ok", head);
    if (r.target == "/redirect") return response(302, "Location: /text\r\n", "moved", head);
    if (r.target == "/loop") return response(302, "Location: /loop\r\n", "", head);
    return response(404, "", "not here", head);
}

// ---- calling the service --------------------------------------------------------------------------

Cell url_of(const std::string& s) {
    Cell* top = stack::top_ptr;
    Cell u = *url::load(reinterpret_cast<const uint8_t*>(s.data()), uint32_t(s.size()));
    stack::top_ptr = top;
    return u;
}

struct Call {
    const char* method = "get";
    std::string url;
    Cell headers = none::value;
    Cell data = none::value;
    bool binary = false, lines = false, info = false;
};

// The answer molded, or "failed" when the request answered false (out must
// then be left as it was).
std::string ask(const Call& c) {
    gc::Rooted method(w(c.method)), u(url_of(c.url)), headers(c.headers), data(c.data);
    gc::Rooted out(integer(-7));
    bool ok = http::request(method.get(), u.get(), headers.get(), data.get(), c.binary, c.lines, c.info, out.get());
    if (!ok) {
        EXPECT_TRUE(out->is(TYPE_INTEGER) && out->data2 == uint32_t(-7)) << "out changed by a failed request";
        return "failed";
    }
    return mold_text(out.cell, false, true);
}

class Http : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.ok()) GTEST_SKIP() << "no loopback server could be started";
    }
    Server server{&route};
};

TEST_F(Http, GetAnswersTextBinaryOrLines) {
    Call c;
    c.url = server.url("/text");
    EXPECT_EQ(ask(c), "\"café 😀^M^/second line^/third\"");
    c.binary = true;
    EXPECT_EQ(ask(c), "#{636166C3A920F09F98800D0A7365636F6E64206C696E650A7468697264}");
    c.binary = false;
    c.lines = true;
    EXPECT_EQ(ask(c), "[\"café 😀\" \"second line\" \"third\"]");
    c.lines = false;
    c.url = server.url("/binary");
    c.binary = true;
    EXPECT_EQ(ask(c), "#{00FFC32880}");
    c.binary = false;
    // bytes that are not UTF-8 still give a string: each bad byte a U+FFFD
    EXPECT_EQ(ask(c), "\"^@\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\"");
}

TEST_F(Http, DefaultHeadersOnlyWithoutAHeaderBlock) {
    Call c;
    c.url = server.url("/echo");
    EXPECT_EQ(ask(c), "\"GET \"");
    c.headers =
        block_of({w("X-Token"), text("abc"), text("X-Count"), integer(42), w("Accept-Charset"), text("latin1")});
    EXPECT_EQ(ask(c), "\"GET \"");
    auto got = server.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(got[0].header("Accept-Charset"), "UTF-8");
    EXPECT_EQ(got[0].header("User-Agent"), "Mozilla/5.0 (Windows NT 6.1; Win64; x64)");
    // a header block replaces all three
    EXPECT_EQ(got[1].header("X-Token"), "abc");
    EXPECT_EQ(got[1].header("X-Count"), "42");
    EXPECT_EQ(got[1].header("Accept-Charset"), "latin1");
    EXPECT_EQ(got[1].header("Content-Type"), "-");
    EXPECT_EQ(got[1].header("User-Agent"), "-");
}

TEST_F(Http, RequestBodies) {
    struct Case {
        const char* method;
        Cell data;
        Cell headers;
        const char* sent_method;
        std::string sent_body;
        const char* content_type;
    } cases[] = {
        {"post", text("a=1&b=é"), none::value, "POST", "a=1&b=\xC3\xA9", "application/x-www-form-urlencoded"},
        {"post", binary::of_bytes({0, 1, 0xFF}), block_of({w("Content-Type"), text("application/octet-stream")}),
         "POST", std::string("\x00\x01\xFF", 3), "application/octet-stream"},
        // a header block without Content-Type sends none with the body
        {"post", text("x"), block_of({w("X-A"), text("1")}), "POST", "x", "-"},
        {"put", text("data"), none::value, "PUT", "data", "application/x-www-form-urlencoded"},
        {"delete", none::value, none::value, "DELETE", "", "application/x-www-form-urlencoded"},
        // GET and HEAD never send one
        {"get", text("ignored"), none::value, "GET", "", "application/x-www-form-urlencoded"},
    };
    for (const Case& k : cases) {
        size_t before = server.received().size();
        Call c;
        c.method = k.method;
        c.url = server.url("/echo");
        c.data = k.data;
        c.headers = k.headers;
        EXPECT_NE(ask(c), "failed") << k.method;
        auto got = server.received();
        ASSERT_EQ(got.size(), before + 1) << k.method;
        EXPECT_EQ(got.back().method, k.sent_method);
        EXPECT_EQ(got.back().body, k.sent_body) << k.method;
        EXPECT_EQ(got.back().header("Content-Type"), k.content_type) << k.method;
        EXPECT_EQ(got.back().header("Expect"), "-") << "no 100-continue wait";
    }
}

TEST_F(Http, InfoGivesStatusHeadersAndBody) {
    Call c;
    c.url = server.url("/cookies");
    c.info = true;
    EXPECT_EQ(ask(c), "[200 #[Set-Cookie: [\"a=1\" \"b=2\"] X-One: \"one\" Content-Length: \"2\" Connection: "
                      "\"close\"] \"ok\"]");
    // HEAD: the status and headers, an empty body
    c.method = "head";
    c.url = server.url("/text");
    EXPECT_EQ(ask(c), "[200 #[Content-Type: \"text/plain; charset=utf-8\" Content-Length: \"29\" Connection: "
                      "\"close\"] \"\"]");
    c.binary = true;
    EXPECT_EQ(ask(c), "[200 #[Content-Type: \"text/plain; charset=utf-8\" Content-Length: \"29\" Connection: "
                      "\"close\"] #{}]");
    EXPECT_EQ(server.received().back().method, "HEAD");
}

TEST_F(Http, RedirectsAndErrorStatuses) {
    Call c;
    c.url = server.url("/redirect");
    c.info = true;
    // only the final response's headers are kept
    EXPECT_EQ(ask(c), "[200 #[Content-Type: \"text/plain; charset=utf-8\" Content-Length: \"29\" Connection: "
                      "\"close\"] \"café 😀^M^/second line^/third\"]");
    auto got = server.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].target, "/text");
    // an error status is an answer, not a failure
    c.url = server.url("/nothing");
    EXPECT_EQ(ask(c), "[404 #[Content-Length: \"8\" Connection: \"close\"] \"not here\"]");
    c.info = false;
    EXPECT_EQ(ask(c), "\"not here\"");
    // a redirect that never ends fails after the limit
    c.url = server.url("/loop");
    EXPECT_EQ(ask(c), "failed");
    EXPECT_LE(server.received().size(), got.size() + 2 + 21);
}

TEST_F(Http, UrlsArePercentEncodedOnTheWire) {
    Call c;
    c.url = server.url("/echo dir/é?q=a b");
    EXPECT_EQ(ask(c), "\"not here\"");
    EXPECT_EQ(server.received().back().target, "/echo%20dir/%C3%A9?q=a%20b");
}

TEST_F(Http, FailuresAnswerFalse) {
    // a header that would forge other header lines is never sent
    Call c;
    c.url = server.url("/echo");
    c.headers = block_of({w("X-A"), text("1\r\nX-Forged: yes")});
    EXPECT_EQ(ask(c), "failed");
    c.headers = block_of({text("Bad Name"), text("1")});
    EXPECT_EQ(ask(c), "failed");
    EXPECT_TRUE(server.received().empty());
    // a method that is not a word, or not a token
    gc::Rooted method(text("get")), u(url_of(server.url("/echo"))), none_cell(none::value), out;
    EXPECT_FALSE(http::request(method.get(), u.get(), none_cell.get(), none_cell.get(), false, false, false,
                               out.get()));
    Cell odd = w("get");
    odd.data2 = uint32_t(symbol::make("GET /x HTTP/1.1\r\nX-Forged:"));
    method.cell = odd;
    EXPECT_FALSE(http::request(method.get(), u.get(), none_cell.get(), none_cell.get(), false, false, false,
                               out.get()));
    // unsupported schemes
    c.headers = none::value;
    c.url = "ftp://127.0.0.1/x";
    EXPECT_EQ(ask(c), "failed");
}

// An url on a loopback port that was just free: nothing listens there.
// Empty when no port could be had.
std::string refused_url() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    ::close(fd);
    return ok ? "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/x" : "";
}

TEST(HttpRefused, ConnectionRefusedAnswersNoneAndReadRaises) {
    std::string target = refused_url();
    ASSERT_FALSE(target.empty());
    Call c;
    c.url = target;
    EXPECT_EQ(ask(c), "failed");
    c.info = true;
    EXPECT_EQ(ask(c), "failed");
    // the url! actions turn the failure into access/no-connect
    auto saved = url::http_request;
    http::init();
    Cell u = url_of(target);
    EXPECT_EQ(raised([&] { url::read(&u, nullptr, nullptr, false, false, false, nullptr); }), "access/no-connect");
    url::http_request = saved;
}

// ---- servers that misbehave -------------------------------------------------------------------------

bool send_text(int socket, const std::string& text) {
    return ::send(socket, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
}

// Promises 1,000 bytes, then sends one every 300 ms while the client stays.
void trickle(int socket, const std::atomic<bool>& stop) {
    if (!send_text(socket, "HTTP/1.1 200 X\r\nContent-Length: 1000\r\n\r\n")) return;
    for (int i = 0; i < 100 && !stop; i++) {
        if (!send_text(socket, "x")) return;
        ::usleep(300000);
    }
}

// Promises 100 bytes, sends 10 and closes the connection.
void cut_short(int socket, const std::atomic<bool>&) {
    send_text(socket, "HTTP/1.1 200 X\r\nContent-Length: 100\r\n\r\n0123456789");
}

TEST(HttpMisbehaving, ATrickleIsGivenUpOnBelowTheLowSpeedLimit) {
    // a byte every 0.3 s never stalls the transfer: only a rate limit ends it
    Server server{Server::Raw(&trickle)};
    if (!server.ok()) GTEST_SKIP() << "no loopback server could be started";
    platform::http::Request req;
    req.url = server.url("/slow");
    req.low_speed_limit = 100;
    req.low_speed_time = 2;
    platform::http::Response resp;
    std::string reason;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::http::perform(req, &resp, &reason));
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 15);
    EXPECT_EQ(reason, "too-slow");
    // the limit a request starts with is well above a trickle
    EXPECT_GE(platform::http::Request().low_speed_limit, 100);
}

TEST(HttpMisbehaving, TheErrorGivesTheRealReason) {
    Server cut{Server::Raw(&cut_short)};
    if (!cut.ok()) GTEST_SKIP() << "no loopback server could be started";
    std::string refused = refused_url();
    ASSERT_FALSE(refused.empty());
    struct Case {
        std::string url;
        const char* reason;
    } cases[] = {
        {refused, "reason: refused\n"},
        {cut.url("/cut"), "reason: cut-short\n"},
    };
    auto saved = url::http_request;
    http::init();
    for (const Case& c : cases) {
        std::string formed;
        EXPECT_EQ(testing_interp::run("read " + c.url, &formed), "error access/no-connect") << c.url;
        EXPECT_NE(formed.find(c.reason), std::string::npos) << formed;
    }
    url::http_request = saved;
}

TEST(HttpHeaders, ParsedIntoAMap) {
    struct Case {
        std::string text;
        const char* molded;
    } cases[] = {
        {"", "#[]"},
        {"A: 1\r\nB: two words \r\n", "#[A: \"1\" B: \"two words\"]"},
        // repeats, whatever their letter case, gather in the first one's entry
        {"Set-Cookie: x\r\nOther: o\r\nSET-COOKIE: y\r\nset-cookie: z",
         "#[Set-Cookie: [\"x\" \"y\" \"z\"] Other: \"o\"]"},
        // lines without a colon or a name are skipped; a value may hold colons
        {"junk\r\n: empty\r\nTime: 10:20:30\r\n\r\n", "#[Time: \"10:20:30\"]"},
        {"E:\r\n", "#[E: \"\"]"},
    };
    for (const Case& k : cases) {
        gc::Rooted out;
        http::parse_headers(k.text.data(), k.text.size(), out.get());
        ASSERT_TRUE(out->is(TYPE_MAP));
        EXPECT_EQ(mold_text(out.cell, false, true), k.molded) << k.text;
    }
}

TEST(HttpHeaders, OnlyPlainHeaderLinesAreValid) {
    using platform::http::valid_header;
    EXPECT_TRUE(valid_header("X-A", "any value: with colon"));
    EXPECT_TRUE(valid_header("X-A", ""));
    EXPECT_FALSE(valid_header("", "v"));
    EXPECT_FALSE(valid_header("X A", "v"));
    EXPECT_FALSE(valid_header("X:A", "v"));
    EXPECT_FALSE(valid_header("X-A", "v\nInjected: 1"));
    EXPECT_FALSE(valid_header("X-A", std::string("v\0w", 3)));
}

}  // namespace
}  // namespace kro
