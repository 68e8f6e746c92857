// The keyword automaton on arbitrary keywords and text: built in both construction modes,
// with and without case folding, and searched over the whole text and over the same text in
// pieces. Both modes must report the same hits, a search in pieces the same as one over the
// whole, and each hit must be a keyword occurring at the reported place.
//
// Input: a flag byte (bit 0: fold case), a keyword count byte, each keyword led by its u16
// length, then the text.
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "file/matcher.h"
#include "fuzz_input.h"
#include "matcher_hits.h"
#include "qxkiv/file_type.h"

namespace {

char fold(char c, bool nocase) {
    return nocase && c >= 'A' && c <= 'Z' ? (char)(c | 0x20) : c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input in{data, size};
    bool nocase = in.u8() & 1;
    std::vector<std::string> kw;
    size_t nkw = 1 + in.u8() % 24;
    for (size_t i = 0; i < nkw; i++)
        kw.push_back(in.part_of(in.u16() % (MSTR_MAX_PATTERN_LEN + 2)));
    std::string text = in.rest();
    std::vector<size_t> cuts;
    for (size_t at = 7; at < text.size(); at += 1 + (unsigned char)text[at] % 64)
        cuts.push_back(at);

    std::vector<hit> whole[2];
    for (int extend = 0; extend < 2; extend++) {
        mstr_ctrl *ctrl =
            mstr_ctrl_create((nocase ? MSTR_NOCASE : 0) | (extend ? 0 : MSTR_NO_EXTEND));
        if (!ctrl) return 0;
        std::vector<std::string> added(nkw + 1);
        for (size_t i = 0; i < kw.size(); i++)
            if (mstr_ctrl_add_pattern(ctrl, kw[i].data(), (uint32_t)kw[i].size(),
                                      (void *)(uintptr_t)(i + 1)) == 0)
                added[i + 1] = kw[i];
        if (mstr_ctrl_compile(ctrl) != 0) {
            mstr_ctrl_destroy(ctrl);
            return 0;
        }
        whole[extend] = search_pieces(ctrl, text, {});
        if (search_pieces(ctrl, text, cuts) != whole[extend]) __builtin_trap();
        for (const hit &h : whole[extend]) {
            if (h.data == 0 || h.data > nkw) __builtin_trap();
            const std::string &k = added[h.data];
            if (k.empty() || h.start < 0 || (size_t)h.start + k.size() > text.size())
                __builtin_trap();
            for (size_t j = 0; j < k.size(); j++)
                if (fold(text[h.start + j], nocase) != fold(k[j], nocase)) __builtin_trap();
        }
        mstr_ctrl_destroy(ctrl);
    }
    if (!(whole[0] == whole[1])) __builtin_trap();
    return 0;
}
