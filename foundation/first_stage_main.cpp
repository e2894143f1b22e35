// The build's first stage: boots from the embedded sources and writes the
// environment as the boot data that the final executable carries.
#include "foundation/runtime.hpp"

int main(int argc, char** argv) { return kro::start::first_stage(argc, argv); }
