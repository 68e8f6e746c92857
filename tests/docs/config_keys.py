#!/usr/bin/env python3
"""Every configuration key the code reads is described in docs/configuration.md, and the page
describes no key the code does not read.

The keys are found where the code reads them: the first text of every ini_long_key (directly or
through a helper that makes one), and the key argument of every ini_file_get, ini_file_get_str
and ini_file_get_long call. A key passed on through a parameter is followed to the calls of the
function or lambda that takes it; a key made by snprintf becomes a pattern, a number as "<i>"
and a text not written there as "*". The page describes a key with a table row whose first
cell holds it in backticks ("`path_filter`", "`path_<i>`"). Every key of the shipped files
(config/*.conf) must be described too.
    config_keys.py SOURCE_DIR"""
import glob
import os
import re
import sys

READERS = ("ini_file_get", "ini_file_get_str", "ini_file_get_long")
LITERAL = re.compile(r'^"((?:[^"\\]|\\.)*)"$')


def call_args(text, open_paren):
    """The top-level arguments of the call whose "(" is at open_paren, and the end index."""
    depth, args, cur, i = 0, [], "", open_paren
    in_str = False
    while i < len(text):
        c = text[i]
        if in_str:
            cur += c
            if c == "\\":
                cur += text[i + 1]
                i += 1
            elif c == '"':
                in_str = False
        elif c == '"':
            in_str, cur = True, cur + c
        elif c in "([{":
            depth += 1
            if depth > 1:
                cur += c
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                args.append(cur.strip())
                return args, i
            cur += c
        elif c == "," and depth == 1:
            args.append(cur.strip())
            cur = ""
        else:
            cur += c
        i += 1
    return args, i


def literal(arg):
    m = LITERAL.match(arg)
    return m.group(1) if m else None


def snprintf_patterns(text, var, upto, depth):
    """Patterns of the snprintf calls that write var before upto."""
    out = set()
    for m in re.finditer(r"\bsnprintf\s*\(", text[:upto]):
        args, _ = call_args(text, m.end() - 1)
        if len(args) < 3 or args[0] != var or literal(args[2]) is None:
            continue
        keys, n = {""}, 0
        for p in re.split(r"(%[-0-9.]*l*[sdu])", literal(args[2])):
            if p.startswith("%"):
                a = args[3 + n] if 3 + n < len(args) else ""
                n += 1
                alts = {"<i>"}
                if p.endswith("s"):
                    alts = keys_of(text, a, m.start(), depth + 1) or {"*"}
                keys = {k + x for k in keys for x in alts}
            else:
                keys = {k + p for k in keys}
        out |= keys
    return out


def enclosing_taker(text, var, at):
    """The function or lambda before at whose parameters include var: (name, index)."""
    best = None
    pat = re.compile(r"(?:\bauto\s+(\w+)\s*=\s*\[[^\]]*\]\s*|\b(\w+)\s*)\(([^()]*)\)\s*(?:->\s*[\w:<>*]+\s*)?\{")
    for m in pat.finditer(text[:at]):
        params = [p.strip() for p in m.group(3).split(",")]
        names = [re.split(r"[\s*&]+", p)[-1] if p else "" for p in params]
        if var in names:
            best = (m.group(1) or m.group(2), names.index(var))
    return best


def keys_of(text, arg, at, depth=0):
    if literal(arg) is not None:
        return {literal(arg)}
    if not re.fullmatch(r"\w+", arg) or depth > 3:
        return set()
    pats = snprintf_patterns(text, arg, at, depth)
    if pats:
        return set(pats)
    taker = enclosing_taker(text, arg, at)
    if not taker:
        return set()
    name, idx = taker
    found = set()
    for m in re.finditer(r"\b%s\s*\(" % re.escape(name), text):
        args, _ = call_args(text, m.end() - 1)
        if idx < len(args) and m.start() != text.find(name):
            found |= keys_of(text, args[idx], m.start(), depth + 1)
    return found


def code_keys(src):
    keys = set()
    files = [f for d in ("src", "tools") for f in glob.glob(os.path.join(src, d, "**", "*.[ch]*"),
                                                        recursive=True)]
    for path in files:
        text = open(path, errors="replace").read()
        text = re.sub(r"//[^\n]*", "", text)
        for m in re.finditer(r'\bini_long_key\s+\w+\s*\{\s*"(\w+)"', text):
            keys.add(m.group(1))
        for helper in re.findall(r"\bini_long_key\s+(\w+)\s*\(", text):
            keys |= set(re.findall(r'\b%s\s*\(\s*"(\w+)"' % helper, text))
        for reader in READERS:
            for m in re.finditer(r"\b%s\s*\(" % reader, text):
                args, _ = call_args(text, m.end() - 1)
                if len(args) >= 3 and not text[:m.start()].rstrip().endswith(("*", "KIV_API")):
                    keys |= keys_of(text, args[2], m.start())
    return keys


def page_keys(page):
    keys = set()
    for line in open(page):
        if line.startswith("|"):
            first = line.split("|")[1]
            keys |= set(re.findall(r"`([^`]+)`", first))
    return keys


def shipped_keys(src):
    out = {}
    for path in glob.glob(os.path.join(src, "config", "*.conf")):
        for line in open(path):
            m = re.match(r"^([A-Za-z_][\w.]*)\s*=", line)
            if m:
                out.setdefault(m.group(1), os.path.basename(path))
    return out


def as_regex(pattern):
    """A code pattern as a regex over the page's key names."""
    return re.compile("^" + re.escape(pattern).replace(r"\*", ".+") + "$")


def main():
    src = sys.argv[1]
    code = code_keys(src)
    page = page_keys(os.path.join(src, "docs", "configuration.md"))
    bad = []
    for k in sorted(code):
        if "*" in k:
            if not any(as_regex(k).match(p) for p in page):
                bad.append("read by the code, not in the page: %s" % k)
        elif k not in page:
            bad.append("read by the code, not in the page: %s" % k)
    for p in sorted(page):
        if not any(p == k or ("*" in k and as_regex(k).match(p)) for k in code):
            bad.append("in the page, read by no code: %s" % p)
    for k, f in sorted(shipped_keys(src).items()):
        if not any(k == p or re.fullmatch(re.escape(p).replace("<i>", r"\d+"), k) for p in page):
            bad.append("in config/%s, not in the page: %s" % (f, k))
    print("%d keys read by the code, %d described" % (len(code), len(page)))
    for b in bad:
        print("FAIL: " + b)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
