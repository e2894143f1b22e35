#include "datatypes/scalar_path.hpp"

#include "datatypes/object.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/word.hpp"
#include "foundation/fire.hpp"
#include "foundation/memory.hpp"
#include "foundation/ownership.hpp"

namespace kro::scalar_path {

void changed(Cell* container, const Cell* item, const Cell* changed, const Cell* old_value) {
    if (!container) return;
    Type t = container->type();
    if (t == TYPE_OBJECT) {
        if (item && word::any_word_type(item->type())) object::call_on_change(container, item, old_value, changed);
        return;
    }
    if (!series::is_block_kind(t)) return;
    // the slot's index from the head when the value lies in the block, else what the path said
    memory::Buffer* b = memory::buffer_of(container->data2);
    const Cell* first = b->cells();
    int32_t index = 0;
    if (changed >= first && changed < b->cell_tail()) {
        index = int32_t(changed - first) - int32_t(container->data1);
    } else if (item && item->is(TYPE_INTEGER)) {
        index = int32_t(item->data2) - 1;
    }
    Cell word = ownership::event_word(int32_t(series::Event::POKE), true);
    Cell value = *changed;
    ownership::check(container, &word, &value, index, 1);
}

void invalid_path(const Cell* path, const Cell* element) {
    const Cell* p = path ? path : &none::value;
    fire("script", "invalid-path", p, element);
}

}  // namespace kro::scalar_path
