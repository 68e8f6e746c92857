// The limits' drops waiting for the host, taken, one line each, sorted:
// "LIMIT USER KIND SUBJECT +N" (USER "any", KIND exe, peer or dest, SUBJECT "-" for none).
#pragma once
#include <algorithm>
#include <string>
#include <vector>

#include "qxkiv/limit_drops.h"

inline std::string taken_limit_drops() {
    std::vector<std::string> lines;
    kiv_limit_drop d[64];
    for (int n; (n = kiv_limit_drops_take(d, 64)) > 0;)
        for (int i = 0; i < n; i++) {
            static const char *const kinds[] = {"exe", "peer", "dest"};
            lines.push_back(std::string(d[i].limit) + " " +
                            (d[i].uid == KIV_LIMIT_ANY_USER ? "any" : std::to_string(d[i].uid)) +
                            " " + kinds[d[i].subject_kind % 3] + " " +
                            (d[i].subject[0] ? d[i].subject : "-") + " +" +
                            std::to_string(d[i].dropped) + "\n");
        }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (auto &l : lines) out += l;
    return out;
}
