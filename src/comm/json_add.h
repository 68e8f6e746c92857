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

// A u64 as cJSON prints the double it becomes: whole below 10^15, else its shortest form
// that reads back ("1.23456789012345e+15"). out holds 32 bytes.
constexpr uint64_t JSON_WHOLE_MAX = 1000000000000000ull;
void json_u64_text(uint64_t v, char out[32]);

inline bool add_u64(cJSON *obj, const char *key, uint64_t v) {
    if (v >= JSON_WHOLE_MAX) return cJSON_AddNumberToObject(obj, key, (double)v) != nullptr;
    return add_int(obj, key, v);
}

// Whether strings keep cJSON's own printing (json_escape_invalid in sensor.conf is 0): every
// byte as it stands, also one that is not UTF-8.
bool json_text_raw();

// Documents are valid UTF-8 whatever the names, command lines and lines they carry: an
// invalid byte is written as the four characters "\xHH", and a backslash is doubled where it
// comes before a backslash, an 'x' or an invalid byte, so every original byte can be restored
// ("\\" is one backslash, "\xHH" the byte HH, any other backslash itself).
bool json_text_plain(const char *v);
std::string json_text_escape(const char *v);
// The same escape of n bytes of v appended to out; with controls, every control character
// but tab (C0, DEL, C1) is written as "\xHH" too, so the text is one line a terminal only
// shows. Stops before a character whose escape would take out past max bytes; returns the
// bytes of v taken.
size_t text_escape_append(std::string &out, const char *v, size_t n, bool controls,
                          size_t max = SIZE_MAX);
// Appends v as a JSON string, quotes included, in exactly the bytes add_str and cJSON's
// printer give it: for records built as text, without a tree.
void json_append_text(std::string &out, const char *v);

// A JSON object written member by member as text, in the bytes cJSON prints the same tree
// unformatted: for the records of every event, which a tree would cost a dozen allocations.
class json_text_obj {
  public:
    explicit json_text_obj(std::string &out) : out_(out) { out_ += '{'; }
    json_text_obj &str(const char *key, const char *v) {
        name(key);
        json_append_text(out_, v);
        return *this;
    }
    template <class T>
    json_text_obj &num(const char *key, T v) {
        name(key);
        char text[24];
        out_.append(text, std::to_chars(text, text + sizeof text, v).ptr);
        return *this;
    }
    json_text_obj &num(const char *key, uint64_t v) {
        char text[32];
        json_u64_text(v, text);
        return raw(key, text);
    }
    // Every id is a u32 whose unset value has all bits set; records show it as -1.
    json_text_obj &id(const char *key, uint32_t v) { return num(key, static_cast<int32_t>(v)); }
    json_text_obj &raw(const char *key, const char *text) {
        name(key);
        out_ += text;
        return *this;
    }
    // A member object: written through the returned writer, closed before this one goes on.
    json_text_obj object(const char *key) {
        name(key);
        return json_text_obj(out_);
    }
    // A member array: items(out) appends its items, commas between them included.
    template <class F>
    json_text_obj &array(const char *key, F &&items) {
        name(key);
        out_ += '[';
        items(out_);
        out_ += ']';
        return *this;
    }
    void close() { out_ += '}'; }

  private:
    void name(const char *key) {
        if (!first_) out_ += ',';
        first_ = false;
        out_ += '"';
        out_ += key;
        out_ += "\":";
    }
    std::string &out_;
    bool first_ = true;
};

// The string this thread builds its records in, lent while one record is built and uploaded;
// a host callback that builds another meanwhile gets a string of its own.
class json_text_buffer {
  public:
    json_text_buffer();
    ~json_text_buffer();
    json_text_buffer(const json_text_buffer &) = delete;
    json_text_buffer &operator=(const json_text_buffer &) = delete;
    std::string &text() { return *text_; }

  private:
    std::string own_;
    std::string *text_;
    bool *lent_ = nullptr;
};

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
    if (v == nullptr || json_text_raw() || json_text_plain(v))
        return cJSON_AddStringToObject(obj, key, v) != nullptr;
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
