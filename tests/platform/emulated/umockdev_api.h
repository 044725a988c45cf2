#pragma once
// umockdev's C API. GLib names a struct member "signals", which Qt defines
// as a keyword: the header is read without it.

#pragma push_macro("signals")
#undef signals
#include <umockdev.h>
#pragma pop_macro("signals")
