// The routines behind series functions of the library whose common case is
// worth doing in one pass: split of 1-byte text by a charset.
#include <algorithm>

#include "datatypes/block.hpp"
#include "datatypes/series.hpp"
#include "datatypes/simple.hpp"
#include "datatypes/string.hpp"
#include "foundation/gc.hpp"
#include "foundation/memory.hpp"
#include "foundation/support.hpp"
#include "interpreter/actions.hpp"
#include "interpreter/parse_match.hpp"
#include "interpreter/routines.hpp"

namespace kro::routines {

namespace {

using namespace routines::entry;

// split-by-charset text charset: the pieces of 1-byte text between the
// characters of the charset, as split's parse rule cuts them (a copy of each
// piece; a string! for the empty piece after a last delimiter or of an empty
// text); none when the text is wider or copies differently, for split's
// general way. Nothing here evaluates or collects: the source buffer stays
// where it is while the pieces are made.
void split_by_charset() {
    Cell text = *arg(0), charset = *arg(1);
    if (actions::get<A_COPY>(&text) != &series::copy) return none_result();
    memory::Buffer* b = memory::buffer_of(text.data2);
    int32_t full = int32_t(b->used_bytes() / uint32_t(b->unit()));
    parse::detail::Span s{text.type(), text.data2, std::clamp(int32_t(text.data1), 0, full), full};
    parse::detail::ByteRun cut;
    if (!cut.prepare(s, &charset, parse::detail::MODE_STRICT)) return none_result();
    const uint8_t* p = b->head_ptr();
    int32_t pieces = 1;
    for (int32_t i = cut.find(p, s.index, full); i >= 0; i = cut.find(p, i + 1, full)) pieces++;
    gc::Rooted out;
    block::make_at(out.get(), pieces);
    uint32_t header = uint32_t(text.type()) | (text.header & FLAG_NEW_LINE);
    int32_t at = s.index;  // -1 once the last piece is kept
    while (at >= 0) {
        Cell piece;
        if (at == full) {
            string::make_at(&piece, 0, 1);
            at = -1;
        } else {
            int32_t end = cut.find(memory::buffer_of(text.data2)->head_ptr(), at, full);
            int32_t stop = end < 0 ? full : end;
            piece = Cell{header, 0, series::copy_range(&text, uint32_t(at), uint32_t(stop - at)), 0};
            at = end < 0 ? -1 : end + 1;
        }
        *series::add_cell(out->data2) = piece;
    }
    result(out.get());
}

void install() { add("split-by-charset", &split_by_charset); }

}  // namespace

KRO_ROUTINE_GROUP(install);

}  // namespace kro::routines
