#include "console/console.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "console/completion.hpp"
#include "console/config.hpp"
#include "console/terminal.hpp"
#include "datatypes/function.hpp"
#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/mold.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/print.hpp"
#include "foundation/runtime.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/routines.hpp"
#include "interpreter/stack.hpp"
#include "io/lexer.hpp"

namespace kro::cli_console {

// ---- text ----------------------------------------------------------------------------------------

std::u32string text_of(const Cell* str) {
    std::u32string out;
    uint32_t n = string::length_of(str);
    out.reserve(n);
    for (uint32_t i = 0; i < n; i++) out.push_back(char32_t(string::char_at(str, uint32_t(str->data1) + i)));
    return out;
}

void set_text(Cell* str, std::u32string_view text) {
    memory::Buffer* b = memory::buffer_of(str->data2);
    string::ks_truncate(b, str->data1);
    for (char32_t c : text) string::append_code_point(str, c > 0x10FFFF ? 0xFFFD : uint32_t(c));
}

Cell string_of(std::u32string_view text) {
    Cell s;
    string::make_at(&s, uint32_t(text.size()) + 1, 1);
    set_text(&s, text);
    return s;
}

// ---- the history -----------------------------------------------------------------------------------

size_t AskHistory::size() const {
    if (!block_->is(TYPE_BLOCK)) return 0;
    int32_t n = block::length(block_);
    return n > 0 ? size_t(n) : 0;
}

std::u32string AskHistory::entry(size_t index) const {
    if (index >= size()) return {};
    const Cell* e = block::at(block_, int32_t(index));
    if (!e || !(e->is(TYPE_STRING))) return {};
    return text_of(e);
}

void AskHistory::add_newest(const std::u32string& line) {
    if (!block_->is(TYPE_BLOCK)) return;
    // the history keeps the very string that ask answers
    set_text(line_, line);
    block::ks_insert_cells(block_, int32_t(block_->data1), line_, 1);
}

terminal::LineEditor& editor() {
    static terminal::LineEditor e;
    return e;
}

namespace {

// ---- the system object -----------------------------------------------------------------------

// The value of a field of an object, or null.
Cell* field(const Cell* obj, const char* name) {
    if (!obj || !obj->is(TYPE_OBJECT)) return nullptr;
    uint32_t ctx = obj->data1;
    int32_t i = context::find_symbol(ctx, symbol::make(name), true);
    if (i < 0) return nullptr;
    return context::values(ctx) + i;
}

Cell* console_object() {
    Cell* system = context::get_global(symbol::make("system"));
    return field(system, "console");
}

// system/console/size follows the terminal's size.
void set_console_size(int columns, int rows) {
    Cell* size = field(console_object(), "size");
    if (size) pair::make_at(size, columns, rows);
}

// ---- what ask works on ---------------------------------------------------------------------------

// The string and the history block of the current ask, in the root block so
// that the collector keeps them alive and current between the two routines.
Cell* held_line = nullptr;
Cell* held_history = nullptr;

// How the last line read ended, for the console's loop: Ctrl-C and Ctrl-D
// inside a multi-line command must not become a "q" in that command.
terminal::LineEnd last_end = terminal::LineEnd::enter;

// Set while the console's loop reads a command. Anywhere else an ask is part
// of running code: Ctrl-C there stops the code (ask halts) and Ctrl-D on an
// empty line ends the input, rather than answering "q" as if it were typed.
bool at_prompt = false;

void hold_cells() {
    if (held_line) return;
    held_line = block::add_cell(&runtime::root);
    held_history = block::add_cell(&runtime::root);
    *held_line = none::value;
    *held_history = none::value;
}

// ---- routines --------------------------------------------------------------------------------------

bool title_wanted() {
    if (!terminal::is_terminal(console::output_fd())) return false;
    const char* term = std::getenv("TERM");
    return !(term && std::strcmp(term, "dumb") == 0);
}

void console_init() {
    Cell* args = stack::arguments;
    if (title_wanted()) {
        std::string title = "\x1b]0;" + string::to_utf8(&args[0]) + "\x07";
        console::flush();
        terminal::write_output(title);
    }
    terminal::set_resize_hook(&set_console_size);
    // results are cut to the terminal's width; output going elsewhere is 80 wide
    int columns = 0, rows = 0;
    if (!terminal::is_terminal(console::output_fd()) || !terminal::read_window_size(columns, rows) ||
        columns <= 0 || rows <= 0) {
        columns = 80;
        rows = 50;
    }
    set_console_size(columns, rows);
    stack::set_last_reset(&unset::value);
}

void set_buffer_history() {
    hold_cells();
    Cell* args = stack::arguments;
    *held_line = args[0];
    *held_history = args[1];
    stack::set_last_reset(&unset::value);
}

// Runs the console's own code, given as text.
void do_text(std::string_view text) {
    gc::Rooted code;
    lexer::ScanArgs scan;
    lexer::scan_utf8(code.get(), reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), scan, nullptr);
    // the console's own code: its errors are not the user's calls'
    function::mark_library(code.get());
    interp::do_block(code.get());
}

// The terminal closed (SIGHUP) or the console was told to end (SIGTERM) while
// its prompt waited: the history is kept as quit keeps it, then the process
// dies of the signal, as the one who sent it expects.
[[noreturn]] void end_by_signal(int sig) {
    // nothing the save raises or throws may keep the process alive
    frame::catch_region(code::CATCH_ALL, [] { do_text("_save-cfg"); });
    console::flush();
    terminal::die_of(sig);
}

void read_input() {
    hold_cells();
    Cell* args = stack::arguments;
    std::u32string prompt = text_of(&args[0]);
    bool hidden = args[1].is(TYPE_LOGIC) && args[1].data1 != 0;
    if (!held_line->is(TYPE_STRING)) fire("script", "invalid-arg", held_line);
    AskHistory history(held_line, held_history);
    if (at_prompt) terminal::hold_termination(true);
    terminal::EditResult r = editor().read_line(prompt, hidden, &history);
    terminal::hold_termination(false);
    if (int sig = terminal::held_termination()) end_by_signal(sig);
    last_end = r.end;
    // the input has ended when nothing more could be read
    bool ended = r.end == terminal::LineEnd::end_of_input && r.line.empty();
    if (!at_prompt && (r.end == terminal::LineEnd::interrupt ||
                       (r.end == terminal::LineEnd::end_of_input && r.line == U"q")))
        ended = true;
    if (!ended) set_text(held_line, r.line);
    *held_line = none::value;
    *held_history = none::value;
    stack::set_last_reset(ended ? &logic::false_value : &logic::true_value);
}

void input_stdin() {
    std::u32string line;
    terminal::stdin_readline(line);
    Cell s;
    string::make_at(&s, 256, 1);
    stack::set_last_reset(&s);
    set_text(stack::arguments, line);
}

void read_stdin() {
    Cell* args = stack::arguments;
    int32_t want = int32_t(args[1].data2);
    if (want < 0) fire("script", "out-of-range", &args[1]);
    memory::Buffer* b = memory::buffer_of(args[0].data2);
    // grown first: the bytes read go to the binary's tail
    if (b->free_bytes() < uint32_t(want)) b = memory::grow_series(b, b->tail + uint32_t(want));
    long got = terminal::read_stdin(b->tail_ptr(), size_t(want));
    if (got > 0) b->tail += uint32_t(got);
    Cell n{uint32_t(TYPE_INTEGER), 0, uint32_t(int32_t(got)), 0};
    stack::set_last_reset(&n);
}

void terminate_console() { stack::set_last_reset(&unset::value); }

void set_at_prompt() {
    at_prompt = stack::arguments[0].is(TYPE_LOGIC) && stack::arguments[0].data1 != 0;
    stack::set_last_reset(&unset::value);
}

// The word naming how the last line read ended.
void input_end() {
    const char* name = "enter";
    switch (last_end) {
        case terminal::LineEnd::enter: name = "enter"; break;
        case terminal::LineEnd::escape: name = "escape"; break;
        case terminal::LineEnd::interrupt: name = "interrupt"; break;
        case terminal::LineEnd::end_of_input: name = "end"; break;
        case terminal::LineEnd::completion: name = "completion"; break;
    }
    Cell w = word::load(name);
    stack::set_last_reset(&w);
}

void install() {
    routines::add("console-init", &console_init);
    routines::add("_set-buffer-history", &set_buffer_history);
    routines::add("_read-input", &read_input);
    routines::add("input-stdin", &input_stdin);
    routines::add("read-stdin", &read_stdin);
    routines::add("_terminate-console", &terminate_console);
    routines::add("_input-end", &input_end);
    routines::add("_at-prompt", &set_at_prompt);
}
KRO_ROUTINE_GROUP(install);

// The formed error on standard output, as the console prints one.
void print_error(const Cell* error) {
    gc::Rooted e(*error), buffer;
    string::make_at(buffer.get(), 64, 1);
    actions::form(e.get(), buffer.get(), nullptr, mold::NO_LIMIT);
    std::string text = string::to_utf8(buffer.get());
    print::bytes(text.data(), int32_t(text.size()));
    print::byte('\n');
    console::flush();
}

}  // namespace

void launch() {
    constexpr std::string_view CODE = "cli-console-ctx/launch";
    uint32_t caught = frame::catch_region(code::ERROR, [&] {
        // Tab completion, before the console starts; its objects are the
        // start-up's, so the user's first class id is the first of the run
        object::use_boot_ids(true);
        completion::install_words();
        completion::install();
        object::use_boot_ids(false);
        do_text(CODE);
    });
    if (caught == code::ERROR) {
        terminal::restore_terminal();
        print_error(raised_error());
        rt_error::end_process(-2);
    }
    if (caught) rt_error::outermost_handler();
    rt_error::end_process(0);
}

}  // namespace kro::cli_console
