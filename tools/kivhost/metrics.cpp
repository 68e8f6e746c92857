#include "metrics.h"

#include <cctype>
#include <cstdio>
#include <string_view>

namespace kivhost {

namespace {

// HELP text: backslash and line feed escaped; label values also the double quote.
std::string escaped(std::string_view s, bool label) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (label && c == '"')
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

// Metric names allow [a-zA-Z0-9_:] and no leading digit; anything else becomes '_'.
std::string metric_name(std::string_view prefix, std::string_view name, std::string_view suffix) {
    std::string out(prefix);
    for (char c : name)
        out +=
            std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
    return out += suffix;
}

void family(std::string *out, const std::string &name, std::string_view help, const char *type) {
    *out += "# HELP " + name + " " + escaped(help, false) + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string *out, const std::string &name, std::string_view labels,
            const std::string &value) {
    *out += name;
    if (!labels.empty()) *out += "{" + std::string(labels) + "}";
    *out += " " + value + "\n";
}

}  // namespace

std::string metrics_text(const Sink &sink, double uptime_s, const char *lib_version,
                         StatsLineFn walk) {
    std::string out;
    family(&out, "kivhost_info", "Versions of the agent and of the library it loaded.", "gauge");
    sample(&out, "kivhost_info",
           "version=\"" + escaped(KIVHOST_VERSION, true) + "\",library=\"" +
               escaped(lib_version ? lib_version : "", true) + "\"",
           "1");
    char num[32];
    snprintf(num, sizeof num, "%.3f", uptime_s);
    family(&out, "kivhost_uptime_seconds", "Seconds since the agent started the sensor.", "gauge");
    sample(&out, "kivhost_uptime_seconds", "", num);
    family(&out, "kivhost_documents_total", "Documents delivered, per upload type.", "counter");
    for (int slot = 0; slot < Sink::kSlots; ++slot)
        sample(&out, "kivhost_documents_total", std::string("type=\"") + slot_name(slot) + "\"",
               std::to_string(sink.documents(slot)));
    family(&out, "kivhost_document_bytes_total", "Bytes of the documents delivered.", "counter");
    sample(&out, "kivhost_document_bytes_total", "", std::to_string(sink.bytes()));
    family(&out, "kivhost_uploads_refused_total", "Uploads refused: empty or not delivered.",
           "counter");
    sample(&out, "kivhost_uploads_refused_total", "", std::to_string(sink.refused()));

    // Memory categories are one family, so they come together in walk order; events follow.
    bool memory_head = false;
    walk_stats(walk, [&](int index, std::string_view line) {
        std::string_view name, text;
        long long value = 0;
        if (!split_stats_line(line, &name, &text, &value)) return;
        if (index == 0) {
            family(&out, "qxkiv_memory_blocks", text, "gauge");
            sample(&out, "qxkiv_memory_blocks", "", std::to_string(value));
        } else if (index < kMemoryCounters) {
            if (!memory_head)
                family(&out, "qxkiv_memory_bytes", "Bytes the library holds, per category.",
                       "gauge");
            memory_head = true;
            sample(&out, "qxkiv_memory_bytes", "category=\"" + escaped(name, true) + "\"",
                   std::to_string(value));
        } else {
            const std::string metric = metric_name("qxkiv_", name, "_total");
            family(&out, metric, text, "counter");
            sample(&out, metric, "", std::to_string(value));
        }
    });
    return out;
}

}  // namespace kivhost
