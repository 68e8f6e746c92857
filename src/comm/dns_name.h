// DNS names as text. Escaped, in presentation form as dig prints them: a label byte that could
// make the name read as another (NUL, '.', '\\', blanks, control and non-ASCII bytes) is
// written as a backslash and three decimal digits, so "a\000.evil.test" cannot pass for "a",
// nor the one label "a.b" for the two of "a.b". Raw: the label bytes as they are, joined by
// dots, a name of more than 254 characters refused.
#pragma once
#include <cstddef>
#include <cstdint>

// Room for any name of at most 256 wire bytes once escaped, with its NUL.
constexpr size_t DNS_TEXT_MAX = 1024;

struct dns_text {
    char text[DNS_TEXT_MAX] = "";
    size_t len = 0;
    bool escape = true;

    dns_text() = default;
    explicit dns_text(bool escaped) : escape(escaped) {}
    // Appends one label, after a "." unless it is the first; false (text unchanged) when
    // it would not fit.
    bool add_label(const uint8_t *label, size_t n);
    // Copies the text into out (size bytes with the NUL). A longer escaped text keeps its
    // start and its end, the labels that own the name, around "...", which no escaped name
    // holds; neither part splits an escape. A raw one is cut at its end. True when cut.
    bool copy_to(char *out, size_t size) const;
};
// Raw names: the longest, the dot after its last label included, is one less than this.
constexpr size_t DNS_RAW_NAME_MAX = 256;
