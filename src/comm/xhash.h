// Library-internal additions to the exported xhash.
//
// Inside the library a stored key (as passed to walk and delete callbacks) is followed by a
// NUL byte not counted in key_len, so tables keyed by text hand out C strings directly.
#pragma once
#include <cstdint>

#include "qxkiv/xhash.h"

// xhash_create with the memory accounted under `category` instead of MALLOC_FOR_HASH, for
// owners that report their tables under their own purpose (the INI reader).
xhash_t *xhash_create_in(uint32_t expected_entries, xhash_delete_cb delete_cb,
                         xhash_hash_cb hash_cb, uint32_t category);
