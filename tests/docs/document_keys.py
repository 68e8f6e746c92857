#!/usr/bin/env python3
"""Every key of every document a test run emits is described in docs/documents.md.

The documents are those the ECS test gathers: a live run of the built agent in userspace mode
while a child works, the stand-in's block reports and the agent's health documents, each in
its native form and in ECS, and the agent's own ECS output. That test writes them to DUMP
("native" or "ecs", a tab, the document); when DUMP is missing or older than one of the
binaries given, this script runs the test to make it.

A key is named by its path: members of objects joined by ".", array elements transparent, a
native document's "message." left out ("process_md5", "proc_trees.process_md5",
"limits.user"; "host.os.kernel", "dns.answers.data"). Only leaves count. The page describes
a path with a table row whose first cell holds it in backticks; "X.*" describes X and every
path below it (maps keyed by counter names). Native keys are looked for above the page's
heading "## ECS form", ECS keys from there on.
    document_keys.py PAGE DUMP TEST_BINARY [OTHER_BINARY...]"""
import json
import os
import re
import subprocess
import sys

SKIP = 77
LIVE_TEST = "EcsMapping.LiveRunAndStandInDocumentsAreEcs"


def leaves(obj, path, out):
    if isinstance(obj, dict) and obj:
        for k, v in obj.items():
            leaves(v, path + "." + k if path else k, out)
    elif isinstance(obj, list) and obj and all(isinstance(v, dict) for v in obj):
        for v in obj:
            leaves(v, path, out)
    else:
        out.add(path)


def described(page):
    native, ecs, part = set(), set(), None
    part = native
    for line in open(page):
        if line.startswith("## ECS form"):
            part = ecs
        if line.startswith("|"):
            part |= set(re.findall(r"`([^`]+)`", line.split("|")[1]))
    return native, ecs


def covered(path, names):
    if path in names:
        return True
    return any(n.endswith(".*") and (path == n[:-2] or path.startswith(n[:-1])) for n in names)


def fresh(dump, binaries):
    if not os.path.exists(dump):
        return False
    t = os.path.getmtime(dump)
    return all(os.path.getmtime(b) <= t for b in binaries if os.path.exists(b))


def main():
    page, dump = sys.argv[1], os.path.abspath(sys.argv[2])
    binaries = [os.path.abspath(b) for b in sys.argv[3:]]
    if not fresh(dump, binaries):
        if os.path.exists(dump):
            os.unlink(dump)
        env = dict(os.environ, KIV_DOCS_DUMP=dump)
        run = subprocess.run([binaries[0], "--gtest_filter=" + LIVE_TEST, "--gtest_brief=1"],
                             env=env, cwd=os.path.dirname(binaries[0]))
        if not os.path.exists(dump):
            print("no documents: %s wrote none (exit %d)" % (LIVE_TEST, run.returncode))
            return SKIP if run.returncode == 0 else 1
    native_names, ecs_names = described(page)
    missing, counts = {}, {"native": 0, "ecs": 0}
    for line in open(dump):
        form, _, text = line.rstrip("\n").partition("\t")
        if not text:
            continue
        doc = json.loads(text)
        counts[form] += 1
        paths = set()
        if form == "native":
            msg = doc.pop("message", None)
            leaves(doc, "", paths)
            if isinstance(msg, dict):
                leaves(msg, "", paths)
            names = native_names
            kind = (msg or {}).get("event_id") or ("block report" if msg is None else "APP_LOG")
        else:
            leaves(doc, "", paths)
            names = ecs_names
            kind = doc.get("event", {}).get("dataset", "?")
        for p in paths:
            if not covered(p, names):
                missing.setdefault((form, p), kind)
    print("%d native and %d ECS documents, %d native and %d ECS names described" %
          (counts["native"], counts["ecs"], len(native_names), len(ecs_names)))
    for (form, p), kind in sorted(missing.items()):
        print("FAIL: %s key %s (in %s) is not described in %s" % (form, p, kind, page))
    if counts["native"] == 0 or counts["ecs"] == 0:
        print("FAIL: the dump holds no documents of one form")
        return 1
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
