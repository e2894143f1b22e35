#include "gui/platform_routines.hpp"

#include "datatypes/block.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/image.hpp"
#include "datatypes/point.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/gc.hpp"
#include "foundation/ownership.hpp"
#include "gui/event_loop.hpp"
#include "gui/text_measure.hpp"
#include "gui/views.hpp"
#include "gui/widget_render.hpp"
#include "interpreter/routines.hpp"

namespace kro::gui {

namespace {

using routines::entry::arg;
using routines::entry::integer_result;
using routines::entry::logic_result;
using routines::entry::none_result;
using routines::entry::result;

[[noreturn]] void invalid_type(const Cell* value) {
    Cell type{uint32_t(TYPE_DATATYPE), uint32_t(value->type()), 0, 0};
    fire("script", "invalid-type", &type);
}

void make_null_handle() {
    Cell h = handle::make(0, handle::CLASS_NULL);
    result(&h);
}

void fetch_all_screens() { none_result(); }

void get_screen_size_r() {
    Cell size = get_screen_size(int32_t(arg(0)->data2));
    result(&size);
}

// size-text face value
void size_text() {
    const Cell* text;
    if (arg(1)->is(TYPE_STRING)) text = arg(1);
    else if (arg(1)->is(TYPE_NONE)) text = field_or_none(arg(0), F_TEXT);
    else invalid_type(arg(1));
    if (!text->is(TYPE_STRING)) return none_result();
    Cell t = *text;
    Cell point = point2d::make(0, 0);
    get_text_size(&t, &point);
    result(&point);
}

// on-change-facet owner word value action new index part
void on_change_facet() {
    const Cell* new_value = arg(4)->is(TYPE_NONE) ? nullptr : arg(4);
    os_update_facet(arg(0), arg(1), arg(2), arg(3), new_value, int32_t(arg(5)->data2), int32_t(arg(6)->data2));
    none_result();
}

void update_text() { none_result(); }

void update_font_r() {
    update_font(arg(0), int32_t(arg(1)->data2));
    none_result();
}

void update_para_r() {
    update_para(arg(0));
    none_result();
}

void destroy_view() {
    os_destroy_view(arg(0), logic::get(arg(1)));
    none_result();
}

void detach_image() {
    ownership::unbind(arg(0));
    none_result();
}

// update-view face: every item of a block is checked before any is updated.
void update_view() {
    static const int32_t screen = symbol::make("screen");
    Cell* v = arg(0);
    if (v->is(TYPE_BLOCK)) {
        gc::Rooted faces(*v);
        for (int32_t i = 0; i < block::length(faces.get()); i++) {
            const Cell* f = block::at(faces.get(), i);
            if (!f->is(TYPE_OBJECT)) invalid_type(f);
        }
        for (int32_t i = 0; i < block::length(faces.get()); i++) {
            Cell f = *block::at(faces.get(), i);
            if (f.is(TYPE_OBJECT) && field_or_none(&f, F_STATE)->is(TYPE_BLOCK)) os_update_view(&f);
        }
    } else if (v->is(TYPE_OBJECT)) {
        if (!is_word(field_or_none(v, F_TYPE), screen)) {
            Cell f = *v;
            os_update_view(&f);
        }
    } else {
        invalid_type(v);
    }
    none_result();
}

void refresh_window() {
    refresh();
    none_result();
}

void redraw() {
    if (face_handle(arg(0))) refresh();
    none_result();
}

void show_window_r() {
    show_window(widget_of_handle(arg(0)));
    none_result();
}

// make-view face parent
void make_view() {
    // The widget's memory lasts until its handle is read, even when code run
    // while it was made freed it.
    tui::WidgetHold hold;
    Cell face = *arg(0);
    tui::Widget* parent = widget_of_handle(arg(1));
    tui::Widget* w = os_make_view(&face, parent);
    Cell h = handle_of(w);
    result(&h);
}

// draw-image image cmds
void draw_image() {
    Cell* img = arg(0);
    if (image::width_of(img) == 0 || image::height_of(img) == 0) return none_result();
    if (tui::draw_image_hook) tui::draw_image_hook(img, arg(1));
    // The owner (whichever copy of the image was drawn on) hears of it as of a
    // poke over every pixel.
    Cell poked{uint32_t(TYPE_WORD), 0, uint32_t(symbol::make("poked")), uint32_t(-1)};
    ownership::check(img, &poked, img, 0, int32_t(image::pixel_count(img)));
    none_result();
}

// draw-face face cmds: the flags are checked; drawing happens when the face
// is rendered.
void draw_face() {
    get_flags(field_or_none(arg(0), F_FLAGS));
    none_result();
}

void do_event_loop() {
    bool no_wait = logic::get(arg(0));
    take_awake();
    logic_result(tui::do_events(no_wait));
}

void exit_event_loop() {
    tui::post_quit_msg();
    none_result();
}

void request_font() {
    Cell font = *arg(0);
    result(&font);
}

// The requesters are the language side's; title and filter are passed on.
void requester(const char* helper) {
    Cell args[5];
    for (int i = 0; i < 5; i++) args[i] = *arg(i);
    Cell out = none::value;
    if (!call_helper(helper, args, 5, &out)) out = none::value;
    result(&out);
}
void request_file() { requester("request-file"); }
void request_dir() { requester("request-dir"); }

// text-box-metrics box arg0 type
void text_box_metrics_r() {
    static const int32_t rich_text = symbol::make("rich-text");
    const Cell* type = field_or_none(arg(0), F_TYPE);
    if (!is_word(type, rich_text)) fire("script", "face-type", type);
    const Cell* text = field_or_none(arg(0), F_TEXT);
    if (!text->is(TYPE_STRING)) return none_result();
    Cell t = *text, size = *field_or_none(arg(0), F_SIZE), a = *arg(1);
    Cell out = none::value;
    text_box_metrics(&t, &size, &a, int32_t(arg(2)->data2), &out);
    result(&out);
}

void update_scroller() { none_result(); }
void set_dark_mode() { none_result(); }
void support_dark_mode_q() { logic_result(false); }
void toggle_gpu() { none_result(); }

void gui_init() {
    init();
    none_result();
}

void get_flags_r() { integer_result(int32_t(get_flags(arg(0)))); }

void focused_q() { logic_result(has_focus(face_handle(arg(0)))); }

void widget_data_r() {
    integer_result(widget_data(face_handle(arg(0))));
}

void set_face_ui() {
    set_widget_ui(face_handle(arg(0)), arg(1));
    none_result();
}

void install() {
    routines::add("make-null-handle", &make_null_handle);
    routines::add("fetch-all-screens", &fetch_all_screens);
    routines::add("get-screen-size", &get_screen_size_r);
    routines::add("size-text", &size_text);
    routines::add("on-change-facet", &on_change_facet);
    routines::add("update-text", &update_text);
    routines::add("update-font", &update_font_r);
    routines::add("update-para", &update_para_r);
    routines::add("destroy-view", &destroy_view);
    routines::add("detach-image", &detach_image);
    routines::add("update-view", &update_view);
    routines::add("refresh-window", &refresh_window);
    routines::add("redraw", &redraw);
    routines::add("show-window", &show_window_r);
    routines::add("make-view", &make_view);
    routines::add("draw-image", &draw_image);
    routines::add("draw-face", &draw_face);
    routines::add("do-event-loop", &do_event_loop);
    routines::add("exit-event-loop", &exit_event_loop);
    routines::add("request-font", &request_font);
    routines::add("request-file", &request_file);
    routines::add("request-dir", &request_dir);
    routines::add("text-box-metrics", &text_box_metrics_r);
    routines::add("update-scroller", &update_scroller);
    routines::add("set-dark-mode", &set_dark_mode);
    routines::add("support-dark-mode?", &support_dark_mode_q);
    routines::add("toggle-GPU", &toggle_gpu);
    routines::add("gui-init", &gui_init);
    routines::add("get-flags", &get_flags_r);
    routines::add("focused?", &focused_q);
    routines::add("widget-data", &widget_data_r);
    routines::add("set-face-ui", &set_face_ui);
}

}  // namespace

}  // namespace kro::gui

namespace {
void install_gui_platform() { kro::gui::install(); }
}  // namespace
KRO_ROUTINE_GROUP(install_gui_platform);
