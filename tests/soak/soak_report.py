"""Reads what a soak run left behind and decides whether it passed.

Kept apart from the driver so the parsing and the arithmetic can be checked on their own
(soak_report_check.py) without a sensor.
"""
import collections
import csv
import glob
import json
import os
import re

# Document "event_id" (or the log collector's layout) to kivhost's name for the upload type.
EVENT_TO_TYPE = {
    "PROCESS_CREATION": "PROC_EXEC",
    "PROCESS_EXIT": "PROC_EXIT",
    "FILE_CREATION": "FILE_CRATE",
    "FILE_DELETION": "FILE_DELETE",
    "FILE_RENAMING": "FILE_MOVE",
    "FILE_MODIFICATION": "FILE_MOD",
    "NETWORK_CONNECTION": "NET_CONNECT",
    "DNS_QUERY": "DNS_QUERY",
    "LISTENING": "NET_LISTENING",
    "NET_SCAN": "NET_SCAN",
    "SELF_PROTECT_BLOCK": "SELF_PROTECT_BLOCK",
}

# Categories of the accounting allocator that may still hold memory when the counters are
# written at stop: the steps freeing them come after that write.
LIVE_AT_LAST_DUMP = {"MALLOC_IN_USE_TIMES", "MALLOC_NEVER_FREE", "MALLOC_FOR_TIMER",
                     "MALLOC_FOR_CONFIG", "MALLOC_FOR_INI_PARSER", "MALLOC_FRAMEWORK_FOR_CACHE"}

# Extra columns of rss.csv: resident KB per kind of mapping.
RSS_KINDS = ("asan_heap_kb", "anon_kb", "bpf_kb", "file_kb")

STAT_LINE = re.compile(r"^([A-Z][A-Z0-9_]*)\(.*\): (-?\d+)$")


def parse_stat_dumps(text):
    """Every statistics dump in a sensor log, oldest first, each a dict name -> value."""
    dumps, cur = [], None
    for line in text.splitlines():
        m = STAT_LINE.match(line)
        if not m:
            continue
        name, value = m.group(1), int(m.group(2))
        if name == "MALLOC_IN_USE_TIMES":  # the first counter starts a dump
            cur = {}
            dumps.append(cur)
        if cur is not None:
            cur[name] = value
    return dumps


def parse_kivhost_summary(text):
    """kivhost's exit summary: (total, bytes, refused, {type: documents}) or None."""
    m = None
    for m in re.finditer(r"kivhost: [\d.]+ s, (\d+) documents, (\d+) bytes, (\d+) uploads refused\n"
                         r"((?:  \S+ +\d+\n)*)", text):
        pass
    if m is None:
        return None
    per = {}
    for line in m.group(4).splitlines():
        name, n = line.split()
        per[name] = int(n)
    return int(m.group(1)), int(m.group(2)), int(m.group(3)), per


def slope_per_hour(points):
    """Least-squares slope of (seconds, value) points, per hour; None for fewer than 3."""
    if len(points) < 3:
        return None
    n = len(points)
    mx = sum(p[0] for p in points) / n
    my = sum(p[1] for p in points) / n
    sxx = sum((p[0] - mx) ** 2 for p in points)
    if sxx == 0:
        return None
    sxy = sum((p[0] - mx) * (p[1] - my) for p in points)
    return sxy / sxx * 3600.0


def after_warm_up(points):
    """The samples after warm-up: the last third of the run by time.

    The tables with time windows (process tree, repeat filters, DNS and connection pairing)
    fill for their windows, and the allocator's free lists settle after them: in a 30-minute
    release soak the library's own memory stops growing at 12 minutes and the resident size at
    20. A leak grows on; that is what the last third shows.
    """
    if not points:
        return []
    start = points[0][0] + (points[-1][0] - points[0][0]) * 2 / 3
    return [p for p in points if p[0] >= start]


def accounted_series(dumps, period_s=120):
    """(seconds, KB) of the library's accounted memory in each periodic dump; the last dump,
    written at the stop, is left out."""
    return [(i * period_s, sum(v for k, v in d.items() if k.startswith("MALLOC_")
                               and k != "MALLOC_IN_USE_TIMES") / 1024.0)
            for i, d in enumerate(dumps[:-1])]


def memory_verdict(rss_rows, dumps, max_growth):
    """(ok, detail) of the memory check. VmRSS must not grow over the last third; under ASan
    (a tree whose samples show an ASan heap) the resident size follows the sanitizer's
    allocator (quarantine, size classes kept), so the library's accounted memory is judged
    there and the resident growth is shown beside it: the release soak judges that."""
    pts = [(r[0], r[1]) for r in rss_rows]
    tail = after_warm_up(pts)
    slope = slope_per_hour(tail)
    span = tail[-1][0] - tail[0][0] if len(tail) > 1 else 0
    growth = None if slope is None else slope / 1024.0
    if growth is None or span < 300:
        return True, "run too short to judge growth" + (
            f" (indicative {growth:+.2f} MB/h)" if growth is not None else "")
    rss_text = f"{growth:+.2f} MB/h over the last {span / 60:.0f} min"
    asan = any(len(r) > 4 and r[4] > 0 for r in rss_rows)
    if not asan:
        return growth < max_growth, f"{rss_text} (limit {max_growth})"
    acc = slope_per_hour(after_warm_up(accounted_series(dumps)))
    if acc is None:
        return False, f"ASan tree: {rss_text}, and too few counter dumps to judge its own memory"
    acc /= 1024.0
    return acc < max_growth, (f"ASan tree: the library's accounted memory {acc:+.2f} MB/h over the "
                              f"last third (limit {max_growth}); VmRSS {rss_text}, the ASan "
                              f"allocator's (judged by the release soak)")


def read_documents(path, tag):
    """Per-type counts, bad lines, and what the storm's tag turns up in each type.

    seen[(event, kind)] counts documents per storm id, e.g. ("DNS_QUERY", "q") -> {"17": 1}.
    A process creation of the storm also records its (pid, create time), to find its exit.
    """
    types = collections.Counter()
    bad = 0
    seen = collections.defaultdict(collections.Counter)
    storm_procs = set()
    exits = collections.Counter()
    by_pid = collections.defaultdict(set)
    pat = re.compile(re.escape(tag) + r"-([a-z])(\d+)")
    with open(path, errors="replace") as f:
        for line in f:
            try:
                doc = json.loads(line)
                msg = doc["message"]
            except (ValueError, KeyError, TypeError):
                bad += 1
                continue
            event = msg.get("event_id") or ("APP_LOG" if "line" in msg else "UNKNOWN")
            types[EVENT_TO_TYPE.get(event, event)] += 1
            if "process_id" in msg:
                exe = os.path.basename(msg.get("process_path", "") or "?")
                by_pid[msg["process_id"]].add(f"{event}({exe})")
            if event == "PROCESS_EXIT":
                exits[(msg.get("process_id"), msg.get("process_createtime"))] += 1
                continue
            # The process's own fields only: its parent or tree may carry the tag too.
            if event == "APP_LOG":
                hay = msg.get("line", "")
            elif event.startswith("FILE_"):
                hay = msg.get("file_name", "")
            elif event == "DNS_QUERY":
                hay = msg.get("query_name", "")
            else:
                hay = msg.get("process_cmd_line", "")
            for kind, num in set(pat.findall(hay)):
                seen[(event, kind)][num] += 1
                if event == "PROCESS_CREATION":
                    storm_procs.add((msg.get("process_id"), msg.get("process_createtime")))
    return types, bad, seen, storm_procs, exits, by_pid


def g(stats, *names):
    return sum(stats.get(n, 0) for n in names)


def cut_at_stop(log_text):
    """Network records the stop freed while they waited for their partner (a log line)."""
    return sum(int(n) for n in re.findall(
        r"(\d+) network records still waiting for their pair at stop", log_text))


def ledgers(stats, kv, built_only=0, net_cut=0):
    """Rows (name, in, out, drops, note, ok) balancing each module's records.

    kv is kivhost's per-type document count: a rename is one record and two documents.
    built_only is the number of file records built but of a kind never uploaded (access and
    attribute changes): no counter has them, only a sensor log line each. net_cut is the
    number of network records the stop freed unpaired (a log line, no counter).
    """
    rows = []
    # Process creations, shown but not judged: a creation can also be uploaded for another
    # sensor's query (more documents), and a process that executes again (env, sh -c exec)
    # is reported once, its later exec records in neither count (fewer).
    ex_in = g(stats, "TASK_EXEC_EVENT")
    ex_out = g(stats, "TASK_CREATE_UPLOAD_SUC_CNT", "TASK_CREATE_UPLOAD_FAIL_CNT")
    ex_drop = g(stats, "TASK_FILTER_BLACK_CNT", "TASK_FILTER_WHITE_CNT", "TASK_FILTER_CMDLINE_CNT",
                "TASK_FILTER_REDO_CNT", "TASK_FILTER_UPLOAD_LIMIT_SEC_CNT",
                "TASK_FILTER_UPLOAD_LIMIT_HOUR_CNT")
    rows.append(("process exec", ex_in, ex_out, ex_drop,
                 f"{ex_in - ex_out - ex_drop:+d} re-executions less query uploads (not judged)",
                 True))
    # File records: the type filter's refusals are close-writes that did not match.
    fi_in = g(stats, "FILE_EVENT_CNT")
    renames = kv.get("FILE_MOVE", 0) // 2
    fi_out = g(stats, "FILE_UPLOAD_EVENT_SUC", "FILE_UPLOAD_EVENT_FAIL") - renames
    fi_drop = (g(stats, "FILE_CLOSEWRITE_EVENT_CNT") - g(stats, "FILE_CLOSEWRITE_EVENT_MATCH") +
               g(stats, "FILE_EVENT_LIMIT_DAY", "FILE_EVENT_LIMIT_HOUR", "FILE_EVENT_LIMIT_TEN_MINU",
                 "FILE_QUERY_PID_FAIL", "FILE_POP_TASK_INFO_FAIL"))
    rows.append(("file", fi_in, fi_out, fi_drop + built_only,
                 f"{renames} renames (2 documents each), {built_only} access/attribute records "
                 "not uploaded (log lines only)", fi_in == fi_out + fi_drop + built_only))
    # Network records: a connect and its establishment, a query and its answer, are one
    # document; the second of each pair is counted as paired.
    ne_in = g(stats, "NET_TOTAL_CAP")
    ne_out = g(stats, "NET_TOTAL_UPLOAD", "NET_UPLOAD_ERROR")
    paired = g(stats, "NET_ESTABLISH_CAP", "NET_DNSA_CAP")
    ne_drop = g(stats, "NET_UPLOAD_MERGE", "NET_DNSQ_UPLOAD_MERGE", "NET_UPLOAD_OVERLIMIT",
                "NET_SCAN_SPEED_LIMIT", "NET_PROC_INFO_LOST", "NET_CONNECTED_HASH_FULL",
                "NET_TCP_CONNECT_HASH_FULL", "NET_DNSQ_HASH_FULL", "NET_DNS_PROC_LIMIT")
    # An answer that does not parse is still counted as paired: its query goes out alone.
    diff = ne_in - ne_out - paired - ne_drop - net_cut
    rows.append(("network", ne_in, ne_out, ne_drop + net_cut,
                 f"{paired} paired, {net_cut} waiting at stop, {diff:+d} unaccounted", diff == 0))
    return rows


def uploads_vs_host(stats, kv):
    """Rows (name, library, kivhost, ok): the library's upload counters against kivhost's."""
    pairs = [
        ("PROC_EXEC", ["TASK_CREATE_UPLOAD_SUC_CNT"], ["PROC_EXEC"]),
        ("PROC_EXIT", ["TASK_EXIT_UPLOAD_SUC_CNT"], ["PROC_EXIT"]),
        ("FILE_*", ["FILE_UPLOAD_EVENT_SUC"], ["FILE_CRATE", "FILE_DELETE", "FILE_MOVE", "FILE_MOD"]),
        ("NET_*/DNS", ["NET_TOTAL_UPLOAD"], ["NET_CONNECT", "DNS_QUERY", "NET_SCAN", "NET_LISTENING"]),
        ("upload failures", ["TASK_CREATE_UPLOAD_FAIL_CNT", "TASK_EXIT_UPLOAD_FAIL_CNT",
                             "FILE_UPLOAD_EVENT_FAIL", "NET_UPLOAD_ERROR"], []),
    ]
    rows = []
    for name, lib, host in pairs:
        a, b = g(stats, *lib), sum(kv.get(t, 0) for t in host)
        rows.append((name, a, b, a == b))
    return rows


def storm_rows(done, seen, storm_procs, exits, stats):
    """Rows (what, done, documents, duplicates, missing, counted drops, ok).

    Only drops that can hit a storm action count: its processes, file names and DNS names
    are all distinct, so the repeat filters and merges never apply to them.
    """
    exec_drops = g(stats, "TASK_FILTER_UPLOAD_LIMIT_SEC_CNT", "TASK_FILTER_UPLOAD_LIMIT_HOUR_CNT",
                   "TASK_FILTER_BLACK_CNT", "TASK_FILTER_WHITE_CNT", "TASK_FILTER_CMDLINE_CNT")
    file_drops = g(stats, "FILE_EVENT_LIMIT_DAY", "FILE_EVENT_LIMIT_HOUR", "FILE_QUERY_PID_FAIL",
                   "FILE_POP_TASK_INFO_FAIL")
    net_drops = g(stats, "NET_UPLOAD_OVERLIMIT", "NET_PROC_INFO_LOST", "NET_TCP_CONNECT_HASH_FULL",
                  "NET_CONNECTED_HASH_FULL")
    dns_drops = g(stats, "NET_DNSQ_HASH_FULL", "NET_PROC_INFO_LOST", "NET_DNS_PROC_LIMIT")
    specs = [
        # what, storm counter, (event, kind), documents per action, counted drops
        ("processes", done.get("proc", 0), ("PROCESS_CREATION", "p"), 1, exec_drops),
        ("connecting processes", done.get("tcp_proc", 0), ("PROCESS_CREATION", "c"), 1, exec_drops),
        ("their connections", done.get("tcp_proc", 0), ("NETWORK_CONNECTION", "c"), 1, net_drops),
        # A file whose content passes the type filter has a second, typed creation document.
        ("files created", done.get("file_create", 0), ("FILE_CREATION", "f"), 2, file_drops),
        ("files renamed", done.get("file_rename", 0), ("FILE_RENAMING", "f"), 2, file_drops),
        ("files deleted", done.get("file_delete", 0), ("FILE_DELETION", "f"), 1, file_drops),
        ("DNS lookups", done.get("dns", 0), ("DNS_QUERY", "q"), 1, dns_drops),
        ("log lines", done.get("log_line", 0), ("APP_LOG", "l"), 1, 0),
    ]
    rows = []
    for what, n, key, per, drops in specs:
        ids = seen.get(key, {})
        dup = sum(1 for c in ids.values() if c > per)
        missing = max(0, n - len(ids))
        extra = max(0, len(ids) - n)  # ids the storm never made
        ok = dup == 0 and extra == 0 and missing <= drops
        rows.append((what, n, len(ids), dup, missing, drops, ok))
    # Every storm process ended before the stop: each creation has exactly one exit.
    got = [exits.get(k, 0) for k in storm_procs]
    dup = sum(1 for c in got if c > 1)
    missing = sum(1 for c in got if c == 0)
    drops = g(stats, "EXIT_EVENT_DROP_CNT", "TASK_EXIT_UPLOAD_FAIL_CNT")
    rows.append(("their exits", len(storm_procs), sum(1 for c in got if c), dup, missing, drops,
                 dup == 0 and missing <= drops))
    return rows


def sanitizer_reports(asan_dir, err_text):
    found = []
    for p in sorted(glob.glob(os.path.join(asan_dir, "*"))):
        if os.path.getsize(p) > 0:
            with open(p, errors="replace") as f:
                found.append((p, f.read(2000)))
    for m in re.finditer(r"(ERROR: (Address|Leak)Sanitizer|runtime error:).*", err_text):
        found.append(("kivhost.err", m.group(0)))
    return found


def table(title, header, rows):
    out = [title]
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)] if rows else []
    fmt = "  " + "  ".join(f"{{:<{w}}}" if i == 0 else f"{{:>{w}}}" for i, w in enumerate(widths))
    out.append(fmt.format(*header))
    for r in rows:
        out.append(fmt.format(*[str(x) for x in r]))
    return "\n".join(out)


def missing_processes(done, seen, pids, by_pid, limit=10):
    """Storm processes without a creation document: id, pid, and what documents name the pid."""
    out = []
    for kind, key in (("p", "proc"), ("c", "tcp_proc")):
        got = seen.get(("PROCESS_CREATION", kind), {})
        for i in range(done.get(key, 0)):
            name = f"{kind}{i}"
            if str(i) not in got and len(out) < limit:
                pid = pids.get(name)
                other = sorted(by_pid.get(pid, ())) if pid is not None else []
                out.append((name, pid if pid is not None else "?", ",".join(other) or "none"))
    return out


def analyse(out, rss_rows, final_status, stop_s, status, stop_bound_s, err_path, docs_path,
            log_dir, asan_dir, tag, done, minutes, max_growth, pids=None):
    checks = []  # (name, ok, detail)
    lines = []

    # Memory: judged once the counter dumps are read, shown first.
    pts = [(r[0], r[1]) for r in rss_rows]
    hwm = max([r[2] for r in rss_rows] + [final_status.get("VmHWM", 0)] or [0])
    start_rss = pts[0][1] if pts else 0
    end_rss = pts[-1][1] if pts else 0

    kind_rows = []
    for i, kind in enumerate(RSS_KINDS):
        series = [(r[0], r[4 + i]) for r in rss_rows if len(r) > 4 + i]
        if series:
            sl = slope_per_hour(after_warm_up(series))
            kind_rows.append((kind[:-3], f"{series[0][1] / 1024:.1f}", f"{series[-1][1] / 1024:.1f}",
                              "-" if sl is None else f"{sl / 1024:+.2f}"))
    if kind_rows:
        lines.append(table("Resident memory by kind of mapping (MB; growth over the last third)",
                           ("kind", "start", "end", "MB/h"), kind_rows))

    # Sanitizers.
    err_text = open(err_path, errors="replace").read() if os.path.exists(err_path) else ""
    reports = sanitizer_reports(asan_dir, err_text)
    checks.append(("no sanitizer report", not reports,
                   "none" if not reports else f"{len(reports)}: " + reports[0][0]))

    # Stop.
    stop_ok = status == 0 and stop_s is not None and stop_s <= stop_bound_s
    checks.append(("clean stop", stop_ok,
                   f"status {status}, " + (f"{stop_s:.1f} s after SIGTERM" if stop_s is not None
                                           else "did not stop") + f" (bound {stop_bound_s} s)"))

    # Counters.
    summary = parse_kivhost_summary(err_text)
    log_text = ""
    for name in sorted(glob.glob(os.path.join(log_dir, "sensor.log*"))):
        if name.endswith(".log"):
            log_text += open(name, errors="replace").read()
    dumps = parse_stat_dumps(log_text)
    mem_ok, mem_detail = memory_verdict(rss_rows, dumps, max_growth)
    checks.insert(0, ("memory flat after warm-up", mem_ok,
                      f"VmHWM {hwm / 1024:.1f} MB, VmRSS {start_rss / 1024:.1f} -> "
                      f"{end_rss / 1024:.1f} MB, " + mem_detail))
    stats = dumps[-1] if dumps else {}
    types, bad, seen, storm_procs, exits, by_pid = read_documents(docs_path, tag) if os.path.exists(
        docs_path) else (collections.Counter(), 0, {}, set(), collections.Counter(), {})
    n_docs = sum(types.values()) + bad
    if summary is None or not stats:
        checks.append(("counters consistent", False,
                       "no kivhost summary" if summary is None else "no statistics in the sensor log"))
        kv = {}
    else:
        total, nbytes, refused, kv = summary
        host_rows = uploads_vs_host(stats, kv)
        led = ledgers(stats, kv, log_text.count("unsupport upload type"), cut_at_stop(log_text))
        srows = storm_rows(done, seen, storm_procs, exits, stats)
        same_types = all(types.get(t, 0) == n for t, n in kv.items()) and sum(types.values()) == total
        left = {k: v for k, v in stats.items() if v and k.startswith("MALLOC_")
                and k not in LIVE_AT_LAST_DUMP}
        ok = (refused == 0 and bad == 0 and n_docs == total and same_types and
              all(r[-1] for r in host_rows) and all(r[-1] for r in led) and
              all(r[-1] for r in srows) and not left)
        bad_bits = []
        if refused or bad or n_docs != total or not same_types:
            bad_bits.append(f"kivhost {total} documents, {refused} refused; file {n_docs} lines, "
                            f"{bad} not JSON")
        bad_bits += [f"{r[0]} {r[1]}!={r[2]}" for r in host_rows if not r[-1]]
        bad_bits += [f"{r[0]}: {r[4]}" for r in led if not r[-1]]
        bad_bits += [f"{r[0]}: {r[4]} missing, {r[3]} duplicated" for r in srows if not r[-1]]
        if stats.get("MALLOC_FRAMEWORK_FOR_CACHE"):
            lines.append(f"Records parked for a retry when the counters were last written: "
                         f"{stats['MALLOC_FRAMEWORK_FOR_CACHE']} bytes (freed later in the stop)")
        if left:
            bad_bits.append("memory still accounted at stop: " + ", ".join(f"{k}={v}" for k, v in left.items()))
        checks.append(("counters consistent", ok,
                       f"{total} documents, {nbytes / 1e6:.1f} MB" if ok else "; ".join(bad_bits)))
        recs = g(stats, "RCV_HIGH", "RCV_MID", "RCV_LOW", "RCV_BLOCK")
        if minutes:
            lines.append(f"Records read from the rings: {recs} ({recs / (minutes * 60):.0f} a second "
                         f"over the storm)")
        lines.append(table("Documents per type (kivhost)", ("type", "documents"),
                           sorted(kv.items(), key=lambda kvp: -kvp[1])))
        lines.append(table("Library upload counters against kivhost",
                           ("uploads", "library", "kivhost", "ok"),
                           [r[:-1] + ("yes" if r[-1] else "NO",) for r in host_rows]))
        lines.append(table("Records in = documents out + counted drops",
                           ("module", "in", "out", "drops", "note", "ok"),
                           [r[:-1] + ("yes" if r[-1] else "NO",) for r in led]))
        lines.append(table("Storm actions against documents",
                           ("storm", "done", "documents", "dup", "missing", "counted drops", "ok"),
                           [r[:-1] + ("yes" if r[-1] else "NO",) for r in srows]))
        miss = missing_processes(done, seen, pids or {}, by_pid)
        if miss:
            lines.append(table("Storm processes without a creation document (first 10)",
                               ("storm id", "pid", "documents naming the pid"), miss))
        drops = {k: v for k, v in stats.items() if v and not k.startswith("MALLOC_") and any(
            w in k for w in ("DROP", "FAIL", "LIMIT", "FULL", "LOST", "MERGE", "OVER", "TIMEOUT",
                             "FILTER"))}
        lines.append(table("Counted drops and failures (non-zero)", ("counter", "value"),
                           sorted(drops.items())))
    # Library memory by category, from the periodic dumps (bytes; the last dump is at stop).
    mem_series = []
    for i, d in enumerate(dumps[:-1]):
        mem_series.append(sum(v for k, v in d.items() if k.startswith("MALLOC_")
                              and k != "MALLOC_IN_USE_TIMES"))
    if dumps[:-1]:
        top = sorted(((k, v) for k, v in dumps[-2].items() if k.startswith("MALLOC_") and v),
                     key=lambda kvp: -kvp[1])[:8]
        lines.append(table("Library memory by category, last dump before stop (bytes)",
                           ("category", "bytes"), top))
        lines.append("  accounted total per dump (KB): " +
                     " ".join(f"{v / 1024:.0f}" for v in mem_series))

    lines.append(table("Storm", ("action", "count"), sorted(done.items())))
    lines.append(table("Checks", ("check", "result", "detail"),
                       [(c[0], "pass" if c[1] else "FAIL", c[2]) for c in checks]))
    text = f"Soak run of {minutes:g} min, results in {out}\n\n" + "\n\n".join(lines) + "\n"
    with open(os.path.join(out, "summary.txt"), "w") as f:
        f.write(text)
    print(text)
    return all(c[1] for c in checks)


def analyse_dir(out, max_growth=1.0):
    """Judges a results directory as the driver left it (storm.json, rss.csv, install/)."""
    with open(os.path.join(out, "storm.json")) as f:
        st = json.load(f)
    rows = []
    with open(os.path.join(out, "rss.csv")) as f:
        for rec in csv.DictReader(f):
            rows.append((float(rec["seconds"]), int(rec["vmrss_kb"]), int(rec["vmhwm_kb"]),
                         int(rec["threads"])) + tuple(int(rec[k]) for k in RSS_KINDS if k in rec))
    root = os.path.join(out, "install")
    return analyse(out=out, rss_rows=rows, final_status=st.get("final") or {},
                   stop_s=st.get("stop_s"), status=st.get("status"),
                   stop_bound_s=st.get("stop_bound_s", 60),
                   err_path=os.path.join(out, "kivhost.err"),
                   docs_path=os.path.join(out, "documents.ndjson"),
                   log_dir=os.path.join(root, "logs"), asan_dir=os.path.join(root, "asan"),
                   tag=st["tag"], done=st.get("done", {}),
                   minutes=st.get("minutes", 0), max_growth=max_growth, pids=st.get("pids", {}))
