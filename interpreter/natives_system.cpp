// The system natives (slots 37, 85, 86, 93-96, 99, 101, 102, 105, 106): fronts
// that check and convert their arguments, call the platform layer, the file
// layer, the tokenizer, the memory statistics or the collector, and shape the
// answer.
#include "interpreter/natives_system.hpp"

#include <time.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/date.hpp"
#include "datatypes/file.hpp"
#include "datatypes/map.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/time.hpp"
#include "datatypes/url.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory_stats.hpp"
#include "foundation/platform/os.hpp"
#include "foundation/platform/osinfo.hpp"
#include "foundation/platform/process.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/natives.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"
#include "io/simple_io.hpp"

namespace kro::natives {

namespace system_hooks {

void (*poll_events)(Cell* result) = nullptr;

namespace {
int desktop_open(const std::string& target) { return int(platform::call::browse(target)); }
}  // namespace

int (*open_in_desktop)(const std::string& target) = &desktop_open;

size_t call_capture_limit = size_t(1) << 30;

}  // namespace system_hooks

namespace {

constexpr int32_t STATS = 37, TO_LOCAL_FILE = 85, WAIT = 86, SET_ENV = 93, GET_ENV = 94, LIST_ENV = 95,
                  NOW = 96, CALL = 99, SIZE_Q = 101, BROWSE = 102, RECYCLE = 105, TRANSCODE = 106;

Cell show_stats_word;  // show-memory-stats, the library function behind stats/show

inline Flow result_cell(Cell value) { return result(&value); }

// The text of an environment variable's name: a string's characters or a
// word's spelling, as UTF-8. Empty optional for a name no system call can
// take (a NUL inside, a code point beyond Unicode).
std::optional<std::string> env_name(Cell* var) {
    if (series::is_text_kind(var->type())) {
        int32_t n = -1;
        const char* text = string::to_os(var, &n);
        if (!text) return std::nullopt;
        return std::string(text, size_t(n));
    }
    return std::string(symbol::name(int32_t(var->data2)));
}

// ---- time and waiting ------------------------------------------------------------------------

// refs: /year /month /day /time /zone /date /weekday /yearday /precise /utc.
Flow now_native(const int32_t* refs) {
    date::NowOptions o;
    o.year = used(refs, 0);
    o.month = used(refs, 1);
    o.day = used(refs, 2);
    o.time = used(refs, 3);
    o.zone = used(refs, 4);
    o.date = used(refs, 5);
    o.weekday = used(refs, 6);
    o.yearday = used(refs, 7);
    o.precise = used(refs, 8);
    o.utc = used(refs, 9);
    Cell out;
    date::now(&out, o);
    return result(&out);
}

// refs: /all (no effect).
Flow wait_native(const int32_t*) {
    Cell* value = arg(0);
    double seconds;
    switch (value->type()) {
        case TYPE_INTEGER:
            seconds = double(int32_t(value->data2));
            break;
        case TYPE_FLOAT:
            seconds = value->get_float();
            break;
        case TYPE_TIME:
            seconds = time::get(value);
            break;
        default:
            fire("script", "invalid-arg", value);
    }
    Cell answer = none::value;
    // No time, a negative one or NaN is no wait at all, not the platform's shortest sleep.
    if (seconds > 0) platform::wait(seconds);
    if (system_hooks::poll_events) system_hooks::poll_events(&answer);
    return result(&answer);
}

// ---- the environment -------------------------------------------------------------------------

Flow set_env_native(const int32_t*) {
    Cell* var = arg(0);
    Cell* value = arg(1);
    std::optional<std::string> name = env_name(var);
    // The system refuses these names: saying nothing would report a failure as success.
    if (!name || name->empty() || name->find('=') != std::string::npos) fire("script", "invalid-arg", var);
    bool done;
    if (value->is(TYPE_NONE)) {
        done = platform::set_env(name->c_str(), nullptr);
    } else {
        const char* text = string::to_os(value, nullptr);
        if (!text) fire("script", "invalid-arg", value);
        done = platform::set_env(name->c_str(), text);
    }
    if (!done) fire("script", "invalid-arg", var);
    // The clock reads the zone once per process unless told that TZ changed.
    if (*name == "TZ") ::tzset();
    return result(value);
}

Flow get_env_native(const int32_t*) {
    std::optional<std::string> name = env_name(arg(0));
    if (!name || name->empty()) return result(&none::value);
    std::string buffer;
    int32_t n = platform::get_env(name->c_str(), nullptr, 0);
    // The value may grow between asking its size and reading it: ask again then.
    while (n >= 0) {
        buffer.resize(size_t(n) + 1);
        int32_t got = platform::get_env(name->c_str(), buffer.data(), int32_t(buffer.size()));
        if (got < 0 || got < int32_t(buffer.size())) {
            n = got;
            break;
        }
        n = got;
    }
    if (n < 0) return result(&none::value);
    Cell s;
    string::make_at(&s, uint32_t(n) + 1, 1);
    string::append_utf8(&s, buffer.data(), n);
    return result(&s);
}

Flow list_env_native(const int32_t*) {
    std::vector<std::pair<std::string, std::string>> vars = platform::os::environment();
    gc::Rooted m;
    map::make_at(m.get(), nullptr, std::max<int32_t>(100, int32_t(vars.size())));
    for (const auto& [name, value] : vars) {
        Cell key, text;
        string::make_at(&key, uint32_t(name.size()) + 1, 1);
        string::append_utf8(&key, name.data(), int32_t(name.size()));
        string::make_at(&text, uint32_t(value.size()) + 1, 1);
        string::append_utf8(&text, value.data(), int32_t(value.size()));
        // Names differ by case alone on this system: each is its own entry.
        map::store(m.get(), &key, &text, nullptr, true);
    }
    return result(m.get());
}

// ---- file names ------------------------------------------------------------------------------

// refs: /full.
Flow to_local_file_native(const int32_t* refs) {
    Cell* path = arg(0);
    gc::Rooted local;
    string::make_at(local.get(), string::ks_length(path) + 1, 1);
    file::portable_to_local(path, local.get(), used(refs, 0));
    return result(local.get());
}

Flow size_q_native(const int32_t*) {
    std::optional<std::string> path = file::to_os_path(arg(0));
    std::optional<int64_t> size;
    if (path) size = simple_io::size_of(*path);
    if (!size) return result(&none::value);
    // A file past 2 GiB keeps its size as a float! rather than wrapping to a negative integer!.
    return result_cell(memory::amount_value(double(*size)));
}

Flow browse_native(const int32_t*) {
    Cell* target = arg(0);
    std::string text;
    if (target->is(TYPE_FILE)) {
        std::optional<std::string> path = file::to_os_path(target);
        if (!path) fire("script", "invalid-arg", target);
        text = *path;
    } else {
        // The opener takes the url as a browser would: its encoded form.
        gc::Rooted encoded;
        string::make_at(encoded.get(), string::ks_length(target) + 16, 1);
        url::encode(target, encoded.get(), url::DEFAULT_SET);
        text = string::to_utf8(encoded.get());
    }
    // As the desktop's own open, a failure to start the opener is silent.
    system_hooks::open_in_desktop(text);
    return result(&unset::value);
}

// ---- call ------------------------------------------------------------------------------------

// A POSIX shell word holding the text as it is.
std::string shell_quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// Where a redirected stream comes from or goes to. Text and bytes are copied
// out of the heap first: nothing of the heap is touched while the child runs.
struct Redirect {
    std::string bytes;               // input data
    std::vector<uint8_t> captured;   // output or error collected for a string or binary
    bool to_value = false;           // the capture goes into the argument afterwards
};

// Refuses a value that is not a string, a binary or a file (the argument types allow
// nothing else; a C++ caller might).
void expect_stream_value(const Cell* v) {
    if (!(v->is(TYPE_STRING) || v->is(TYPE_BINARY) || v->is(TYPE_FILE))) fire("script", "invalid-arg", v);
}

// A file target's local path; a name no system call can take fails the call.
bool file_stream(const Cell* v, platform::call::Stream& s) {
    std::optional<std::string> path = file::to_os_path(v);
    if (!path) return false;
    s = platform::call::Stream::file(*path);
    return true;
}

// Appends what the child wrote to the string or binary argument.
void deliver(Cell* target, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return;
    if (target->is(TYPE_BINARY)) {
        if (bytes.size() > 0x7FFFFFFFu) fire("internal", "no-memory");
        binary::append_bytes(target, bytes.data(), uint32_t(bytes.size()));
        return;
    }
    // The bytes are UTF-8 whether or not the shell ran the command; a byte that
    // starts no sequence stands for itself.
    const char* p = reinterpret_cast<const char*>(bytes.data());
    size_t left = bytes.size();
    while (left > 0) {
        int32_t n = int32_t(std::min<size_t>(left, 1u << 30));
        string::append_utf8(target, p, n);
        p += n;
        left -= size_t(n);
    }
}

// refs: /wait /show /console /shell /input (in) /output (out) /error (err).
Flow call_native(const int32_t* refs) {
    Cell* cmd = arg(0);
    Cell* in = ref_arg(refs, 4);
    Cell* out = ref_arg(refs, 5);
    Cell* err = ref_arg(refs, 6);
    auto fail = [] { return result_cell(Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(-1), 0}); };

    platform::call::Options o;
    o.wait = used(refs, 0);
    o.show = used(refs, 1);
    o.console = used(refs, 2);
    o.shell = used(refs, 3);
    if (cmd->is(TYPE_FILE)) {
        // A file names the program itself: its name is never split at blanks.
        std::optional<std::string> path = file::to_os_path(cmd);
        if (!path) return fail();
        if (o.shell) o.command = shell_quoted(*path);
        else o.argv = {*path};
    } else {
        int32_t n = -1;
        const char* text = string::to_os(cmd, &n);
        if (!text) return fail();
        o.command.assign(text, size_t(n));
    }

    Redirect input, output, error;
    if (in) {
        expect_stream_value(in);
        if (in->is(TYPE_FILE)) {
            if (!file_stream(in, o.input)) return fail();
        } else if (in->is(TYPE_BINARY)) {
            input.bytes.assign(reinterpret_cast<const char*>(binary::ks_head(in)), binary::ks_length(in));
            o.input = platform::call::Stream::bytes_in(reinterpret_cast<const uint8_t*>(input.bytes.data()),
                                                       input.bytes.size());
        } else {
            input.bytes = string::to_utf8(in);
            o.input = platform::call::Stream::bytes_in(reinterpret_cast<const uint8_t*>(input.bytes.data()),
                                                       input.bytes.size());
        }
    }
    auto sink = [&](Cell* v, Redirect& r, platform::call::Stream& s) {
        if (!v) return true;
        expect_stream_value(v);
        if (v->is(TYPE_FILE)) return file_stream(v, s);
        r.to_value = true;
        s = platform::call::Stream::bytes_out(r.captured);
        return true;
    };
    if (!sink(out, output, o.output) || !sink(err, error, o.error)) return fail();

    o.capture_limit = system_hooks::call_capture_limit;
    int32_t status = platform::call::run(o);
    // A capture cut at the limit is not the child's output: handing it back
    // would pass a part for the whole.
    if ((output.to_value && o.output.truncated) || (error.to_value && o.error.truncated))
        fire("script", "too-long");
    // Whatever the child wrote before a failure is kept, as with a file target.
    if (output.to_value) deliver(out, output.captured);
    if (error.to_value) deliver(err, error.captured);
    return result_cell(Cell{uint32_t(TYPE_INTEGER), 0, uint32_t(status), 0});
}

// ---- memory ----------------------------------------------------------------------------------

// refs: /show /info.
Flow stats_native(const int32_t* refs) {
    bool show = used(refs, 0), info = used(refs, 1);
    if (!show && !info) return result_cell(memory::amount_value(memory::stats(nullptr, 1)));
    gc::Rooted report;
    block::make_at(report.get(), 5);
    memory::stats(report.get(), 2);
    if (!show) return result(report.get());
    // The printer is looked up as the word would be: missing or unset, it has no value.
    const Cell* fn = context::get_global(int32_t(show_stats_word.data2));
    if (!fn || fn->is(TYPE_UNSET)) {
        Cell word = show_stats_word;
        fire("script", "no-value", &word);
    }
    if (!(fn->is(TYPE_FUNCTION) || fn->is(TYPE_ROUTINE) || fn->is(TYPE_NATIVE) || fn->is(TYPE_ACTION)))
        fire("script", "invalid-arg", fn);
    Cell f = *fn;
    Flow flow = interp::call_value(&f, report.get(), 1, &show_stats_word, 0);
    if (flow != Flow::NORMAL) return flow;
    return result(&unset::value);
}

// refs: /on /off.
Flow recycle_native(const int32_t* refs) {
    bool on = used(refs, 0), off = used(refs, 1);
    if (on && off) fire("script", "bad-refines");
    if (on || off) {
        collector::switch_on(on);
        return result(&unset::value);
    }
    // A collection whatever the switch says: asking for one is the point.
    return result_cell(memory::amount_value(collector::recycle()));
}

// ---- the tokenizer ---------------------------------------------------------------------------

// refs: /next /one /prescan /scan /part (length) /into (dst) /trace (callback).
Flow transcode_native(const int32_t* refs) {
    lexer::Refinements r;
    r.next = used(refs, 0);
    r.one = used(refs, 1);
    r.prescan = used(refs, 2);
    r.scan = used(refs, 3);
    r.part = ref_arg(refs, 4);
    r.into = ref_arg(refs, 5);
    r.trace = ref_arg(refs, 6);
    gc::Rooted out;
    lexer::transcode(arg(0), r, out.get());
    return result(out.get());
}

void install() {
    show_stats_word = Cell{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make("show-memory-stats")), uint32_t(-1)};
    set_fn(STATS, &stats_native);
    set_fn(TO_LOCAL_FILE, &to_local_file_native);
    set_fn(WAIT, &wait_native);
    set_fn(SET_ENV, &set_env_native);
    set_fn(GET_ENV, &get_env_native);
    set_fn(LIST_ENV, &list_env_native);
    set_fn(NOW, &now_native);
    set_fn(CALL, &call_native);
    set_fn(SIZE_Q, &size_q_native);
    set_fn(BROWSE, &browse_native);
    set_fn(RECYCLE, &recycle_native);
    set_fn(TRANSCODE, &transcode_native);
}

}  // namespace

KRO_NATIVE_GROUP(install);

}  // namespace kro::natives
