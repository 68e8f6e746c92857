// What a person sees: one short line per document (--format compact) and the choice of
// document types (--only).
#ifndef KIVHOST_VIEW_H
#define KIVHOST_VIEW_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivhost {

// "PROC_EXEC,DNS_QUERY" (any case) to a mask of Sink slots. An empty list, an empty name or
// an unknown one is false with err naming the valid names.
bool parse_only(std::string_view list, uint32_t *mask, std::string *err);

// The document as one line without its line break: time, type, pid and process, then what
// matters for that type. ANSI colours when colour; control characters of the document's
// texts never reach the terminal. A text that is not JSON is shown cut, as such. A document in
// its ECS form (ecs_document's) gives the same line as its native form.
std::string compact_line(const char *text, size_t len, int32_t type, bool colour);

}  // namespace kivhost

#endif
