#include "console/completion.hpp"

#include <algorithm>

#include "console/console.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/casing.hpp"
#include "foundation/collector.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/platform/files.hpp"
#include "foundation/registry.hpp"
#include "foundation/unicode.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

namespace kro::completion {

namespace {

// ---- text ------------------------------------------------------------------------------------

// Names on disk need not be UTF-8: what is not becomes U+FFFD. Surrogate
// halves go through both ways, so such a name still completes to itself.
std::u32string from_utf8(std::string_view s) { return unicode::decode_utf8_text(s, true); }

std::string to_utf8(std::u32string_view s) { return unicode::encode_utf8_text(s, true); }

char32_t fold(char32_t c) { return char32_t(casing::convert(c, false)); }

bool less_caseless(const std::u32string& a, const std::u32string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        char32_t x = fold(a[i]), y = fold(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

// ---- the three kinds of token ------------------------------------------------------------------

bool is_delimiter(char32_t c) {
    return c == '\t' || c == ' ' || c == '[' || c == '(' || c == ':' || c == '\'' || c == '{';
}

void keep_matching(std::vector<std::u32string>& names, std::u32string_view prefix) {
    if (prefix.empty()) return;
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::u32string& n) { return !starts_with_caseless(n, prefix); }),
                names.end());
}

// The strings of a file token ("%", an optional folder, a name part).
std::vector<std::u32string> complete_file(std::u32string_view token, bool console, bool& common, Sources& src) {
    size_t slash = token.rfind(U'/');
    bool has_folder = slash != std::u32string_view::npos;
    std::u32string_view typed_folder = has_folder ? token.substr(1, slash) : std::u32string_view();
    std::u32string_view name = has_folder ? token.substr(slash + 1) : token.substr(1);
    std::u32string folder(has_folder ? typed_folder : std::u32string_view(U"./"));
    std::optional<std::vector<std::u32string>> listed = src.folder_names(folder);
    if (!listed) return {};
    std::vector<std::u32string> out = std::move(*listed);
    keep_matching(out, name);
    if (console) common = common_substr(out);
    if (out.size() == 1 || common) {
        std::u32string full(1, U'%');
        full.append(typed_folder).append(out[0]);
        out[0] = std::move(full);
    }
    return out;
}

// The strings of a path token: segments separated by "/".
std::vector<std::u32string> complete_path(std::u32string_view token, bool console, bool& common, Sources& src) {
    std::vector<std::u32string> walk;
    size_t from = 0;
    for (;;) {
        size_t slash = token.find(U'/', from);
        if (slash == std::u32string_view::npos) break;
        walk.emplace_back(token.substr(from, slash - from));
        from = slash + 1;
    }
    std::u32string_view last = token.substr(from);
    std::optional<std::vector<std::u32string>> offered = src.path_words(walk);
    if (!offered) return {};
    std::vector<std::u32string> out = std::move(*offered);
    keep_matching(out, last);
    if (console) common = common_substr(out);
    if (out.size() == 1 || common) out[0] = std::u32string(token.substr(0, from)) + out[0];
    return out;
}

std::vector<std::u32string> complete_word(std::u32string_view token, bool console, bool& common, Sources& src) {
    std::vector<std::u32string> out = src.global_words();
    keep_matching(out, token);
    // Names that differ only in case are one word's spellings: show one.
    std::vector<std::u32string> unique;
    for (auto& n : out)
        if (std::none_of(unique.begin(), unique.end(), [&](const std::u32string& u) { return equal_caseless(u, n); }))
            unique.push_back(std::move(n));
    out = std::move(unique);
    for (size_t i = 1; i < out.size(); i++)
        if (equal_caseless(out[i], token)) {
            std::swap(out[0], out[i]);
            break;
        }
    if (console) common = common_substr(out);
    return out;
}

}  // namespace

bool starts_with_caseless(std::u32string_view text, std::u32string_view prefix) {
    if (prefix.size() > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); i++)
        if (fold(text[i]) != fold(prefix[i])) return false;
    return true;
}

bool equal_caseless(std::u32string_view a, std::u32string_view b) {
    return a.size() == b.size() && starts_with_caseless(a, b);
}

bool common_substr(std::vector<std::u32string>& candidates) {
    if (candidates.size() <= 1) return false;
    std::stable_sort(candidates.begin(), candidates.end(), less_caseless);
    const std::u32string& first = candidates.front();
    const std::u32string& last = candidates.back();
    size_t n = 0;
    while (n < first.size() && n < last.size() && fold(first[n]) == fold(last[n])) n++;
    candidates.insert(candidates.begin(), first.substr(0, n));
    return true;
}

std::vector<std::u32string> complete_file_token(std::u32string_view token, bool console, bool& common,
                                                Sources& sources) {
    common = false;
    if (token.empty() || token[0] != U'%') return {};
    return complete_file(token, console, common, sources);
}

std::vector<std::u32string> complete_path_token(std::u32string_view token, bool console, bool& common,
                                                Sources& sources) {
    common = false;
    return complete_path(token, console, common, sources);
}

Result complete_input(std::u32string_view line, size_t caret, bool console, Sources& sources) {
    Result r;
    caret = std::min(caret, line.size());
    size_t start = caret;
    while (start > 0 && !is_delimiter(line[start - 1])) start--;
    bool delim = start > 0;
    bool insert = caret < line.size();
    std::u32string_view token = line.substr(start, caret - start);
    if (token.empty()) return r;

    bool common = false;
    if (token[0] == U'%' && token.size() > 1) {
        r.kind = Kind::file;
        r.strings = complete_file(token, console, common, sources);
    } else if (token[0] != U'/' && token.find(U'/') != std::u32string_view::npos) {
        r.kind = Kind::path;
        r.strings = complete_path(token, console, common, sources);
    } else {
        r.kind = Kind::word;
        r.strings = complete_word(token, console, common, sources);
    }
    r.common_part = common;
    if (!console) return r;

    if (common || r.strings.size() == 1) {
        std::u32string& first = r.strings[0];
        if (!common && equal_caseless(first, token)) {
            r.strings.clear();  // already complete
        } else if (insert || delim) {
            std::u32string head = std::u32string(line.substr(0, start)) + first;
            r.caret = head.size();
            if (insert) head += line.substr(caret);
            first = std::move(head);
        } else {
            r.caret = first.size();
        }
    }
    if (r.strings.empty()) r.kind = Kind::none;
    return r;
}

// ---- the running system --------------------------------------------------------------------------

namespace {

std::u32string name_of(int32_t symbol) {
    std::string_view n = symbol::name(symbol);
    return from_utf8(n);
}

const Cell* global_value(std::u32string_view name) {
    std::string u = to_utf8(name);
    int32_t sym = symbol::make_from_utf8(reinterpret_cast<const uint8_t*>(u.data()), uint32_t(u.size()));
    return context::get_global(sym);
}

// Whether the text reads as one word (a syntax error counts as no).
bool reads_as_word(std::u32string_view text) {
    if (text.empty()) return false;
    std::string u = to_utf8(text);
    Cell* top = stack::top_ptr;
    Cell* args = stack::arguments;
    int32_t depth = stack::frame_count();
    Cell out = unset::value;
    uint32_t caught = frame::catch_region(code::ERROR, [&] {
        word::scan_text(reinterpret_cast<const uint8_t*>(u.data()), uint32_t(u.size()), &out);
    });
    if (caught) {
        runtime_context.thrown_code = 0;
        if (stack::frame_count() > depth) stack::unwind_to(depth);
        stack::top_ptr = top;
        stack::arguments = args;
        return false;
    }
    return out.is(TYPE_WORD);
}

const Cell* field(const Cell* obj, std::u32string_view name) {
    int32_t n = object::field_count(obj);
    for (int32_t i = 0; i < n; i++) {
        const Cell* w = object::word_at(obj->data1, i);
        if (equal_caseless(name_of(int32_t(w->data2)), name)) return object::get_values(obj) + i;
    }
    return &none::value;
}

bool is_function(const Cell* v) {
    return v->is(TYPE_FUNCTION) || v->is(TYPE_ACTION) || v->is(TYPE_NATIVE) || v->is(TYPE_ROUTINE) ||
           v->is(TYPE_OP);
}

std::vector<std::u32string> refinements_of(const Cell* fn) {
    gc::Rooted f(*fn);
    Cell list = interp::arg_list(f.get());
    std::vector<std::u32string> out;
    for (int32_t i = 0; i < block::length(&list); i++) {
        const Cell* c = block::at(&list, i);
        if (!c->is(TYPE_REFINEMENT)) continue;
        std::u32string n = name_of(int32_t(c->data2));
        if (n != U"local") out.push_back(std::move(n));
    }
    return out;
}

std::vector<std::u32string> words_of(const Cell* obj) {
    std::vector<std::u32string> out;
    int32_t n = object::field_count(obj);
    for (int32_t i = 0; i < n; i++) {
        std::u32string w = name_of(int32_t(object::word_at(obj->data1, i)->data2));
        if (w != U"self") out.push_back(std::move(w));
    }
    return out;
}

// The words listed for a datatype in system/catalog/accessors: pairs of a
// datatype (or its word) and a block of words.
std::vector<std::u32string> accessors_of(uint32_t type) {
    const Cell* sys = global_value(U"system");
    if (!sys || !sys->is(TYPE_OBJECT)) return {};
    const Cell* catalog = field(sys, U"catalog");
    if (!catalog->is(TYPE_OBJECT)) return {};
    const Cell* list = field(catalog, U"accessors");
    if (!list->is(TYPE_BLOCK)) return {};
    std::string_view type_name = datatype::row(int32_t(type)).name ? datatype::row(int32_t(type)).name : "";
    for (int32_t i = int32_t(list->data1); i + 1 < block::length(list); i += 2) {
        const Cell* key = block::ks_abs_at(list, i);
        const Cell* words = block::ks_abs_at(list, i + 1);
        bool match = (key->is(TYPE_DATATYPE) && key->data1 == type) ||
                     (key->is(TYPE_WORD) && symbol::name(int32_t(key->data2)) == type_name);
        if (!match || !words->is(TYPE_BLOCK)) continue;
        std::vector<std::u32string> out;
        for (int32_t k = int32_t(words->data1); k < block::length(words); k++) {
            const Cell* w = block::ks_abs_at(words, k);
            if (word::any_word_type(w->type())) out.push_back(name_of(int32_t(w->data2)));
        }
        return out;
    }
    return {};
}

class RuntimeSources : public Sources {
public:
    std::vector<std::u32string> global_words() override {
        std::vector<std::u32string> out;
        uint32_t g = context::global;
        int32_t n = context::word_count(g);
        for (int32_t i = 0; i < n; i++) {
            int32_t sym = int32_t(context::word_at(g, i)->data2);
            const Cell* v = context::get_global(sym);
            if (!v || v->is(TYPE_UNSET)) continue;
            out.push_back(name_of(sym));
        }
        return out;
    }

    std::optional<std::vector<std::u32string>> path_words(const std::vector<std::u32string>& walk) override {
        if (walk.empty() || !reads_as_word(walk[0])) return std::nullopt;
        const Cell* v = global_value(walk[0]);
        if (!v) v = &unset::value;
        for (size_t i = 1; i < walk.size() && v->is(TYPE_OBJECT); i++) v = field(v, walk[i]);
        if (is_function(v)) return refinements_of(v);
        if (v->is(TYPE_OBJECT)) return words_of(v);
        return accessors_of(v->type());
    }

    std::optional<std::vector<std::u32string>> folder_names(const std::u32string& folder) override {
        auto listed = platform::files::list_dir(to_utf8(folder).c_str());
        if (!listed) return std::nullopt;
        std::vector<std::u32string> out;
        for (const platform::files::DirEntry& e : *listed) out.push_back(from_utf8(e.name) + (e.is_dir ? U"/" : U""));
        return out;
    }
};

}  // namespace

Sources& runtime_sources() {
    static RuntimeSources sources;
    return sources;
}

void complete_line(const std::u32string& line, size_t caret, std::vector<terminal::Completion>& out) {
    Result r = complete_input(line, caret, true, runtime_sources());
    for (size_t i = 0; i < r.strings.size(); i++)
        out.push_back({r.strings[i], i == 0 ? r.caret : r.strings[i].size()});
}

void install() { terminal::set_completion_hook(&complete_line); }

// ---- the language's side -----------------------------------------------------------------------

namespace {

void set_common_part(bool common) {
    const Cell* ctx_obj = global_value(U"kro-complete-ctx");
    if (ctx_obj && ctx_obj->is(TYPE_OBJECT)) {
        Cell* slot = const_cast<Cell*>(field(ctx_obj, U"has-common-part?"));
        if (slot != &none::value) *slot = common ? logic::true_value : logic::false_value;
    }
}

// The strings as a new block, the result of the running routine; with a kind
// other than none its word comes first.
void answer_strings(const std::vector<std::u32string>& strings, Kind kind, long first_caret) {
    gc::Rooted out;
    block::make_at(out.get(), int32_t(strings.size()) + 2);
    if (kind != Kind::none) {
        Cell w = word::load(kind == Kind::word ? "word" : kind == Kind::path ? "path" : "file");
        block::ks_append(out.get(), &w);
    }
    for (size_t i = 0; i < strings.size(); i++) {
        Cell s = cli_console::string_of(strings[i]);
        if (i == 0 && first_caret >= 0) s.data1 = uint32_t(first_caret);
        block::ks_append(out.get(), &s);
    }
    stack::set_last_reset(out.get());
}

bool logic_arg(const Cell* c) { return c->is(TYPE_LOGIC) && c->data1 != 0; }

// complete-input str [string!] console? [logic!]: a block of strings.
void complete_input_routine() {
    Cell* args = stack::arguments;
    Cell whole = args[0];
    size_t caret = whole.data1;
    whole.data1 = 0;
    std::u32string line = cli_console::text_of(&whole);
    bool console = logic_arg(&args[1]);
    Result r = complete_input(line, caret, console, runtime_sources());
    set_common_part(r.common_part);
    answer_strings(r.strings, console ? Kind::none : r.kind, console && !r.strings.empty() ? long(r.caret) : -1);
}

// kro-complete-file and kro-complete-path str [string!] console? [logic!]:
// the token's strings.
using TokenCompleter = std::vector<std::u32string> (*)(std::u32string_view, bool, bool&, Sources&);

void complete_token(TokenCompleter complete) {
    bool common = false;
    std::u32string token = cli_console::text_of(stack::arguments);
    auto strings = complete(token, logic_arg(stack::arguments + 1), common, runtime_sources());
    set_common_part(common);
    answer_strings(strings, Kind::none, -1);
}

void complete_file_routine() { complete_token(&complete_file_token); }
void complete_path_routine() { complete_token(&complete_path_token); }

// common-substr blk [block!]: sorts the strings of the block in place and
// puts their common prefix at its head.
void common_substr_routine() {
    Cell blk = stack::arguments[0];
    std::vector<std::u32string> strings;
    for (int32_t i = int32_t(blk.data1); i < block::length(&blk); i++) {
        const Cell* c = block::ks_abs_at(&blk, i);
        if (!c->is(TYPE_STRING)) fire("script", "invalid-arg", c);
        strings.push_back(cli_console::text_of(c));
    }
    bool common = common_substr(strings);
    set_common_part(common);
    if (common) {
        block::ks_clear_from(&blk, int32_t(blk.data1));
        for (const auto& text : strings) {
            Cell s = cli_console::string_of(text);
            block::ks_append(&blk, &s);
        }
    }
    stack::set_last_reset(&blk);
}

void evaluate(const char* text) {
    Cell code;
    lexer::ScanArgs a;
    lexer::scan_utf8(&code, reinterpret_cast<const uint8_t*>(text), std::char_traits<char>::length(text), a,
                     nullptr);
    gc::Rooted c(code);
    interp::do_block(c.get());
    stack::pop(1);
}

// A routine! of a C++ entry, its spec written in Kro; answers it.
Cell make_routine(function::CodeFn fn, const char* spec_text) {
    int32_t code = function::add_code(fn);
    Cell spec;
    lexer::ScanArgs a;
    lexer::scan_utf8(&spec, reinterpret_cast<const uint8_t*>(spec_text), std::char_traits<char>::length(spec_text),
                     a, nullptr);
    gc::Rooted s(*block::at(&spec, 0));
    Cell fn_value = *routine::make_value(s.get(), nullptr, code, 0, false);
    stack::pop(1);
    return fn_value;
}

}  // namespace

void install_words() {
    static bool made = false;
    static const char* const names[] = {"common-substr", "kro-complete-path", "kro-complete-file",
                                        "complete-input"};
    static Cell routines[4];
    if (!made) {
        made = true;
        gc::add_mark_callback([] {
            for (Cell& r : routines) collector::mark_value(&r);
        });
        routines[0] = make_routine(&common_substr_routine, "[\"Internal Use Only\" blk [block!]]");
        routines[1] = make_routine(&complete_path_routine,
                                   "[\"Internal Use Only\" str [string!] console? [logic!]]");
        routines[2] = make_routine(&complete_file_routine,
                                   "[\"Internal Use Only\" str [string!] console? [logic!]]");
        routines[3] = make_routine(
            &complete_input_routine,
            "[\"Completes the token before the caret of str\" str [string!] \"The line, positioned at the caret\" "
            "console? [logic!] \"Answer the new text first, candidates after\"]");
    }
    evaluate(
        "kro-complete-ctx: make object! [has-common-part?: false common-substr: kro-complete-path: "
        "kro-complete-file: complete-input: none]");
    const Cell* ctx_obj = global_value(U"kro-complete-ctx");
    for (int i = 0; i < 4; i++) {
        std::u32string name(names[i], names[i] + std::char_traits<char>::length(names[i]));
        *const_cast<Cell*>(field(ctx_obj, name)) = routines[i];
    }
    context::set_global(symbol::make("kro-complete-input"), &routines[3]);
}

}  // namespace kro::completion
