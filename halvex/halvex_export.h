// Export marker of libhalvex: the library is built with hidden visibility and
// only what carries HALVEX_API is part of its interface.
#pragma once

#define HALVEX_API __attribute__((visibility("default")))
#define HALVEX_C_API extern "C" __attribute__((visibility("default")))
