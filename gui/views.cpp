#include "gui/views.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/image.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/time.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/frame.hpp"
#include "foundation/memory.hpp"
#include "gui/face_types.hpp"
#include "gui/terminal_control.hpp"
#include "gui/widget_render.hpp"
#include "interpreter/eval.hpp"
#include "interpreter/stack.hpp"
#include "io/image_codec_bitmap.hpp"

namespace kro::gui {

using tui::Widget;

// ---- fields and words ------------------------------------------------------------------------

Cell* field(const Cell* object, int32_t position) {
    if (!object->is(TYPE_OBJECT) || position < 0 || position >= object::field_count(object)) return nullptr;
    Cell* values = object::get_values(object);
    return values ? values + position : nullptr;
}

const Cell* field_or_none(const Cell* object, int32_t position) {
    const Cell* c = field(object, position);
    return c ? c : &none::value;
}

void set_field(const Cell* object, int32_t position, const Cell& value, bool notify) {
    Cell* slot = field(object, position);
    if (!slot) return;
    if (!notify) {
        *slot = value;
        return;
    }
    gc::Rooted obj(*object), v(value);
    Cell word = *object::word_at(obj.get()->data1, position);
    tui::WidgetHold hold;  // the change handler runs language code
    context::set_in(&word, v.get(), obj.get()->data1, true);
}

bool is_word(const Cell* value, int32_t sym) {
    return word::any_word_type(value->type()) && symbol::same_word(int32_t(value->data2), sym);
}

const Words& words() {
    static const Words w = [] {
        auto s = [](const char* n) { return symbol::make(n); };
        return Words{s("window"),      s("screen"),       s("base"),         s("field"),    s("button"),
                     s("progress"),    s("text-list"),    s("rich-text"),    s("group-box"), s("check"),
                     s("radio"),       s("drop-list"),    s("drop-down"),    s("tab-panel"), s("caret"),
                     s("hint"),        s("border-corners"), s("border-color"), s("round"),  s("backdrop"),
                     s("bold"),        s("italic"),       s("underline"),    s("strike"),   s("border"),
                     s("remove"),      s("take"),         s("clear"),        s("move")};
    }();
    return w;
}

namespace {

// The value cell of a field of an object by name, or null.
Cell* named(const Cell* object, const char* name) {
    if (!object || !object->is(TYPE_OBJECT)) return nullptr;
    int32_t i = context::find_symbol(object->data1, symbol::make(name), true);
    if (i < 0) return nullptr;
    Cell* values = context::values(object->data1);
    return values ? values + i : nullptr;
}

Cell* system_view() {
    static const int32_t system_sym = symbol::make("system");
    return named(context::get_global(system_sym), "view");
}

Cell* platform() { return named(system_view(), "platform"); }

// ---- the widget table ----

struct Slot {
    Widget* widget;
    uint32_t generation;
};
constexpr uint32_t INDEX_BITS = 20;
constexpr uint32_t INDEX_MASK = (1u << INDEX_BITS) - 1;
std::vector<Slot> slots(1, Slot{nullptr, 0});
std::vector<uint32_t> free_slots;

uint32_t register_widget(Widget* w) {
    uint32_t index;
    if (!free_slots.empty()) {
        index = free_slots.back();
        free_slots.pop_back();
    } else {
        if (slots.size() > INDEX_MASK) fire("internal", "no-memory");
        index = uint32_t(slots.size());
        slots.push_back(Slot{nullptr, 0});
    }
    Slot& s = slots[index];
    s.widget = w;
    s.generation = (s.generation + 1) & 0xFFF;
    if (s.generation == 0) s.generation = 1;
    w->handle = (s.generation << INDEX_BITS) | index;
    return w->handle;
}

Widget* lookup(uint32_t value) {
    uint32_t index = value & INDEX_MASK;
    if (index == 0 || index >= slots.size()) return nullptr;
    const Slot& s = slots[index];
    if (!s.widget || s.generation != value >> INDEX_BITS) return nullptr;
    return s.widget;
}

int colour_depth_ = 4;

bool logic_true(const Cell* c) { return c->is(TYPE_LOGIC) && logic::get(c); }

// A float of a pair or point coordinate.
bool xy_of(const Cell* v, float* x, float* y) {
    if (v->is(TYPE_PAIR)) {
        *x = float(int32_t(v->data2));
        *y = float(int32_t(v->data3));
        return true;
    }
    if (v->is(TYPE_POINT2D)) {
        *x = point::coord(v, 0);
        *y = point::coord(v, 1);
        if (!std::isfinite(*x)) *x = 0;
        if (!std::isfinite(*y)) *y = 0;
        return true;
    }
    return false;
}

int32_t count_items(const Cell* data) {
    if (data->is(TYPE_BLOCK) || data->is(TYPE_HASH)) return block::length(data);
    return 0;
}

// Takes the object out of a back-link block (walked from its head, matched by
// identity); answers whether the block is left without faces.
bool unlink_from(Cell* back_link, const Cell* face) {
    if (!back_link || !back_link->is(TYPE_BLOCK)) return false;
    memory::Buffer* b = memory::buffer_of(back_link->data2);
    Cell* cells = b->cells();
    uint32_t n = b->used_bytes() / sizeof(Cell);
    for (uint32_t i = 0; i < n; i++) {
        if (cells[i].is(TYPE_OBJECT) && cells[i].data1 == face->data1) {
            std::memmove(cells + i, cells + i + 1, (n - i - 1) * sizeof(Cell));
            b->tail -= sizeof(Cell);
            n--;
            break;
        }
    }
    if (back_link->data1 > n) back_link->data1 = n;
    return n == 0;
}

void destroy_tree(const Cell* face_in) {
    Widget* w = face_handle(face_in);
    if (!w) return;
    Cell face = *face_in;  // nothing below evaluates
    if (!field_or_none(&face, F_RATE)->is(TYPE_NONE)) tui::remove_timer(w);
    Cell font = *field_or_none(&face, F_FONT);
    if (font.is(TYPE_OBJECT) && unlink_from(field(&font, FONT_PARENT), &face))
        set_field(&font, FONT_STATE, none::value, false);
    Cell para = *field_or_none(&face, F_PARA);
    if (para.is(TYPE_OBJECT)) unlink_from(field(&para, PARA_PARENT), &face);
    Cell pane = *field_or_none(&face, F_PANE);
    if (pane.is(TYPE_BLOCK)) {
        for (int32_t i = 0; i < block::length(&pane); i++) {
            Cell child = *block::at(&pane, i);
            if (child.is(TYPE_OBJECT)) destroy_tree(&child);
        }
    }
    tui::free_widget(w);
}

// Faces that came into the pane from another pane keep their views: the
// widgets follow them, so that they are drawn, hit and placed here.
void adopt_pane(const Cell* owner, Widget* w) {
    if (!w) return;
    const Cell* pane = field_or_none(owner, F_PANE);
    if (!pane->is(TYPE_BLOCK)) return;
    Cell p = *pane;  // nothing below evaluates
    for (int32_t i = 0; i < block::length(&p); i++) {
        const Cell* f = block::at(&p, i);
        Widget* c = f->is(TYPE_OBJECT) ? face_handle(f) : nullptr;
        if (c && c->parent && c->parent != w) tui::reparent(c, w);
    }
}

void start_timer(Widget* w, int32_t interval) {
    if (interval > 0) tui::add_timer(w, interval);
}

}  // namespace

// ---- handles ------------------------------------------------------------------------------------

Widget* widget_of_handle(const Cell* h) {
    if (!h->is(TYPE_HANDLE)) return nullptr;
    return lookup(h->data2);
}

Widget* face_handle(const Cell* face) {
    const Cell* state = field_or_none(face, F_STATE);
    if (!state->is(TYPE_BLOCK) || block::length(state) < 1) return nullptr;
    Widget* w = widget_of_handle(block::at(state, 0));
    // A handle copied into another face's state names a widget of another face.
    if (w && w->face.is(TYPE_OBJECT) && w->face.data1 != face->data1) return nullptr;
    return w;
}

Cell handle_of(const Widget* w) {
    return w ? handle::make(w->handle, handle::CLASS_WINDOW) : handle::make(0, handle::CLASS_NULL);
}

uint32_t get_flags(const Cell* flags) {
    struct Entry {
        const char* name;
        uint32_t bit;
    };
    static const Entry table[] = {{"all-over", 0x1},         {"focusable", 0x2},       {"tri-state", 0x20000},
                                  {"scrollable", 0x40000},   {"password", 0x80000},    {"no-sync", 0x100000},
                                  {"fullscreen", 0x200000},  {"popup", 0x1000000},     {"modal", 0x2000000},
                                  {"resize", 0x4000000},     {"no-buttons", 0x8000000}, {"no-max", 0x10000000},
                                  {"no-min", 0x20000000},    {"no-title", 0x40000000}, {"no-border", 0x80000000}};
    static int32_t syms[std::size(table)] = {};
    if (!syms[0])
        for (size_t i = 0; i < std::size(table); i++) syms[i] = symbol::make(table[i].name);
    auto bit_of = [&](const Cell* w) -> uint32_t {
        for (size_t i = 0; i < std::size(table); i++)
            if (is_word(w, syms[i])) return table[i].bit;
        fire("script", "invalid-arg", w);
    };
    if (word::any_word_type(flags->type())) return bit_of(flags);
    if (!flags->is(TYPE_BLOCK)) return 0;
    uint32_t bits = 0;
    for (int32_t i = 0; i < block::length(flags); i++) {
        const Cell* c = block::at(flags, i);
        if (word::any_word_type(c->type())) bits |= bit_of(c);
    }
    return bits;
}

// ---- rates and images -----------------------------------------------------------------------------

int32_t rate_interval(const Cell* rate) {
    if (rate->is(TYPE_NONE)) return 0;
    if (rate->is(TYPE_INTEGER)) {
        int32_t n = int32_t(rate->data2);
        if (n <= 0) fire("script", "invalid-facet-type", rate);
        return std::max(1000 / n, 1);
    }
    if (rate->is(TYPE_TIME)) {
        double s = time::get(rate);
        if (!(s > 0)) fire("script", "invalid-facet-type", rate);
        double ms = std::trunc(s * 1000.0);
        return ms >= 2147483647.0 ? 2147483647 : std::max(int32_t(ms), 1);
    }
    fire("script", "invalid-facet-type", rate);
}

void render_image(Widget& w, const Cell* image) {
    w.image_cells.clear();
    w.image_width = w.image_height = 0;
    if (!image->is(TYPE_IMAGE)) return;
    float fw = w.width(), fh = w.height();
    if (!(fw >= 1 && fh >= 1)) return;
    // Beyond any terminal's size there is nothing to show.
    int cw = int(std::min(fw, 1024.0f)), ch = int(std::min(fh, 1024.0f));
    uint32_t node = image->data2;
    if (!bitmap::has_pixels(node)) return;
    uint32_t scaled = bitmap::scale(node, cw, ch * 2);
    if (!bitmap::has_pixels(scaled)) return;
    auto colour = [](uint32_t px) {
        int r = (px >> 16) & 0xFF, g = (px >> 8) & 0xFF, b = px & 0xFF;
        // Only the colour: the alpha byte is no part of it.
        return colour_depth_ == 4 ? tui::colour_rgb(r, g, b) : tui::rgb_to_256(r, g, b);
    };
    w.image_cells.resize(size_t(cw) * size_t(ch));
    for (int r = 0; r < ch; r++) {
        for (int c = 0; c < cw; c++) {
            uint32_t upper = bitmap::get_pixel(scaled, int64_t(2 * r) * cw + c);
            uint32_t lower = bitmap::get_pixel(scaled, int64_t(2 * r + 1) * cw + c);
            tui::GridCell& cell = w.image_cells[size_t(r) * size_t(cw) + size_t(c)];
            if ((upper >> 24) == 0) {
                cell = tui::GridCell{' ', tui::COLOUR_DEFAULT, tui::COLOUR_DEFAULT, 0};
            } else {
                cell = tui::GridCell{0x2584, colour(upper), colour(lower), 0};
            }
        }
    }
    bitmap::release(scaled);
    w.image_width = cw;
    w.image_height = ch;
}

Cell* view_field(const char* name) { return named(system_view(), name); }

int colour_depth() { return colour_depth_; }
void set_colour_depth(int depth) { colour_depth_ = depth == 2 ? 2 : 4; }

// ---- helpers of the language side ------------------------------------------------------------------

namespace {

bool callable(const Cell* v) { return v->is(TYPE_FUNCTION) || v->is(TYPE_ROUTINE) || v->is(TYPE_NATIVE); }

// Calls fn (looked up through word) with n arguments; its result in out when
// out is given.
void call_with(Cell fn, Cell word, const Cell* args, int32_t n, Cell* out) {
    gc::Rooted f(fn);
    gc::Rooted w(word);
    tui::WidgetHold hold;
    // The arguments go on the data stack, where the collector sees them.
    Cell* first = stack::top_ptr;
    for (int32_t k = 0; k < n; k++) stack::push(args + k);
    tui::code_running(true);
    interp::call_back(f.get(), first, n, w.get(), 0);
    if (out) *out = *(stack::top_ptr - 1);
    stack::top_ptr = first;
}

}  // namespace

bool call_helper(const char* name, const Cell* args, int32_t n, Cell* out) {
    static const int32_t helpers_sym = symbol::make("TUI-helpers");
    Cell* helpers = context::get_global(helpers_sym);
    if (!helpers || !helpers->is(TYPE_OBJECT)) return false;
    int32_t i = context::find_symbol(helpers->data1, symbol::make(name), true);
    if (i < 0) return false;
    const Cell* fn = &context::values(helpers->data1)[i];
    if (!callable(fn)) return false;
    call_with(*fn, *object::word_at(helpers->data1, i), args, n, out);
    return true;
}

bool call_helper(const char* name, const Cell* argument, Cell* out) { return call_helper(name, argument, 1, out); }

// ---- images of faces -------------------------------------------------------------------------------------

namespace {

// Whether a value is a face, as the language's face? says (false before the
// library defines it).
bool is_face(const Cell* value) {
    static const int32_t face_q = symbol::make("face?");
    if (!value->is(TYPE_OBJECT)) return false;
    Cell* fn = context::get_global(face_q);
    if (!fn || !callable(fn)) return false;
    Cell f = *fn;  // before the word is added: that may move the global context
    Cell answer;
    call_with(f, context::add_global_word(face_q), value, 1, &answer);
    return answer.is(TYPE_LOGIC) && logic::get(&answer);
}

// A terminal shows faces as character cells, not pixels: the image of a face
// is none, and an object that is no face is not converted at all.
Cell* face_to_image(const Cell* object, Cell* out) {
    if (!is_face(object)) return nullptr;
    *out = none::value;
    return out;
}

struct InstallFaceImage {
    InstallFaceImage() { image::face_to_image = &face_to_image; }
} install_face_image;

}  // namespace

// ---- updates -------------------------------------------------------------------------------------------

void run_update(Widget& w) {
    if (!w.on_update) return;
    Cell* sync = named(system_view(), "auto-sync?");
    if (!sync) {
        w.on_update(w);
        return;
    }
    // What the rebuild sets must not come back here through the face model.
    struct Restore {
        Cell saved;
        ~Restore() {
            if (Cell* s = named(system_view(), "auto-sync?")) *s = saved;
        }
    } restore{*sync};
    *sync = logic::false_value;
    w.on_update(w);
}

void refresh() { tui::request_redraw(); }

void take_awake() {
    if (const Cell* awake = view_field("awake")) tui::set_awake(*awake);
}

void show_window(Widget* window) {
    if (!window) return;
    tui::WidgetHold hold;
    take_awake();
    tui::activate_window(window);
    // The face the window names as selected (VID's `focus`) takes the focus
    // when the window first shows.
    tui::focus_on_show(window, face_handle(field_or_none(&window->face, F_SELECTED)));
    refresh();
}

// ---- make, update, destroy ------------------------------------------------------------------------

Widget* os_make_view(const Cell* face_in, Widget* parent) {
    tui::WidgetHold hold;
    gc::Rooted face(*face_in);
    uint32_t fflags = get_flags(field_or_none(face.get(), F_FLAGS));
    uint32_t wflags = 0;
    if (fflags & 0x1) wflags |= tui::W_ALL_OVER;
    if (fflags & 0x80000) wflags |= tui::W_PASSWORD;
    if (fflags & 0x2) wflags |= tui::W_FOCUSABLE;
    if (fflags & 0x200000) wflags |= tui::W_FULLSCREEN;
    float x = 0, y = 0, width = 0, height = 0;
    xy_of(field_or_none(face.get(), F_OFFSET), &x, &y);
    const Cell* size = field_or_none(face.get(), F_SIZE);
    if (size->is(TYPE_PAIR)) wflags |= tui::W_SIZE_PAIR;
    xy_of(size, &width, &height);
    if (!logic_true(field_or_none(face.get(), F_VISIBLE))) wflags |= tui::W_HIDDEN;
    if (!logic_true(field_or_none(face.get(), F_ENABLED))) wflags |= tui::W_DISABLED;
    const Cell* type = field_or_none(face.get(), F_TYPE);
    int32_t type_sym = word::any_word_type(type->type()) ? int32_t(type->data2) : 0;
    bool window = type_sym && symbol::same_word(type_sym, words().window);
    if (window) x = y = 0;
    // A bad rate is refused before anything is made.
    int32_t interval = rate_interval(field_or_none(face.get(), F_RATE));

    Widget* w = tui::make_base_widget(window ? nullptr : parent);
    w->flags = wflags;
    w->left = x;
    w->top = y;
    w->right = x + width;
    w->bottom = y + height;
    w->face = *face.get();
    w->type = type_sym;
    register_widget(w);
    try {
        if (window) {
            tui::set_window_type(*w);
            tui::add_window(w);
        } else {
            tui::set_face_type(*w);
            // The type's helper ran language code, which may have taken an
            // ancestor down and this widget with it: nothing links to it now.
            if (w->freed_) return w;
        }
        render_image(*w, field_or_none(&w->face, F_IMAGE));
        start_timer(w, interval);
        if (!window) tui::widget_made(w);
        // Faces of its pane that were shown elsewhere before come under it.
        adopt_pane(face.get(), w);
    } catch (const Thrown&) {
        tui::free_widget(w);
        throw;
    }
    return w;
}

void os_update_view(const Cell* face_in) {
    Widget* w = face_handle(face_in);
    if (!w) return;
    // Focus events and the type's helper run language code while w is used.
    tui::WidgetHold hold;
    gc::Rooted face(*face_in);
    const Cell* state = field_or_none(face.get(), F_STATE);
    uint32_t bits = block::length(state) >= 2 && block::at(state, 1)->is(TYPE_INTEGER) ? block::at(state, 1)->data2 : 0;
    if (bits & (1u << F_RATE)) {
        int32_t interval = rate_interval(field_or_none(face.get(), F_RATE));
        tui::remove_timer(w);
        start_timer(w, interval);
    }
    bool window = w->type && symbol::same_word(w->type, words().window);
    if ((bits & (1u << F_OFFSET)) && !window) {
        float x, y;
        if (xy_of(field_or_none(face.get(), F_OFFSET), &x, &y)) {
            float width = w->width(), height = w->height();
            w->left = x;
            w->top = y;
            w->right = x + width;
            w->bottom = y + height;
        }
    }
    if (bits & (1u << F_SIZE)) {
        float width, height;
        const Cell* size = field_or_none(face.get(), F_SIZE);
        if (xy_of(size, &width, &height)) {
            w->right = w->left + width;
            w->bottom = w->top + height;
            if (size->is(TYPE_PAIR)) w->flags |= tui::W_SIZE_PAIR;
            else w->flags &= ~tui::W_SIZE_PAIR;
        }
    }
    if ((bits & (1u << F_SELECTED)) && window) {
        Widget* target = face_handle(field_or_none(face.get(), F_SELECTED));
        tui::set_focus(target ? target : w);
        // The focus events' handlers may have closed the window.
        if (w->freed_) return;
    }
    if (bits & (1u << F_ENABLED)) {
        if (logic_true(field_or_none(face.get(), F_ENABLED))) w->flags &= ~tui::W_DISABLED;
        else w->flags |= tui::W_DISABLED;
    }
    if (bits & (1u << F_VISIBLE)) {
        if (logic_true(field_or_none(face.get(), F_VISIBLE))) w->flags &= ~tui::W_HIDDEN;
        else w->flags |= tui::W_HIDDEN;
    }
    if (bits & (1u << F_FLAGS)) {
        uint32_t f = get_flags(field_or_none(face.get(), F_FLAGS));
        w->flags = (w->flags & ~(tui::W_ALL_OVER | tui::W_PASSWORD)) | ((f & 0x1) ? tui::W_ALL_OVER : 0) |
                   ((f & 0x80000) ? tui::W_PASSWORD : 0);
    }
    if (bits & ((1u << F_IMAGE) | (1u << F_SIZE))) render_image(*w, field_or_none(face.get(), F_IMAGE));
    run_update(*w);
    refresh();
    Cell* st = field(face.get(), F_STATE);
    if (st && st->is(TYPE_BLOCK) && block::length(st) >= 2 && block::at(st, 1)->is(TYPE_INTEGER))
        block::at(st, 1)->data2 = 0;
}

void os_update_facet(const Cell* owner, const Cell* word, const Cell* value, const Cell* action,
                     const Cell* new_value, int32_t index, int32_t part) {
    static const int32_t data_sym = symbol::make("data");
    static const int32_t pane_sym = symbol::make("pane");
    const Words& k = words();
    if (is_word(word, pane_sym)) adopt_pane(owner, face_handle(owner));
    if (!is_word(word, data_sym)) {
        os_update_view(owner);
        return;
    }
    Widget* w = face_handle(owner);
    if (!w) return;
    if (w->type && symbol::same_word(w->type, k.text_list)) {
        if (!value->is(TYPE_BLOCK) && !value->is(TYPE_HASH)) return;
        if (is_word(action, k.remove) || is_word(action, k.take) || is_word(action, k.clear) ||
            is_word(action, k.move)) {
            // Told before the items go: part of them are about to leave.
            int32_t n = count_items(field_or_none(owner, F_DATA));
            if (w->data > index) w->data = std::max(index, 0);
            if (index == 0 && part >= n) w->data = 0;
            Cell* selected = field(owner, F_SELECTED);
            if (selected && selected->is(TYPE_INTEGER)) {
                int32_t limit = std::max(n - part, 0);
                if (int32_t(selected->data2) > limit) selected->data2 = uint32_t(limit);
            }
        }
        os_update_view(owner);
        return;
    }
    if (w->type && (symbol::same_word(w->type, k.drop_list) || symbol::same_word(w->type, k.drop_down))) {
        if (part != 0) os_update_view(owner);
        return;
    }
    os_update_view(owner);
}

void os_destroy_view(const Cell* face, bool) {
    Widget* w = face_handle(face);
    bool window = w && !w->parent && w->type && symbol::same_word(w->type, words().window);
    destroy_tree(face);
    // Only a window's end ends the loop that shows it; a face taken out of a
    // pane leaves the loop running.
    if (window && tui::loop_level() > 0) tui::post_quit_msg();
    refresh();
}

// ---- small queries -----------------------------------------------------------------------------------

bool has_focus(const Widget* w) { return w && (w->flags & tui::W_FOCUSED); }

int32_t widget_data(const Widget* w) { return w ? w->data : 0; }

void set_widget_ui(Widget* w, const Cell* text) {
    if (!w) return;
    w->ui = text->is(TYPE_STRING) ? *text : none::value;
}

Cell get_screen_size(int32_t) {
    tui::read_size();
    return Cell{uint32_t(TYPE_PAIR), 0, uint32_t(tui::columns()), uint32_t(tui::rows())};
}

void update_font(const Cell* font, int32_t kind) {
    if (kind == 0 || kind == 1 || kind == 2 || kind == 3 || kind == 5) set_field(font, FONT_STATE, none::value, false);
}

void update_para(const Cell* face) {
    Cell* state = field(face, F_STATE);
    if (state && state->is(TYPE_BLOCK) && block::length(state) >= 2 && block::at(state, 1)->is(TYPE_INTEGER))
        block::at(state, 1)->data2 |= 0x40000;
}

// ---- start-up -------------------------------------------------------------------------------------------

void init() {
    if (Cell* p = platform()) {
        if (Cell* v = named(p, "version")) {
            int32_t parts[3] = {10, 10, 10};
            tuple::make_at_ints(v, 3, parts);
        }
        if (Cell* b = named(p, "build")) *b = Cell{uint32_t(TYPE_INTEGER), 0, 1000, 0};
        if (Cell* pr = named(p, "product")) *pr = Cell{uint32_t(TYPE_INTEGER), 0, 0, 0};
    }
    Cell depth;
    if (call_helper("check-color-support", nullptr, 0, &depth) && depth.is(TYPE_INTEGER)) {
        set_colour_depth(int32_t(depth.data2));
    } else {
        // The same rule as the language side's, for a system built without it.
        auto has = [](const char* var, const char* what) {
            const char* v = std::getenv(var);
            return v && std::strstr(v, what);
        };
        if (has("COLORTERM", "24bit") || has("COLORTERM", "truecolor")) set_colour_depth(4);
        else if (has("COLORTERM", "256") || has("TERM", "256")) set_colour_depth(2);
        else set_colour_depth(4);
    }
    tui::read_size();
}

void reset_views() {
    tui::reset_loop_state();
    for (size_t i = 1; i < slots.size(); i++) slots[i].widget = nullptr;
    free_slots.clear();
    for (size_t i = slots.size(); i-- > 1;) free_slots.push_back(uint32_t(i));
    colour_depth_ = 4;
}

}  // namespace kro::gui

// ---- the face layer of the event loop ------------------------------------------------------------

namespace kro::tui::face_layer {

void pane_widgets(const Widget& w, std::vector<Widget*>& out) {
    out.clear();
    const Cell* pane = gui::field(&w.face, gui::F_PANE);
    if (!pane) {
        out = w.children;
        return;
    }
    if (!pane->is(TYPE_BLOCK)) return;
    Cell p = *pane;
    for (int32_t i = 0; i < block::length(&p); i++) {
        Widget* c = gui::face_handle(block::at(&p, i));
        if (c && c->parent == &w) out.push_back(c);
    }
}

void draw(CellGrid& g, Widget& root) {
    frame().caret_column = frame().caret_row = -1;
    draw_widget(g, root, 0, 0);
}

bool mouse_wanted() {
    const Cell* p = gui::platform();
    const Cell* m = p ? gui::named(p, "mouse-event?") : nullptr;
    return m && m->is(TYPE_LOGIC) && logic::get(m);
}

void widget_freed(Widget& w) {
    if (!w.handle) return;
    uint32_t index = w.handle & gui::INDEX_MASK;
    if (index < gui::slots.size() && gui::slots[index].widget == &w) {
        gui::slots[index].widget = nullptr;
        gui::free_slots.push_back(index);
    }
    // The face forgets the view it no longer has.
    Cell* state = gui::field(&w.face, gui::F_STATE);
    if (state && state->is(TYPE_BLOCK) && block::length(state) >= 1) {
        const Cell* h = block::at(state, 0);
        if (h->is(TYPE_HANDLE) && h->data2 == w.handle) *state = none::value;
    }
    w.handle = 0;
}

}  // namespace kro::tui::face_layer
