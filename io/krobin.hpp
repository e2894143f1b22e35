// KROBIN: the binary serialization of values. One format, two record layouts:
// the standard layout (every record a run of 32-bit little-endian words) and
// the compact layout (a type byte and variable-length integers). A file is the
// magic "KROBIN", a version byte, a flags byte, a layout header with an
// optional symbol table, and the records; everything after the first 8 bytes
// may be packed with the crush coder.
//
// Shared series, and the contexts of objects, functions and bound words, are
// written once: a later occurrence is a reference record carrying the position
// path of the first one (indexes from the root value down through the
// containers), so cycles and sharing survive a round trip.
//
// The reader runs in two modes. Codec mode serves `load`/`save` and the C++
// entry points below and never trusts its input: every size and count is
// checked against the bytes left before it drives an allocation or a copy,
// nesting is bounded, and malformed input raises script/invalid-data or
// script/kb-invalid-record (with the 1-based offset of the offending byte).
// Boot mode decodes the program's own boot data into the root block: it
// accepts the global-set records that bind the datatype, action and native
// words, keeps the stored class ids of object prototypes and fixes the base of
// the boot literal table.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/cell.hpp"

namespace kro::krobin {

constexpr uint8_t VERSION = 2;
// Flags byte (offset 7).
constexpr uint8_t FLAG_COMPACT = 1;
constexpr uint8_t FLAG_COMPRESSED = 2;
constexpr uint8_t FLAG_SYMBOLS = 4;
// Boot data only: the records hold an environment a first build stage made
// (see encode_environment below) rather than the prototypes of compiled code.
constexpr uint8_t FLAG_ENVIRONMENT = 8;

// Containers nested deeper than this are refused by both the writers and the
// readers (internal/too-deep), so that whatever one writes the other reads.
constexpr int32_t MAX_DEPTH = 1000;

// False only while the boot data decodes.
bool codec_q();

// ---- writing ---------------------------------------------------------------------------

// The binary! of one value (standard layout, or compact with compact set),
// written into out, which is answered. With compress, the bytes after the
// first 8 are packed with the crush coder and flag bit 1 is set, unless packing
// would not make them smaller. A value of a type without an encoding
// (routine!, triple!, handle!, port!, event!) raises access/no-codec with the value; nesting beyond MAX_DEPTH raises
// internal/too-deep. Nothing the writer keeps survives a call, so an error
// leaves no state behind for the next encoding.
Cell* encode(const Cell* value, Cell* out, bool compact, bool compress = false);

// ---- reading ---------------------------------------------------------------------------

// Decodes length bytes (either layout, compressed or not) and appends the
// values they hold to the block. Errors: script/invalid-data (no magic, shorter
// than a header, compressed data that does not unpack), script/kb-invalid-record
// with the offset of the byte being read counted from 1 at the first header
// byte (for packed input, the offset in the unpacked form), access/no-codec
// with the datatype of a record of a type without an encoding, and
// internal/too-deep. After an error the block holds what it held before.
void decode(const uint8_t* data, size_t length, Cell* block);

// What the codec's decode routine does with a binary!: anything but a binary!
// of more than 10 bytes raises script/invalid-data; the bytes are decoded into
// a new block, and out receives the block's only value when it holds exactly
// one, else the block. Answers out.
Cell* decode_binary(const Cell* binary, Cell* out);

// ---- routine! ------------------------------------------------------------------------------

// What the interpreter installs, for the boot data of a built environment
// (routines are written by the name of their C++ entry): the code of an
// entry's name (a symbol id), 0 when no entry has it, and the name of a code,
// 0 when it has none. While they are null, routine! has no encoding.
extern int32_t (*routine_code)(int32_t name);
extern int32_t (*routine_name)(int32_t code);

// ---- the boot data -----------------------------------------------------------------------

// Decodes the boot data into the root block in boot mode, with the collector
// switched off: global-set records set the datatype, action and native words
// (neither word nor value stays in the root block), bound words name their
// context by its position among the kept values, object prototypes keep their
// class ids, and every kept value becomes a boot literal. With keep_base the
// literal base set by an earlier load stays. Input that is no KROBIN file or
// whose packed part does not unpack prints the text's message and ends the
// process with status 1; corrupt records raise as in codec mode.
//
// With a prelude (the boot data of a built environment), its cells are kept
// first, before the decoded values: they are what the runtime made before its
// boot program ran, and the data reaches them by reference.
void load(const uint8_t* data, size_t length, bool keep_base, const std::vector<Cell>* prelude = nullptr);

// The boot data of a built environment (flag FLAG_ENVIRONMENT, compact layout),
// as the first build stage writes it. The kept values are, in order: the
// prelude (not written: the reading process makes the same cells and passes
// them to load), then each value of kept; then every global set stores the
// cell at index `index` of the block kept[kept] into the global word of
// `symbol`. The symbol table lists symbols first in the order given (the
// reader makes them in that order, so their ids carry over), then any other
// the records name.
//
// Beyond the layout of prototypes, such data writes bound words with their
// context's owner (as codec data does), routine! by the name of its entry,
// handle! values that hold no resource, the library flag of cell series
// (prefix 0xC5), the owner flag of object contexts, and cells of the prelude
// that carry an identity (native!, action!, op!, the object of the global
// context) as copies (0xFF) of their prelude cell. A value it cannot write
// that way raises access/no-codec.
struct GlobalSet {
    int32_t symbol;
    uint32_t kept;
    uint32_t index;
};
std::vector<uint8_t> encode_environment(const std::vector<Cell>& prelude, const std::vector<int32_t>& symbols,
                                        const std::vector<Cell>& kept, const std::vector<GlobalSet>& sets,
                                        bool compress);

// Boot literal n (the n-th value the boot decoding kept), or null outside the table.
const Cell* boot_literal(int32_t n);
int32_t boot_literal_count();

}  // namespace kro::krobin
