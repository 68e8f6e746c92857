// Multi-pattern keyword automaton (mstr): a byte trie that either becomes a complete
// transition table (extend mode) or keeps Aho-Corasick failure links (no-extend mode).
// Memory comes from calloc/realloc/free: it is built once and never accounted.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qxkiv/file_type.h"

struct mstr_node {
    uint32_t id;          // index in the node table; the root is 0
    uint32_t accept_len;  // non-zero: a pattern of this length ends here
    void *data;           // value given with that pattern
    mstr_node *fail;      // no-extend mode only
    uint64_t linked[4];   // bit c: next[c] was borrowed during extend compilation
    mstr_node *next[256];
};

struct mstr_ctrl {
    uint32_t nocase;
    uint32_t no_extend;
    uint32_t compiled;
    uint32_t node_cnt;
    uint32_t node_cap;
    mstr_node **nodes;
    uint32_t max_len;  // longest pattern: how far a search started mid-text needs to settle
};

// Keywords are words; extend compilation costs the square of a pattern's length, and
// a two-chain search block must be longer than any pattern.
constexpr uint32_t MSTR_MAX_PATTERN_LEN = 256;
// Node ids stay well inside 32 bits.
constexpr uint32_t MSTR_MAX_NODES = 1u << 24;

mstr_node *mstr_node_alloc(mstr_ctrl *ctrl);
int mstr_ctrl_compile_extend(mstr_ctrl *ctrl);
int mstr_ctrl_compile_no_extend(mstr_ctrl *ctrl);
int32_t mstr_search_extend(const mstr_ctrl *ctrl, uint32_t *state, const void *text, size_t length,
                           void *context, mstr_callback callback);
int32_t mstr_search_no_extend(const mstr_ctrl *ctrl, uint32_t *state, const void *text,
                              size_t length, void *context, mstr_callback callback);
