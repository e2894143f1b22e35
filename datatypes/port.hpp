// port!: the language's handle on an external resource (type 48, parent
// object!). A port is an object made from the standard port prototype, whose
// words are, in order: spec, scheme, actor, awake, state, data, extra. Its
// behaviour comes from its actor: the series and I/O actions applied to a port
// are forwarded by action name to the functions of the actor object that the
// port's scheme supplied, or, when the actor is a handle!, taken from a table
// of native implementations (the action dispatch does that for slots 25-62).
//
// A forwarded call opens a call frame named after the action and pushes the
// port, then the action's arguments in spec order, each refinement as a
// logic! flag followed by its argument (none when the refinement is absent);
// the actor's function runs on those cells, its local words set to none, and
// its result is the action's. read and write are compositions of open, copy,
// insert and close. Nothing is opened when a port is made.
#pragma once
#include <array>
#include <cstdint>

#include "foundation/cell.hpp"
#include "foundation/registry.hpp"

namespace kro::port {

// The fields of a port, in order.
enum Field : int32_t { SPEC = 0, SCHEME, ACTOR, AWAKE, STATE, DATA, EXTRA, FIELD_COUNT };

// ---- native actors ---------------------------------------------------------------------

constexpr int FIRST_NATIVE_SLOT = A_APPEND;  // 25
constexpr int NATIVE_SLOTS = ACTION_COUNT - FIRST_NATIVE_SLOT + 1;

// A native actor's table: the implementation of slot s at position s - 25,
// with the slot's own signature (checked at compile time); empty entries are
// actions the actor does not support.
class NativeActor {
public:
    template <int S>
    NativeActor& set(SlotFn<S> fn) {
        static_assert(S >= FIRST_NATIVE_SLOT && S <= ACTION_COUNT, "native actors serve slots 25-62");
        entries_[S - FIRST_NATIVE_SLOT] = reinterpret_cast<ActionFn>(fn);
        return *this;
    }
    ActionFn entry(int slot) const {
        return slot >= FIRST_NATIVE_SLOT && slot <= ACTION_COUNT ? entries_[slot - FIRST_NATIVE_SLOT] : nullptr;
    }

private:
    std::array<ActionFn, NATIVE_SLOTS> entries_{};
};

// Registers a table (which must live as long as the runtime) and answers the
// handle! that stands for it: class actor, the value numbering the table from
// 1. At most MAX_NATIVE_ACTORS tables; one more is fatal runtime error 98.
constexpr int32_t MAX_NATIVE_ACTORS = 64;
Cell register_native_actor(const NativeActor* table);
// The table a handle stands for, or null when it names none.
const NativeActor* native_actor_of(const Cell* handle);

// The dispatch of slots 25-62 for a port: null when the port's actor is not a
// handle! (the port! row applies); else the native table's entry. A handle
// naming no table raises access/invalid-actor, an empty entry
// access/no-port-action with the action's word.
ActionFn native_action(const Cell* port, int slot);

// ---- the system objects ports are made from -------------------------------------------------
// Made on first use; the boot program may install its own objects in their
// place.

// system/standard/port: spec scheme actor awake state data extra, all none.
const Cell* standard_port();
// system/standard/url-parts: scheme user-info host port path target query
// fragment ref, all none.
const Cell* url_parts();
// system/standard/scheme: name title info actor awake, all none.
const Cell* standard_scheme();
// The runtime's own registry of native schemes: one scheme object per word.
// Library code registers its schemes in system/schemes instead (a block of
// name and scheme-object pairs).
const Cell* schemes();
// The scheme object registered under the word: in system/schemes first, then
// in the native registry; none when neither has an object under that name.
Cell find_scheme(const Cell* name);
void set_standard_port(const Cell* object);
void set_url_parts(const Cell* object);
void set_standard_scheme(const Cell* object);
void set_schemes(const Cell* object);

// Makes a scheme from the standard scheme with that name and actor and puts it
// in the native registry under the name (replacing one of that name); answers
// it in out.
Cell* add_scheme(const char* name, const Cell* actor, Cell* out);

// ---- the port's services -------------------------------------------------------------------

// The port's actor (its third value); access/invalid-port when it is not an
// object!.
Cell get_actor(const Cell* port);
// Calls the actor's function named by the action word on the cells from
// stack::arguments on (the forwarder opened the frame and pushed them); a
// name whose value is not a function! raises access/no-port-action with the
// word. The result is left in stack::arguments.
void call_actor(const Cell* actor, const Cell* action);
// The port made from a spec object, into out (the scheme's actor is copied
// into the port); the errors of make. The scheme is looked up by find_scheme,
// or, when a registry is given (an object of schemes, or a block of name and
// scheme pairs), in that registry alone.
Cell* make_port(const Cell* spec_object, Cell* out);
Cell* make_port(const Cell* registry, const Cell* spec_object, Cell* out);

// ---- actions ------------------------------------------------------------------------------------
// Results go to the first argument's cell, which is answered.

// make port! spec: an object! spec is the spec object, any other spec is
// evaluated into a new url-parts object. Its scheme must be a word!
// (access/no-scheme), name an object! that find_scheme finds
// (access/unknown-scheme), whose actor is an object! or handle!
// (access/invalid-actor); each error carries the spec.
Cell* make(Cell* proto, Cell* spec, int32_t type);
// "make port! [", the fields as object! molds them one level deeper, the
// indentation of the current level when above 0, "]".
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// mold without /only, /all and /flat.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
// Ports compare field by field with ports; another type cannot be compared.
int32_t compare(Cell* value1, Cell* value2, int32_t op);
// open (with /seek when seek was given), copy (with the part), close; the
// copy is the result.
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
// open/write (and /seek), insert the data (an integer part limits it), copy,
// close; the copy is the result.
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as);

// Registers port! (type 48, parent object!) and installs url!'s port maker.
void init();

}  // namespace kro::port
