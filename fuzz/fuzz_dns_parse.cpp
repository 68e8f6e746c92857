// The DNS answer parser on arbitrary bytes: no read outside the message, and what it
// returns holds together.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <arpa/inet.h>

#include "base/mem.h"
#include "net/dns_parse.h"
#include "net/net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A DNS message length is a 16-bit field.
    if (size > 65535) return 0;
    // Both forms of names, the message's length choosing.
    g_net_config.dns_name_escape = size & 1;
    char name[DNSA_NAME_LEN], raw[DNSA_NAME_LEN];
    dnsa_record *list =
        dnsa_get_response_ip(data, (int)size, name, sizeof(name), false, raw, sizeof(raw));
    if (list && strnlen(raw, sizeof(raw)) == sizeof(raw)) __builtin_trap();
    for (dnsa_record *r = list; r != nullptr; r = r->next) {
        if (r->type != DNSA_KIND_A || ntohs(r->rr_type) != 1 || ntohs(r->data_len) < 4 ||
            strnlen(r->name, sizeof(r->name)) == sizeof(r->name) || strcmp(r->name, name) != 0)
            __builtin_trap();
        // The copy must be readable to its full length.
        volatile uint8_t last = r->data[ntohs(r->data_len) - 1];
        (void)last;
    }
    dnsa_clean(list);
    if (kiv_stat_get(MALLOC_FOR_NET_DNSA_RECORD) != 0) __builtin_trap();
    // A buffer of one byte takes only the terminator.
    char one[1] = {'x'};
    dnsa_clean(dnsa_get_response_ip(data, (int)size, one, 1));
    if (one[0] != '\0' && one[0] != 'x') __builtin_trap();
    return 0;
}
