// error!: every failure of the language is an object of type 34 whose context
// holds, in order, code, type, id, arg1, arg2, arg3, near, where, stack and
// files. type and id name an entry of the error catalog, the object
// system/catalog/errors: one category object per word (throw note syntax
// script math access reserved1 reserved2 user internal), each holding code,
// type (its title) and then one message template per id. An error's code is
// the category's position x 100 + the id's position in it (math/zero-divide
// is 400).
//
// Forming an error (what the console prints) reads the catalog object, never a
// table behind it: the runtime builds that object at start from the catalog's
// Kro text (catalog_source), and the boot program may later install the same
// object made by evaluating that text with set_catalog.
#pragma once
#include <cstdint>

#include "foundation/cell.hpp"

namespace kro::error {

enum Field : int32_t { CODE = 0, TYPE, ID, ARG1, ARG2, ARG3, NEAR, WHERE, STACK, FILES, FIELD_COUNT };

// ---- the catalog and the prototype -------------------------------------------------------

// Builds the catalog object and the prototype error (system/standard/error:
// the ten words, all none) and keeps them rooted. Runtime initialisation calls
// it once the root block, the symbol table and the global context exist.
void init_catalog();
bool catalog_ready();
// The Kro source text the catalog object is made from.
const char* catalog_source();
const Cell* catalog();
const Cell* prototype();
// The boot program's own objects replace the built ones.
void set_catalog(const Cell* errors);
void set_prototype(const Cell* standard_error);

// The rooted cell in which fire keeps the error it raised last.
Cell* raised_slot();
// internal/no-memory made at start, raised when the heap cannot hold a new
// one even with the arena's kept room open (its near and where are rewritten).
Cell* spare_no_memory();
// The empty block that stands as its stack (a block: the throw takes no call names).
const Cell* spare_no_memory_calls();

// ---- what the interpreter provides --------------------------------------------------------

// The interpreter's current expression, copied into `near` (a none cell
// until the interpreter installs its own).
extern Cell (*current_expression)();
// The innermost code being evaluated, the library's own included (where
// current_expression names the user's call that runs it).
extern Cell (*current_code)();
// Appends the names of the calls above a call-stack position (stack/form-call-names);
// answers the budget left. Null until the interpreter installs it: no names.
extern int32_t (*form_call_names)(int32_t level, int32_t position, Cell* buffer, int32_t limit);
// Appends the name words of the calls above a position to a block
// (stack/collect-call-names). Null: none appended.
extern void (*collect_call_names)(int32_t level, Cell* block, int32_t position);

// system/state/stack-trace and system/state/source-files. Until the system
// object points this at its own fields, the error module keeps both
// (stack-trace 1, source-files an empty block).
enum class State { STACK_TRACE, SOURCE_FILES };
extern Cell* (*state_field)(State which);

// ---- making and reading ---------------------------------------------------------------------

// Pushes a new error made from the name pair [category id] (words), with the
// given arguments (null: absent, the field stays none).
Cell* create(const Cell* category, const Cell* id, const Cell* arg1, const Cell* arg2, const Cell* arg3);
// The field cell of an error.
Cell* field(const Cell* err, Field f);
// Replaces an in-flight stack position by the block of call names and fills files.
void capture_stack(Cell* err);
// Stores the word into `where` while `where` is none.
void get_where(Cell* err, const Cell* word);
int32_t get_type(const Cell* err);
int32_t get_id(const Cell* err);
constexpr int32_t stack_index() { return STACK; }
// The n-th (from 0) argument word of the running call, or the word <anon>.
Cell nth_argument_word(int32_t n);

// ---- actions ----------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, int32_t type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit, int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grandparent, Cell* path_item,
                int32_t index, bool case_, bool get, bool tail, bool event);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers error! (type 34, parent object!).
void init();

}  // namespace kro::error
