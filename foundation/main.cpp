#include "foundation/runtime.hpp"

int main(int argc, char** argv) { kro::start::main(argc, argv); }
