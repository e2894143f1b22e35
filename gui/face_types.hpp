// The face types that behave in their own way in the terminal: what each
// rebuilds when its face changes, how it draws itself and how it answers keys
// and the mouse. base (and carets), field, button, progress, text-list,
// rich-text, group-box, check and radio here; every other type keeps the
// generic renderer and no behaviour of its own. Windows draw their
// background only.
#pragma once
#include <cstdint>

#include "gui/event_loop.hpp"

namespace kro::tui {

// Gives a widget made for a face the callbacks and state of its face type
// (by Widget::type) and runs its first rebuild where the type has one.
void set_face_type(Widget& w);
void set_window_type(Widget& w);

// A field's caret brought in line with its face's text: a new text series
// puts it after what fits in the field; otherwise the index is kept within
// the text and the columns are measured again.
void sync_caret(Widget& w);

// A rich-text face's styled cells built again from its text and data.
void build_styled(Widget& w);

}  // namespace kro::tui
