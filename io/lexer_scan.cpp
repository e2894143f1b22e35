#include "io/lexer_scan.hpp"

#include <cstring>

namespace kro::lexer {

namespace {

bool is_path_type(Type t) {
    return t == TYPE_PATH || t == TYPE_LIT_PATH || t == TYPE_SET_PATH || t == TYPE_GET_PATH;
}

uint32_t count_lines(const uint8_t* p, const uint8_t* end) {
    uint32_t n = 0;
    for (; p < end; ++p) n += *p == '\n';
    return n;
}

}  // namespace

// ---- the machine ----------------------------------------------------------------

void Machine::next(Token& t) {
    const uint8_t* p = cursor;
    const uint8_t* const stop = end;
    const uint8_t* start = p;
    uint32_t ln = line;
    uint32_t start_line = ln;
    uint32_t flags = 0;
    int state = start_state;
    int prev = state;
    for (;;) {
        if (p == stop) {
            // The end of input reads as a NUL that is not consumed.
            prev = state;
            state = tables.next[state][C_NUL];
            break;
        }
        uint32_t entry = tables.byte[*p];
        uint32_t cls = entry & CLASS_MASK;
        flags |= entry;
        prev = state;
        state = tables.next[state][cls];
        if (state > S_NEVER) break;
        ln += cls == C_LINE;
        ++p;
        if (state == S_START) {  // blanks between tokens are not part of the next one
            start = p;
            start_line = ln;
        }
    }
    t.start = start;
    t.end = p;
    t.next = p;
    t.flags = flags & ~CLASS_MASK;
    t.line = start_line;
    t.lines = start_line - line;
    t.inner = ln - start_line;
    t.state = uint8_t(state);
    t.prev_state = uint8_t(prev);
    t.start_state = start_state;
    t.type = token_type(state);
    cursor = p;
    line = ln;
}

// ---- shared pieces --------------------------------------------------------------

bool point_ahead(const uint8_t* p, const uint8_t* end) {
    if (end - p < 4) return false;
    for (; p < end; ++p) {
        switch (*p) {
            case '\t': case ' ': case '#': case '+': case '-': case '.':
            case 'A': case 'E': case 'F': case 'I': case 'N':
            case 'a': case 'e': case 'f': case 'i': case 'n':
                continue;
            default:
                if (*p >= '0' && *p <= '9') continue;
                return *p == ',';
        }
    }
    return true;
}

Type word_kind(const uint8_t* start, const uint8_t* end, int state, int* error) {
    size_t n = size_t(end - start);
    if (state == T_REFINEMENT) {
        if (n == 1 && start[0] == '/') return TYPE_WORD;
        if (n == 2) {
            if (start[0] == '\'' && start[1] == '/') return TYPE_LIT_WORD;
            if (start[0] == ':' && start[1] == '/') return TYPE_GET_WORD;
            if (start[0] == '/' && start[1] == ':') return TYPE_SET_WORD;
        }
        if (n >= 2 && start[0] == '/') return TYPE_REFINEMENT;
        *error = TYPE_REFINEMENT;
        return TYPE_NONE_ID;
    }
    if (n == 0) {
        *error = TYPE_WORD;
        return TYPE_NONE_ID;
    }
    uint8_t first = start[0];
    uint8_t last = end[-1];
    // A colon is a prefix or a suffix, never inside the name.
    if (n > 2 && std::memchr(start + 1, ':', n - 2)) {
        *error = TYPE_WORD;
        return TYPE_NONE_ID;
    }
    if (first == '\'') {
        if (n == 1 || last == ':') {  // a lit-word cannot also be a set-word
            *error = TYPE_LIT_WORD;
            return TYPE_NONE_ID;
        }
        return TYPE_LIT_WORD;
    }
    if (first == ':') {
        if (n == 1 || last == ':') {
            *error = TYPE_GET_WORD;
            return TYPE_NONE_ID;
        }
        return TYPE_GET_WORD;
    }
    return last == ':' ? TYPE_SET_WORD : TYPE_WORD;
}

int decode_utf8(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
    if (p >= end) return 0;
    uint32_t b = *p;
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    int n;
    uint32_t c;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        c = b & 0x0F;
        if (b == 0xE0) lo = 0xA0;       // overlong
        else if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        c = b & 0x07;
        if (b == 0xF0) lo = 0x90;       // overlong
        else if (b == 0xF4) hi = 0x8F;  // above 10FFFF
    } else {
        return 0;
    }
    if (end - p < n) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    c = (c << 6) | (p[1] & 0x3Fu);
    for (int i = 2; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3Fu);
    }
    *cp = c;
    return n;
}

const uint8_t* skip_unicode_blanks(const uint8_t* from, const uint8_t* to) {
    while (from < to) {
        uint32_t cp;
        int n = decode_utf8(from, to, &cp);
        if (n == 0) return nullptr;
        if (!is_unicode_blank(cp)) return from;
        from += n;
    }
    return to;
}

const uint8_t* find_unicode_blank(const uint8_t* from, const uint8_t* to) {
    while (from < to) {
        if (*from < 0x80) {
            ++from;
            continue;
        }
        uint32_t cp;
        int n = decode_utf8(from, to, &cp);
        if (n == 0) return nullptr;
        if (is_unicode_blank(cp)) return from;
        from += n;
    }
    return to;
}

char missing_closer(Type series) {
    switch (series) {
        case TYPE_BLOCK: case TYPE_MAP: return ']';
        case TYPE_PAREN: case TYPE_POINT2D: case TYPE_POINT3D: return ')';
        default: return 0;
    }
}

// ---- the scanner ----------------------------------------------------------------

Scanner::Scanner(const uint8_t* input, size_t length, const Options& options) : options_(options) {
    m_.begin = input;
    m_.end = input + length;
    m_.cursor = input;
}

void Scanner::move_cursor(const uint8_t* p) {
    if (p < m_.begin) p = m_.begin;
    if (p > m_.end) p = m_.end;
    m_.cursor = p;
}

Result Scanner::run(Sink& sink) {
    sink_ = &sink;
    while (!stopped_ && m_.cursor < m_.end) {
        Token t;
        if (m_.cursor == rest_start_ && m_.start_state == S_START) take_rest(t);
        else m_.next(t);
        rest_start_ = nullptr;
        token_start_ = t.start;
        t.lines += pending_lines_;
        pending_lines_ = 0;
        cur_type_ = t.type;
        produced_ = false;
        failed_ = false;
        if (t.start_state != S_BRACED) {
            const uint8_t* at = m_.cursor;
            if (!sink.before(*this, t)) {
                skip(t, at);
                prev_type_ = cur_type_;
                continue;
            }
        }
        if (handle(t) && !failed_ && !stopped_ && m_.start_state == S_PATH) path_step();
        prev_type_ = cur_type_;
        if (failed_ || stopped_) continue;
        if (options_.stop_after_one && produced_ && open_.empty() && brace_depth_ == 0 &&
            m_.start_state == S_START) {
            stopped_after_one_ = true;
            break;
        }
    }
    if (!stopped_ && !stopped_after_one_) finish();

    Result r;
    r.stop = m_.cursor;
    r.line = m_.line;
    for (const OpenSeries& o : open_) r.open.push_back(o.type);
    if (brace_depth_ > 0 || string_open_) r.open.push_back(TYPE_STRING);
    if (stopped_) {
        r.error = error_;
        r.type = TYPE_ERROR;
        r.status = error_.incomplete ? Status::INCOMPLETE : Status::INVALID;
    } else {
        r.type = last_type_;
        r.status = r.open.empty() ? Status::COMPLETE : Status::INCOMPLETE;
    }
    return r;
}

// A token the sink refused: the scan goes on from where the sink moved the
// cursor, or from just past the token, and never stays on it.
void Scanner::skip(const Token& t, const uint8_t* at) {
    if (m_.start_state == S_POINT) m_.start_state = S_START;
    if (t.state == T_EOF) {
        m_.cursor = m_.end;
        return;
    }
    if (m_.cursor != at) return;
    const uint8_t* p = t.end;
    switch (t.state) {
        case T_BLOCK_OPEN: case T_BLOCK_CLOSE: case T_PAREN_OPEN: case T_PAREN_CLOSE: case T_BRACE_OPEN:
        case T_BRACE_CLOSE: case T_MAP_OPEN: case T_PATH_HEAD: case T_CONSTRUCT: case T_COMMA: case T_STRING:
        case T_CHAR: case T_BINARY: case T_PERCENT: case T_POINT: case T_TAG:
            if (p < m_.end) ++p;
            break;
        case T_FILE:
            if (t.end - t.start >= 2 && t.start[1] == '"' && p < m_.end) ++p;
            break;
        default:
            break;
    }
    if (p <= t.start && t.start < m_.end) p = t.start + 1;
    m_.cursor = p;
}

// The structural effect of one token. Answers whether the path step may follow.
bool Scanner::handle(Token& t) {
    switch (t.state) {
        case T_EOF:
            m_.cursor = m_.end;
            return false;

        case T_ERROR: {
            Type type = token_type(t.prev_state);
            const uint8_t* start = t.start;
            bool at_end = t.end == m_.end;
            bool string_open = false;
            if (t.start_state == S_BRACED) {
                start = brace_start_;
                string_open = at_end;
            } else if (t.start_state == S_POINT) {
                start = point_start_;
                m_.start_state = S_START;
            } else if (type == TYPE_PATH && !open_.empty()) {
                start = open_.back().opener;
            } else if (at_end && (t.prev_state == S_RAW_BODY || t.prev_state == S_RAW_BRACE)) {
                string_open = true;
            }
            report(type ? int(type) : E_BAD_CHAR, start, at_end, TYPE_NONE_ID, nullptr, string_open);
            return false;
        }

        case T_BLOCK_OPEN:
            m_.cursor = t.end + 1;
            open_series(TYPE_BLOCK, t);
            return false;

        case T_PAREN_OPEN:
            m_.cursor = t.end + 1;
            if (point_ahead(m_.cursor, m_.end)) {
                // The numbers up to ")" are read as one point token.
                point_start_ = t.end;
                point_line_ = t.line;
                point_lines_ = t.lines;
                m_.start_state = S_POINT;
            } else {
                open_series(TYPE_PAREN, t);
            }
            return false;

        case T_BLOCK_CLOSE:
        case T_PAREN_CLOSE:
            m_.cursor = t.end + 1;  // before the close event, which may move it
            close_series(t.state == T_BLOCK_CLOSE ? TYPE_BLOCK : TYPE_PAREN, t.end, t.end + 1);
            return true;

        case T_BRACE_OPEN:
            brace_open(t);
            return false;

        case T_BRACE_CLOSE:
            brace_close(t);
            return false;

        case T_MAP_OPEN:
            m_.cursor = t.end + 1;
            open_series(TYPE_MAP, t);
            return false;

        case T_PATH_HEAD: {
            Type type = t.start[0] == '\'' ? TYPE_LIT_PATH : t.start[0] == ':' ? TYPE_GET_PATH : TYPE_PATH;
            m_.cursor = t.end + 1;
            if (!open_series(type, t)) return false;
            Token head = t;
            head.start = t.start + (type != TYPE_PATH);
            head.type = TYPE_WORD;
            // only money brings a "$" to a path's head
            if (std::memchr(head.start, '$', size_t(head.end - head.start))) {
                head.state = T_MONEY;
                head.type = TYPE_MONEY;
            }
            int code = sink_->token(*this, head);
            if (code != 0 && code != NO_VALUE) report(code, head.start, false);
            if (!stopped_) m_.start_state = S_PATH;
            return false;
        }

        case T_COMMENT:
            sink_->comment(*this, t);
            return false;

        case T_COMMA:
            comma(t);
            return false;

        case T_POINT:
            t.start = point_start_;
            t.line = point_line_;
            t.lines = point_lines_;
            m_.start_state = S_START;
            m_.cursor = t.next = t.end + 1;
            value(t);
            return true;

        // Tokens that end on their closing delimiter, which they swallow.
        case T_CONSTRUCT:
        case T_STRING:
        case T_CHAR:
        case T_BINARY:
        case T_PERCENT:
        case T_TAG:
            m_.cursor = t.next = t.end + 1;
            value(t);
            return true;

        case T_FILE:
            if (t.end - t.start >= 2 && t.start[1] == '"' && t.end < m_.end) m_.cursor = t.next = t.end + 1;
            value(t);
            return true;

        case T_RAW_STRING:
            raw_string(t);
            return true;

        case T_WORD:
        case T_REFINEMENT: {
            if (t.state == T_WORD && !cut_word(t)) return false;
            if (!options_.prescan) {
                int code = 0;
                Type kind = word_kind(t.start, t.end, t.state, &code);
                if (kind == TYPE_NONE_ID) {
                    report(code, t.start, false);
                    return false;
                }
                t.type = kind;
            }
            value(t);
            return true;
        }

        default:  // the other value tokens end on a delimiter they leave in place
            value(t);
            return true;
    }
}

// Unicode blanks read as letters by the machine: they are cut off the front of a
// word, and the word ends at the first one inside it.
bool Scanner::cut_word(Token& t) {
    bool taken = rest_taken_;
    rest_taken_ = false;
    const uint8_t* p = t.start;
    while (p < t.end && *p < 0x80) ++p;
    if (p == t.end) return true;  // ASCII: nothing to cut

    const uint8_t* from = skip_unicode_blanks(t.start, t.end);
    if (!from) {
        report(TYPE_WORD, t.start, false);
        return false;
    }
    if (from == t.end) {
        if (t.end == m_.end) m_.cursor = m_.end;  // only blanks were left: the end of input
        else pending_lines_ += t.lines + t.inner;  // dropped; the next token starts the line
        return false;
    }
    const uint8_t* to = find_unicode_blank(from, t.end);
    if (!to) {
        report(TYPE_WORD, from, false);
        return false;
    }
    if (to != t.end && t.start_state == S_START) {
        // Read again from the blank, the machine would follow the same states to
        // the same end: remember it, so that a run of words parted by such blanks
        // is read once.
        rest_start_ = to;
        rest_end_ = t.end;
        rest_prev_ = t.prev_state;
    }
    if (from != t.start || to != t.end || taken) {
        t.start = from;
        t.end = t.next = to;
        m_.cursor = to;
        uint32_t flags = 0;
        for (const uint8_t* q = from; q < to; ++q) flags |= byte_flags(*q);
        if (to < m_.end) flags |= byte_flags(*to);
        t.flags = flags;
    }
    return true;
}

// The word that follows a cut at a Unicode blank, as the machine would read it.
void Scanner::take_rest(Token& t) {
    t.start = rest_start_;
    t.end = t.next = rest_end_;
    t.flags = 0;  // set by cut_word over the part kept
    t.line = m_.line;
    t.lines = 0;
    t.state = T_WORD;
    t.prev_state = rest_prev_;
    t.start_state = S_START;
    t.type = TYPE_WORD;
    m_.cursor = rest_end_;
    rest_taken_ = true;
}

void Scanner::value(Token& t) {
    int code = sink_->token(*this, t);
    if (code == 0) {
        produced_ = true;
        last_type_ = t.type;
    } else if (code != NO_VALUE) {
        report(code, t.start, false);
    }
}

bool Scanner::open_series(Type type, const Token& opener) {
    const uint8_t* at = opener.start;
    if (!open_.empty() && open_.back().type == TYPE_POINT2D) {
        report(TYPE_POINT2D, at, false);
        return false;
    }
    if (open_.size() >= options_.max_depth) {
        report(E_TOO_DEEP, at, false);
        return false;
    }
    if (!sink_->open(*this, type, opener)) return false;
    open_.push_back(OpenSeries{type, 0, at, opener.line});
    m_.start_state = S_START;
    return true;
}

// closer: the closer's type; TYPE_NONE_ID closes with the innermost series' own type.
bool Scanner::close_series(Type closer, const uint8_t* at, const uint8_t* after) {
    const OpenSeries* top = open_.empty() ? nullptr : &open_.back();
    if (!sink_->close(*this, top ? top->type : closer, top ? top->opener : at, after)) {
        m_.start_state = S_START;
        return false;
    }
    if (!top) {
        report(E_MISSING, at, false, closer, at);
        return false;
    }
    Type type = top->type;
    if (closer == TYPE_SET_PATH) {
        if (type == TYPE_PATH) type = TYPE_SET_PATH;
        else if (type != TYPE_SET_PATH) {
            report(E_MISSING, top->opener, false, type, at);
            return false;
        }
    } else if (closer != TYPE_NONE_ID && closer != type && !(closer == TYPE_BLOCK && type == TYPE_MAP)) {
        report(E_MISSING, top->opener, false, type, at);
        return false;
    }
    const uint8_t* opener = top->opener;
    closed_ = *top;
    open_.pop_back();
    if (int code = sink_->closed(*this, type)) {
        m_.start_state = !open_.empty() && is_path_type(open_.back().type) ? S_PATH : S_START;
        report(code, opener, false);
        return false;
    }
    produced_ = true;
    last_type_ = type;
    m_.start_state = !open_.empty() && is_path_type(open_.back().type) ? S_PATH : S_START;
    return true;
}

// After a path element: a delimiter ends the path (":" makes it a set-path), "/"
// goes on to the next element, which may be anything the element after the head
// may be (a get-word among them).
void Scanner::path_step() {
    const uint8_t* p = m_.cursor;
    const uint8_t* opener = open_.empty() ? p : open_.back().opener;
    if (p >= m_.end) {
        close_series(TYPE_NONE_ID, p, p);
        return;
    }
    if (is_path_delimiter(byte_class(*p))) {
        if (*p != ':') {
            close_series(TYPE_NONE_ID, p, p);
            return;
        }
        if (!close_series(TYPE_SET_PATH, p, p + 1)) return;
        m_.cursor = p + 1;
        if (m_.cursor < m_.end && *m_.cursor == '/') report(TYPE_PATH, opener, false);
        return;
    }
    // Only "/" separates elements: any other byte would otherwise be dropped silently.
    if (*p != '/') {
        report(TYPE_PATH, opener, false);
        return;
    }
    m_.cursor = ++p;
    if (p >= m_.end) report(TYPE_PATH, opener, true);
}

void Scanner::brace_open(Token& t) {
    m_.cursor = t.end + 1;
    if (brace_depth_ == 0) {
        brace_start_ = t.end;
        brace_line_ = t.line;
        brace_lines_ = t.lines;
        brace_flags_ = 0;
        Token opener = t;
        opener.start = t.end;
        sink_->open(*this, TYPE_STRING, opener);
    } else if (t.lines + t.inner) {
        brace_flags_ |= F_MULTILINE;
    }
    brace_flags_ |= t.flags;
    ++brace_depth_;
    m_.start_state = S_BRACED;
}

void Scanner::brace_close(Token& t) {
    m_.cursor = t.end + 1;
    brace_flags_ |= t.flags;
    if (t.lines + t.inner) brace_flags_ |= F_MULTILINE;
    if (--brace_depth_ > 0) {
        if (m_.cursor == m_.end) report(TYPE_STRING, brace_start_, true, TYPE_NONE_ID, nullptr, true);
        return;
    }
    m_.start_state = S_START;
    Token s = t;
    s.start = brace_start_;
    s.next = m_.cursor;
    s.flags = brace_flags_;
    s.line = brace_line_;
    s.lines = brace_lines_;
    s.start_state = S_START;
    s.type = TYPE_STRING;
    value(s);
    if (!failed_) sink_->close(*this, TYPE_STRING, brace_start_, m_.cursor);
}

// n percent signs, "{", text, "}", n percent signs. The machine stops at the first
// "}" followed by percent signs; with fewer of them than in front, the text goes on
// up to a "}" followed by as many.
void Scanner::raw_string(Token& t) {
    size_t front = 0;
    while (t.start + front < t.end && t.start[front] == '%') ++front;
    size_t back = 0;
    while (t.end - back > t.start + front && t.end[-1 - ptrdiff_t(back)] == '%') ++back;
    if (front < back) {
        report(TYPE_STRING, t.start, false);
        return;
    }
    const uint8_t* close_end = t.end;
    if (front > back) {
        // A NUL ends the input here too: the search never reads past one.
        const uint8_t* stop = static_cast<const uint8_t*>(std::memchr(t.end, 0, size_t(m_.end - t.end)));
        if (!stop) stop = m_.end;
        const uint8_t* found = nullptr;
        const uint8_t* q = t.end;
        while (q < stop) {
            q = static_cast<const uint8_t*>(std::memchr(q, '}', size_t(stop - q)));
            if (!q) break;
            const uint8_t* r = q + 1;
            size_t run = 0;
            while (run < front && r < stop && *r == '%') {
                ++run;
                ++r;
            }
            if (run == front) {
                found = r;
                break;
            }
            q = r;
        }
        if (!found) {
            // Unterminated: the rest of the input belongs to the string.
            m_.line += count_lines(t.end, stop);
            m_.cursor = stop;
            report(TYPE_STRING, t.start, true, TYPE_NONE_ID, nullptr, true);
            return;
        }
        m_.line += count_lines(t.end, found);
        close_end = found;
    }
    m_.cursor = close_end;
    t.end = t.next = close_end;
    Token opener = t;
    opener.end = t.start + front;
    sink_->open(*this, TYPE_STRING, opener);
    value(t);
    if (!failed_) sink_->close(*this, TYPE_STRING, t.start, close_end);
}

// A comma makes the paren it stands in a point under construction.
void Scanner::comma(Token& t) {
    m_.cursor = t.end + 1;
    if (!open_.empty() && (open_.back().type == TYPE_PAREN || open_.back().type == TYPE_POINT2D)) {
        OpenSeries& o = open_.back();
        o.type = TYPE_POINT2D;
        if (o.commas < UINT16_MAX) ++o.commas;
        return;
    }
    report(TYPE_POINT2D, t.start, false);
}

void Scanner::report(int code, const uint8_t* start, bool at_end, Type missing_type, const uint8_t* closer,
                     bool string_open) {
    Error e;
    e.code = code;
    e.start = start;
    e.at = m_.cursor;
    e.line = line_at(start);
    e.at_end = at_end;
    if (code == E_MISSING || code == E_MISSING_AT_END) {
        e.missing_type = missing_type;
        if (is_path_type(missing_type)) {
            e.code = E_BAD_CHAR;
        } else {
            char c = missing_closer(missing_type);
            // At the very closer that does not match, name the opener that is missing.
            if (code == E_MISSING && closer && closer < m_.end && *closer == c) c = c == ']' ? '[' : '(';
            e.missing = c;
        }
    }
    e.type = code > 0                 ? Type(code)
             : missing_type           ? missing_type
             : cur_type_              ? cur_type_
                                      : TYPE_ERROR;
    bool open_series_at_end = code == E_MISSING_AT_END && missing_closer(missing_type) != 0;
    e.incomplete = at_end && (string_open || open_series_at_end);
    if (string_open && brace_depth_ == 0) string_open_ = true;
    failed_ = true;
    const uint8_t* at = m_.cursor;
    if (sink_->error(*this, e)) {
        // The scan goes on from where the sink moved the cursor, else from the
        // cursor but always past the failed token's first byte.
        if (m_.cursor == at && m_.cursor <= token_start_) m_.cursor = token_start_ < m_.end ? token_start_ + 1 : m_.end;
        return;
    }
    stopped_ = true;
    error_ = e;
}

// The line a report names is the one its text starts on: a series left open
// names its opener's line, not the last line of the input. Openers keep their
// line, so that reports from one (each closer a resumed scan refuses) never
// count back over the whole series.
uint32_t Scanner::line_at(const uint8_t* p) const {
    if (!p || p == m_.cursor) return m_.line;
    if (!open_.empty() && p == open_.back().opener) return open_.back().line;
    if (p == closed_.opener) return closed_.line;
    if (p == brace_start_) return brace_line_;
    if (p == point_start_) return point_line_;
    if (p > m_.cursor) return m_.line + count_lines(m_.cursor, p);
    uint32_t back = count_lines(p, m_.cursor);
    return back < m_.line ? m_.line - back : 1;  // a callback may have moved the cursor past uncounted lines
}

// The end of input with something still open.
void Scanner::finish() {
    if (m_.start_state == S_BRACED && brace_depth_ > 0 && prev_type_ == TYPE_NONE_ID) {
        report(TYPE_STRING, brace_start_, true, TYPE_NONE_ID, nullptr, true);
        return;
    }
    if (open_.empty()) return;
    const OpenSeries& top = open_.back();
    if (options_.prescan && is_path_type(top.type)) {
        last_type_ = top.type;  // a partial path is taken for its path type
        return;
    }
    report(E_MISSING_AT_END, top.opener, true, top.type);
}

Result classify(const uint8_t* input, size_t length, Sink* sink, const Options& options) {
    Sink none;
    Scanner scanner(input, length, options);
    return scanner.run(sink ? *sink : none);
}

}  // namespace kro::lexer
