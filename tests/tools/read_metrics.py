#!/usr/bin/env python3
"""Reads a statistics file in the Prometheus text format with Debian's prometheus_client
parser and prints its families as JSON ({name: {"type", "help", "samples": [[name, labels,
value]]}}). The layout rules that parser lets pass are checked here: HELP then TYPE before a
family's samples, each family once and in one block, valid names, no timestamps.
Exit 0, 1 on a broken file, 77 without the parser."""
import json
import re
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("prometheus_client is not installed (Debian package python3-prometheus-client)")
    sys.exit(77)

NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*$")
SAMPLE = re.compile(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(\{.*\})? (\S+)$')


def layout_errors(text):
    errors, seen, help_for, current = [], set(), None, None
    if not text.endswith("\n"):
        errors.append("no final line feed")
    for n, line in enumerate(text.splitlines(), 1):
        if line.startswith("# HELP "):
            help_for = line.split(" ", 3)[2]
            if help_for in seen:
                errors.append(f"line {n}: family {help_for} again")
            if not NAME.match(help_for):
                errors.append(f"line {n}: bad name {help_for}")
        elif line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ", 3)
            if name != help_for:
                errors.append(f"line {n}: TYPE {name} without its HELP")
            if kind not in ("counter", "gauge"):
                errors.append(f"line {n}: type {kind}")
            seen.add(name)
            current = name
        else:
            m = SAMPLE.match(line)
            if not m:
                errors.append(f"line {n}: not a sample (or has a timestamp): {line!r}")
            elif m.group(1) != current:
                errors.append(f"line {n}: sample {m.group(1)} outside its family {current}")
    return errors


def main():
    text = open(sys.argv[1], encoding="utf-8").read()
    errors = layout_errors(text)
    try:
        families = list(text_string_to_metric_families(text))
    except Exception as e:  # the parser's refusal is the finding
        errors.append(f"parser: {e}")
        families = []
    if errors:
        print("\n".join(errors[:20]))
        return 1
    out = {}
    for f in families:
        out[f.name] = {"type": f.type, "help": f.documentation,
                       "samples": [[s.name, s.labels, s.value] for s in f.samples]}
    print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
