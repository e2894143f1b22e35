// port!: make with the scheme lookup and its errors, mold and form, the
// forwarding of the series and I/O actions to an actor object (argument
// layout, refinement flags, locals, results, errors), read and write as
// compositions, and native actors whose own table serves slots 25-62.
#include "datatypes/handle.hpp"
#include "datatypes/object.hpp"
#include "datatypes/port.hpp"
#include "interp_fixtures.hpp"

using namespace kro;
using namespace kro::testing_interp;

namespace {

// The actions these tests apply to ports, with their specs.
void define_port_actions() {
    static bool done = false;
    if (done) return;
    done = true;
    setup();
    define_action("at", A_AT, "[series index]");
    define_action("skip", A_SKIP, "[series offset]");
    define_action("tail?", A_TAIL_Q, "[series]");
    define_action("swap", A_SWAP, "[series1 series2]");
    define_action("select", A_SELECT,
                  "[series value [any-type!] /part length /only /case /same /any /with wild /skip size /last "
                  "/reverse]");
    define_action("remove", A_REMOVE, "[series /part length /key key-arg]");
    define_action("take", A_TAKE, "[series /part length /deep /last]");
    define_action("put", A_PUT, "[series key value [any-type!] /case]");
    define_action("sort", A_SORT, "[series /case /skip size /compare comparator /part length /all /reverse /stable]");
    define_action("modify", A_MODIFY, "[target field value [any-type!] /case]");
    define_action("rename", A_RENAME, "[from to]");
    define_action("create", A_CREATE, "[port]");
    define_action("delete", A_DELETE, "[port]");
    define_action("update", A_UPDATE, "[port]");
    define_action("query", A_QUERY, "[target]");
    define_action("open", A_OPEN, "[port /new /read /write /seek /allow access]");
    define_action("open?", A_OPEN_Q, "[port]");
    define_action("close", A_CLOSE, "[port]");
    define_action("read", A_READ, "[source /part length /seek index /binary /lines /info /as encoding]");
    define_action("write", A_WRITE,
                  "[destination data [any-type!] /binary /lines /info /append /part length /seek index /allow "
                  "access /as encoding]");
}

// An actor that records each call with the cells it received.
constexpr const char* LOG_ACTOR = R"(make object! [
    open: func [port /new /read /write /seek /allow access /local scratch] [
        record 'open record write record seek record allow record access record scratch
        scratch: 1 port/state: 'opened port]
    close: func [port] [record 'close port/state: 'closed port]
    copy: func [port /part length /deep /types kind] [record 'copy record part record length record deep "copied"]
    insert: func [port value /part length /only /dup count] [
        record 'insert record value record part record length record only record dup record count port]
    append: func [port value /part length /only /dup count] [
        record 'append record value record part record length record dup record count port]
    swap: func [port other] [record 'swap record other other]
    length?: func [port] [record 'length? 42]
    tail?: func [port] [record 'tail? true]
    at: func [port index] [record 'at record index index * 10]
    skip: func [port offset] [record 'skip record offset port]
    pick: func [port index] [record 'pick record index index]
    poke: func [port index value] [record 'poke record index record value value]
    select: func [port value /part length /only /case /same /any /with wild /skip size /last /reverse] [
        record 'select record value record case record skip record size record reverse 'found]
    remove: func [port /part length /key key-arg] [record 'remove record key record key-arg port]
    take: func [port /part length /deep /last] [record 'take record part record length record last 'taken]
    put: func [port key value /case] [record 'put record key record value record case value]
    sort: func [port /case /skip size /compare comparator /part length /all /reverse /stable] [
        record 'sort record compare record comparator record stable port]
    modify: func [port field value /case] [record 'modify record field record value 'modified]
    rename: func [port to] [record 'rename record to to]
    query: func [port] [record 'query 'info]
    delete: func [port] [record 'delete 1 / 0]
    clear: 'not-a-function
])";

// An actor that knows neither close nor insert.
constexpr const char* PARTIAL_ACTOR = R"(make object! [
    open: func [port /new /read /write /seek /allow access] [record 'open port]
    copy: func [port /part length /deep /types kind] [record 'copy "data"]
])";

Cell evaluate(const char* code) {
    gc::Rooted blk(load(code));
    Cell* top = stack::top_ptr;
    interp::do_block(blk.get());
    Cell result = *(stack::top_ptr - 1);
    stack::top_ptr = top;
    return result;
}

void add_scheme(const char* name, const Cell& actor) {
    gc::Rooted a(actor), out;
    port::add_scheme(name, a.get(), out.get());
}

class Ports : public ::testing::Test {
protected:
    void SetUp() override {
        define_port_actions();
        add_scheme("logging", evaluate(LOG_ACTOR));
        add_scheme("partial", evaluate(PARTIAL_ACTOR));
        add_scheme("broken", integer(5));
        recorded().clear();
    }
    // Runs the code after making p (and q) from the logging scheme; answers
    // the result and the calls recorded.
    std::string on_port(const std::string& code, std::vector<std::string>* calls = nullptr) {
        recorded().clear();
        std::string r = run("p: make port! [scheme: 'logging] q: make port! [scheme: 'logging] " + code);
        if (calls) *calls = recorded();
        return r;
    }
};

using Calls = std::vector<std::string>;

TEST_F(Ports, MakeLooksTheSchemeUp) {
    EXPECT_EQ(run("p: make port! [scheme: 'logging host: \"h\" port: 80] p/spec/host"), "\"h\"");
    EXPECT_EQ(run("p/spec/port"), "80");
    EXPECT_EQ(run("p/scheme"), "logging");
    EXPECT_EQ(run("p/state"), "none") << "nothing is opened by make";
    EXPECT_TRUE(recorded().empty());
    EXPECT_EQ(run("s: make object! [scheme: 'logging path: %/x] p: make port! s p/spec/path"), "%/x");
    // an object spec is taken as it is, not copied
    EXPECT_EQ(run("s/path: %/y p/spec/path"), "%/y");
    // two ports of one scheme share its actor object
    gc::Rooted p1(evaluate("make port! [scheme: 'logging]"));
    gc::Rooted p2(evaluate("make port! [scheme: 'logging]"));
    EXPECT_TRUE(p1->is(TYPE_PORT));
    EXPECT_NE(p1->data1, p2->data1);
    Cell a1 = port::get_actor(p1.get()), a2 = port::get_actor(p2.get());
    EXPECT_EQ(a1.data1, a2.data1);
}

TEST_F(Ports, MakeErrorsCarryTheSpec) {
    struct Err {
        const char* code;
        const char* error;
        const char* arg;
    } cases[] = {
        {"make port! [scheme: \"logging\"]", "access/no-scheme", "[scheme: \"logging\"]"},
        {"make port! [host: \"h\"]", "access/no-scheme", "[host: \"h\"]"},
        {"make port! [scheme: 'nowhere]", "access/unknown-scheme", "[scheme: 'nowhere]"},
        {"make port! [scheme: 'broken]", "access/invalid-actor", "[scheme: 'broken]"},
    };
    for (const Err& e : cases) {
        EXPECT_EQ(run(e.code), std::string("error ") + e.error) << e.code;
        EXPECT_EQ(mold_text(last_raised().args[0], false, true), e.arg) << e.code;
    }
    // the maker behind url! takes a registry of its own
    gc::Rooted parts(evaluate("make object! [scheme: 'logging]")), registry(evaluate("make object! [x: 1]")), out;
    EXPECT_EQ(raised([&] { port::make_port(registry.get(), parts.get(), out.get()); }), "access/unknown-scheme");
    gc::Rooted schemes(*port::schemes());
    port::make_port(schemes.get(), parts.get(), out.get());
    EXPECT_TRUE(out->is(TYPE_PORT));
}

TEST_F(Ports, MoldAndForm) {
    gc::Rooted actor(handle::make(0, handle::CLASS_NULL)), out;
    port::add_scheme("plain", actor.get(), out.get());
    const std::string body =
        "\n    spec: make object! [\n        scheme: 'plain\n        user-info: none\n        host: none\n"
        "        port: none\n        path: none\n        target: none\n        query: none\n"
        "        fragment: none\n        ref: none\n    ]\n    scheme: 'plain\n    actor: handle!\n"
        "    awake: none\n    state: none\n    data: none\n    extra: none\n";
    gc::Rooted p(evaluate("make port! [scheme: 'plain]"));
    EXPECT_EQ(mold_text(p.cell), "make port! [" + body + "]");
    EXPECT_EQ(form_text(p.cell), "make port! [" + body + "]");
    // one level down, in an object's field, the closing bracket is indented
    std::string nested = run("o: make object! [f: make port! [scheme: 'plain]] mold o");
    const std::string head = "{make object! [^/    f: make port! [^/        spec: make object! [^/            scheme";
    const std::string tail = "^/        extra: none^/    ]^/]}";
    EXPECT_EQ(nested.substr(0, head.size()), head);
    ASSERT_GT(nested.size(), tail.size());
    EXPECT_EQ(nested.substr(nested.size() - tail.size()), tail);
    // the prefix counts against the /part budget
    int32_t left = 0;
    mold_text(p.cell, false, false, 5, &left);
    EXPECT_EQ(left, 5 - 12 - 1) << "no field fits after the prefix; the bracket closes";
    EXPECT_EQ(run("mold/part make port! [scheme: 'plain] 5"), "\"make \"");
    EXPECT_EQ(run("mold/part make port! [scheme: 'plain] 12"), "\"make port! [\"");
}

TEST_F(Ports, ActionsAreForwardedWithTheirArguments) {
    struct Fwd {
        const char* code;
        const char* result;
        Calls calls;
    } cases[] = {
        {"length? p", "42", {"length?"}},
        {"tail? p", "true", {"tail?"}},
        {"at p 3", "30", {"at", "3"}},
        {"pick p 2", "2", {"pick", "2"}},
        {"poke p 'k \"v\"", "\"v\"", {"poke", "k", "\"v\""}},
        {"swap p [1 2]", "[1 2]", {"swap", "[1 2]"}},
        {"insert p \"abc\"", "port", {"insert", "\"abc\"", "false", "none", "false", "false", "none"}},
        {"insert/part/only p [a b c] 2", "port", {"insert", "[a b c]", "true", "2", "true", "false", "none"}},
        {"append/dup p 'x 3", "port", {"append", "x", "false", "none", "true", "3"}},
        {"copy/deep p", "\"copied\"", {"copy", "false", "none", "true"}},
        {"copy/part p 4", "\"copied\"", {"copy", "true", "4", "false"}},
        {"select/case/skip p 'v 2", "found", {"select", "v", "true", "true", "2", "false"}},
        {"remove/key p 'k", "port", {"remove", "true", "k"}},
        {"take/last p", "taken", {"take", "false", "none", "true"}},
        {"put/case p 'k 9", "9", {"put", "k", "9", "true"}},
        {"sort/stable p", "port", {"sort", "false", "none", "true"}},
        {"modify p 'f 1", "port", {"modify", "f", "1"}},  // modify answers its target, not 'modified
        {"rename p %new", "%new", {"rename", "%new"}},
        {"query p", "info", {"query"}},
        // the locals start as none whatever cells the refinements took
        {"open/write/allow p [read]", "port", {"open", "true", "false", "true", "[read]", "none"}},
        {"open p", "port", {"open", "false", "false", "false", "none", "none"}},
        {"close p", "port", {"close"}},
    };
    for (const Fwd& f : cases) {
        Calls calls;
        std::string r = on_port(f.code, &calls);
        if (std::string(f.result) == "port") EXPECT_EQ(r.substr(0, 12), "make port! [") << f.code;
        else EXPECT_EQ(r, f.result) << f.code;
        EXPECT_EQ(calls, f.calls) << f.code;
    }
    // what the actor did to the port stays done
    EXPECT_EQ(on_port("open p p/state"), "opened");
    EXPECT_EQ(on_port("open p close p p/state"), "closed");
    EXPECT_EQ(on_port("open p q/state"), "none");
}

TEST_F(Ports, ErrorsOfTheForwarding) {
    Calls calls;
    // no function of the action's name (or a value that is not a function)
    EXPECT_EQ(run("p: make port! [scheme: 'partial] close p"), "error access/no-port-action");
    EXPECT_EQ(mold_text(last_raised().args[0]), "close");
    EXPECT_EQ(on_port("clear p"), "error access/no-port-action");
    EXPECT_EQ(mold_text(last_raised().args[0]), "clear");
    // errors raised by the actor pass through unchanged
    EXPECT_EQ(on_port("delete p", &calls), "error math/zero-divide");
    EXPECT_EQ(calls, (Calls{"delete"}));
    // an actor that is no object
    EXPECT_EQ(on_port("p/actor: 5 length? p"), "error access/invalid-port");
    EXPECT_EQ(on_port("p/actor: none open p"), "error access/invalid-port");
    // actions ports do not support
    EXPECT_EQ(on_port("open? p"), "error script/expect-arg");
    EXPECT_EQ(on_port("p + 1"), "error script/expect-arg");
    EXPECT_EQ(on_port("to port! []"), "error script/expect-arg");
}

TEST_F(Ports, ReadAndWriteAreCompositions) {
    Calls calls;
    EXPECT_EQ(on_port("read p", &calls), "\"copied\"");
    EXPECT_EQ(calls, (Calls{"open", "false", "false", "false", "none", "none", "copy", "false", "none", "false",
                            "close"}));
    EXPECT_EQ(on_port("read/part/seek p 5 10", &calls), "\"copied\"");
    EXPECT_EQ(calls, (Calls{"open", "false", "true", "false", "none", "none", "copy", "true", "5", "false", "close"}));
    EXPECT_EQ(on_port("write p \"data\"", &calls), "\"copied\"");
    EXPECT_EQ(calls, (Calls{"open", "true", "false", "false", "none", "none", "insert", "\"data\"", "false", "none",
                            "false", "false", "none", "copy", "false", "none", "false", "close"}));
    EXPECT_EQ(on_port("write/part/seek p \"data\" 2 1", &calls), "\"copied\"");
    EXPECT_EQ(calls, (Calls{"open", "true", "true", "false", "none", "none", "insert", "\"data\"", "true", "2",
                            "false", "false", "none", "copy", "false", "none", "false", "close"}));
    // the port itself is not replaced by what the steps answer
    EXPECT_EQ(on_port("read p p/state"), "closed");
    // an actor without close: read fails after open and copy ran
    recorded().clear();
    EXPECT_EQ(run("p: make port! [scheme: 'partial] read p"), "error access/no-port-action");
    EXPECT_EQ(mold_text(last_raised().args[0]), "close");
    EXPECT_EQ(recorded(), (Calls{"open", "copy"}));
    recorded().clear();
    EXPECT_EQ(run("write p 1"), "error access/no-port-action");
    EXPECT_EQ(mold_text(last_raised().args[0]), "insert");
    EXPECT_EQ(recorded(), (Calls{"open"}));
}

TEST_F(Ports, CompareAsObjects) {
    EXPECT_EQ(on_port("p = p"), "true");
    EXPECT_EQ(on_port("p = 1"), "false");
    EXPECT_EQ(on_port("open p p = q"), "false") << "their states differ";
    EXPECT_EQ(on_port("p < q"), "error script/invalid-compare");
}

// ---- native actors -------------------------------------------------------------------------------

std::vector<std::string>& native_calls() {
    static std::vector<std::string> calls;
    return calls;
}

Cell* native_open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
    native_calls().push_back(std::string("open") + (write ? "/write" : "") + (seek ? "/seek" : "") +
                             (allow ? "/allow" : ""));
    return port;
}
Cell* native_close(Cell* port) {
    native_calls().push_back("close");
    return port;
}
int32_t native_length(Cell*) {
    native_calls().push_back("length?");
    return 7;
}
// a stack-only slot reads the call's cells itself
Cell* native_at() {
    native_calls().push_back("at " + mold_text(stack::arguments[1]));
    stack::arguments[0] = stack::arguments[1];
    return stack::arguments;
}
Cell* native_open_q(Cell* port) {
    native_calls().push_back("open?");
    *port = logic::true_value;
    return port;
}

const port::NativeActor& native_table() {
    static port::NativeActor table = [] {
        port::NativeActor t;
        t.set<A_OPEN>(&native_open).set<A_CLOSE>(&native_close).set<A_LENGTH_Q>(&native_length);
        t.set<A_AT>(&native_at).set<A_OPEN_Q>(&native_open_q);
        return t;
    }();
    return table;
}

TEST_F(Ports, NativeActorsServeTheirOwnSlots) {
    static Cell actor = port::register_native_actor(&native_table());
    EXPECT_EQ(port::native_actor_of(&actor), &native_table());
    EXPECT_EQ(mold_text(actor, false, false, -1, nullptr, true), "#[handle! 00000001h actor]");
    add_scheme("native", actor);
    native_calls().clear();
    struct Nat {
        const char* code;
        const char* result;
        const char* call;
    } cases[] = {
        {"open/write/seek p", "port", "open/write/seek"},
        {"length? p", "7", "length?"},
        {"at p 4", "4", "at 4"},
        {"open? p", "true", "open?"},  // not the port! row's (unsupported) entry
        {"close p", "port", "close"},
    };
    for (const Nat& n : cases) {
        native_calls().clear();
        std::string r = run(std::string("p: make port! [scheme: 'native] ") + n.code);
        if (std::string(n.result) == "port") EXPECT_EQ(r.substr(0, 12), "make port! [") << n.code;
        else EXPECT_EQ(r, n.result) << n.code;
        EXPECT_EQ(native_calls(), (Calls{n.call})) << n.code;
    }
    // an action the table lacks, read and write included
    for (const char* code : {"read p", "write p 1", "copy p", "insert p 1"}) {
        native_calls().clear();
        EXPECT_EQ(run(std::string("p: make port! [scheme: 'native] ") + code), "error access/no-port-action") << code;
        EXPECT_TRUE(native_calls().empty()) << code;
    }
    EXPECT_EQ(mold_text(last_raised().args[0]), "insert");
    // slots below 25 still come from the port! row
    EXPECT_EQ(run("p: make port! [scheme: 'native] p/scheme"), "native");
    // a handle that names no table
    gc::Rooted stray(handle::make(99, handle::CLASS_ACTOR)), fd(handle::make(1, handle::CLASS_FD)), out;
    EXPECT_EQ(port::native_actor_of(stray.get()), nullptr);
    EXPECT_EQ(port::native_actor_of(fd.get()), nullptr);
    port::add_scheme("stray", stray.get(), out.get());
    EXPECT_EQ(run("p: make port! [scheme: 'stray] open p"), "error access/invalid-actor");
    // a native actor is no object: the forwarders refuse it
    gc::Rooted p(evaluate("make port! [scheme: 'native]"));
    EXPECT_EQ(raised([&] { port::get_actor(p.get()); }), "access/invalid-port");
}

}  // namespace
