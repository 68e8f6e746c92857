// The library-load, signal and pipe record decoders on arbitrary bytes: the header's length
// bounds every read (the collector hands over exactly that many bytes), and a decoded path
// ends within its stated length + 1 bytes, inside the record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernel/aux_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < sizeof(kiv_msg_hdr) || size > 65535) return 0;
    // An exact-size copy, its length field made true, so a read past it is caught.
    std::vector<char> rec(data, data + size);
    uint16_t len = static_cast<uint16_t>(size);
    memcpy(rec.data() + 4, &len, sizeof len);
    aux_path_record p;
    if (aux_path_record_decode(rec.data(), &p) == AUX_DECODE_OK) {
        size_t n = strlen(p.path);
        if (n > p.path_len || p.path + n >= rec.data() + size) __builtin_trap();
    }
    kill_record k;
    if (kill_record_decode(rec.data(), &k) == AUX_DECODE_OK && size < KILL_RECORD_LEN)
        __builtin_trap();
    return 0;
}
