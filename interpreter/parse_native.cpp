// The `parse` native in its slot of the natives table.
#include "interpreter/natives.hpp"
#include "interpreter/parse.hpp"

namespace kro::parse {
namespace {

void install() { natives::set_fn(NATIVE_SLOT, &native); }
KRO_NATIVE_GROUP(install);

}  // namespace
}  // namespace kro::parse
