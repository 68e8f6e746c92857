#include "metrics.h"

#include <cctype>
#include <cstdio>
#include <functional>
#include <vector>
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

std::string metrics_text(Delivery &delivery, double uptime_s, const char *lib_version,
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
    for (int slot = 0; slot < kSlots; ++slot)
        sample(&out, "kivhost_documents_total", std::string("type=\"") + slot_name(slot) + "\"",
               std::to_string(delivery.documents(slot)));
    family(&out, "kivhost_document_bytes_total", "Bytes of the documents taken.", "counter");
    sample(&out, "kivhost_document_bytes_total", "", std::to_string(delivery.bytes()));
    family(&out, "kivhost_uploads_refused_total",
           "Uploads refused: empty, or no output could queue them.", "counter");
    sample(&out, "kivhost_uploads_refused_total", "", std::to_string(delivery.refused()));

    // Each output: one sample per family, labelled with its name.
    std::vector<OutputStats> outs;
    for (const auto &o : delivery.outputs()) outs.push_back(o->stats());
    struct Fam {
        const char *name, *help, *type;
        std::function<std::string(const OutputStats &)> value;
    };
    const Fam fams[] = {
        {"kivhost_output_up", "1 while the output takes documents, 0 while it fails.", "gauge",
         [](const OutputStats &s) { return std::string(s.up ? "1" : "0"); }},
        {"kivhost_output_down_since_seconds",
         "Since when the output fails (seconds since 1970), 0 while it is up.", "gauge",
         [](const OutputStats &s) { return std::to_string(s.down_since_ms / 1000); }},
        {"kivhost_output_queue_documents", "Documents in the output's memory queue.", "gauge",
         [](const OutputStats &s) { return std::to_string(s.queued); }},
        {"kivhost_output_spool_documents", "Documents in the output's spool, not delivered yet.",
         "gauge", [](const OutputStats &s) { return std::to_string(s.spooled); }},
        {"kivhost_output_spool_bytes", "Bytes of the output's spool files.", "gauge",
         [](const OutputStats &s) { return std::to_string(s.spooled_bytes); }},
        {"kivhost_output_delivered_total", "Documents the output delivered.", "counter",
         [](const OutputStats &s) { return std::to_string(s.delivered); }},
        {"kivhost_output_delivered_bytes_total", "Bytes of the documents the output delivered.",
         "counter", [](const OutputStats &s) { return std::to_string(s.delivered_bytes); }},
        {"kivhost_output_delayed_total", "Documents that waited in the output's spool.", "counter",
         [](const OutputStats &s) { return std::to_string(s.delayed); }},
        {"kivhost_output_retried_total", "Tries of the output that failed and were made again.",
         "counter", [](const OutputStats &s) { return std::to_string(s.retried); }},
    };
    for (const Fam &f : fams) {
        family(&out, f.name, f.help, f.type);
        for (const OutputStats &s : outs)
            sample(&out, f.name, "output=\"" + escaped(s.name, true) + "\"", f.value(s));
    }
    family(&out, "kivhost_output_dropped_total",
           "Documents the output dropped: queue_full (memory), spool_full (oldest spool segment "
           "given up), damaged (torn spool record), refused (the far end can never take it).",
           "counter");
    for (const OutputStats &s : outs) {
        const std::pair<const char *, uint64_t> reasons[] = {
            {"queue_full", s.dropped_queue_full},
            {"spool_full", s.dropped_spool_full},
            {"damaged", s.dropped_damaged},
            {"refused", s.refused},
        };
        for (const auto &[why, n] : reasons)
            sample(&out, "kivhost_output_dropped_total",
                   "output=\"" + escaped(s.name, true) + "\",reason=\"" + why + "\"",
                   std::to_string(n));
    }

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
