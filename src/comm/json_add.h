// Adding members to cJSON objects the way every record of the sensor does.
#pragma once
#include <cjson/cJSON.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Integers go in as their decimal text: cJSON would print a number through "%1.15g" and a
// sscanf round trip, which costs more than the rest of a record. The printed text is the
// same, and a u64 keeps every digit.
template <class T>
inline bool add_int(cJSON *obj, const char *key, T v) {
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text - 1, v);
    *end = '\0';
    return cJSON_AddRawToObject(obj, key, text) != nullptr;
}

// Every id is a u32 whose unset value has all bits set; records show it as -1.
inline bool add_signed(cJSON *obj, const char *key, uint32_t v) {
    return add_int(obj, key, static_cast<int32_t>(v));
}

inline bool add_u64(cJSON *obj, const char *key, uint64_t v) {
    return add_int(obj, key, v);
}

// Documents are valid UTF-8 whatever the names, command lines and lines they carry: an
// invalid byte is written as the four characters "\xHH", and a backslash is doubled where it
// comes before a backslash, an 'x' or an invalid byte, so every original byte can be restored
// ("\\" is one backslash, "\xHH" the byte HH, any other backslash itself).
bool json_text_plain(const char *v);
std::string json_text_escape(const char *v);
// Appends v as a JSON string, quotes included, in exactly the bytes add_str and cJSON's
// printer give it: for records built as text, without a tree.
void json_append_text(std::string &out, const char *v);

// A record printed unformatted, with its length, into a buffer this thread keeps (no growth
// by reallocation on the way) while the result lives; a record too long for it, or printed
// while the buffer is lent out (a host callback that prints again), is printed the usual way.
// text is nullptr when printing failed.
struct json_printed {
    const char *text = nullptr;
    size_t len = 0;
    char *owned = nullptr;
    bool *lent = nullptr;
    json_printed() = default;
    json_printed(const json_printed &) = delete;
    json_printed &operator=(const json_printed &) = delete;
    ~json_printed() {
        if (owned) cJSON_free(owned);
        if (lent) *lent = false;
    }
};
void json_print_local(cJSON *item, json_printed *out);

inline bool add_str(cJSON *obj, const char *key, const char *v) {
    if (v == nullptr || json_text_plain(v)) return cJSON_AddStringToObject(obj, key, v) != nullptr;
    return cJSON_AddStringToObject(obj, key, json_text_escape(v).c_str()) != nullptr;
}

// A text field that may fill its whole array without a terminator (the host's header time).
template <size_t N>
inline bool add_strn(cJSON *obj, const char *key, const char (&v)[N]) {
    char text[N + 1];
    size_t n = strnlen(v, N);
    memcpy(text, v, n);
    text[n] = '\0';
    return add_str(obj, key, text);
}
