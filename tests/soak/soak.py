#!/usr/bin/env python3
"""Soak run: kivhost (ASan build) in userspace mode under a mixed storm for N minutes.

Everything the storm touches is on this machine: a loopback TCP listener, a dnsmasq on a
loopback address that answers the storm's names itself and forwards nothing, and the
sensor's own DNS probe pointed at that dnsmasq through QXKIV_RESOLV_CONF.

Checks at the end (exit status 1 when one fails):
  memory     VmRSS flat after warm-up (least-squares slope over the last third)
  sanitizer  no AddressSanitizer/UBSan/LeakSanitizer report file
  counters   the library's statistics balance: records in = documents out + counted drops,
             its upload counters equal what kivhost received, and every storm action is
             either a document or covered by a counted drop
  stop       SIGTERM stops kivhost with status 0 within the bound
"""
import argparse
import csv
import json
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import soak_report as report  # noqa: E402

RSS_PERIOD_S = 10
STATS_PERIOD_S = 120  # touching sensor.conf makes the sensor dump its counters
DRAIN_S = 20  # pending connects (7 s) and exit documents (10 s) come out
STOP_BOUND_S = 60
TCP_PORTS = 4


def log(msg):
    print(f"soak: {msg}", file=sys.stderr, flush=True)


# ---- the private installation ------------------------------------------------------------


def set_key(path, section, key, value):
    """Sets key = value in [section] of an INI file, replacing an existing line or adding one."""
    with open(path) as f:
        lines = f.read().split("\n")
    cur, start, done = None, None, False
    for i, line in enumerate(lines):
        s = line.strip()
        if s.startswith("[") and s.endswith("]"):
            cur = s[1:-1]
            if cur == section:
                start = i
            continue
        if cur == section and re.match(rf"{re.escape(key)}\s*=", s):
            lines[i] = f"{key} = {value}"
            done = True
            break
    if not done:
        if start is None:
            lines += [f"[{section}]", f"{key} = {value}"]
        else:
            lines.insert(start + 1, f"{key} = {value}")
    with open(path, "w") as f:
        f.write("\n".join(lines))


def get_key(path, section, key):
    cur = None
    with open(path) as f:
        for line in f:
            s = line.strip()
            if s.startswith("[") and s.endswith("]"):
                cur = s[1:-1]
            elif cur == section and re.match(rf"{re.escape(key)}\s*=", s):
                return s.split("=", 1)[1].strip()
    return None


def stage_install(stage, root, files_dir, app_log, resolv, dns_addr, host_paths):
    for d in ("bin", "lib", "config"):
        shutil.copytree(os.path.join(stage, d), os.path.join(root, d), symlinks=True)
    for d in ("logs", "var/data", "asan"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    conf = os.path.join(root, "config")
    set_key(f"{conf}/sensor.conf", "base", "kernel_mode", "userspace")
    set_key(f"{conf}/sensor.conf", "base", "log_path", os.path.join(root, "logs"))
    # Every storm file event goes the whole way to a document rather than into the limits.
    set_key(f"{conf}/file.conf", "base", "upload_event_cnt", "0")
    set_key(f"{conf}/file.conf", "base", "upload_event_hour_cnt", "0")
    if host_paths:
        n = int(get_key(f"{conf}/file.conf", "path_filter", "cnt") or 0)
        set_key(f"{conf}/file.conf", "path_filter", f"path_{n}", files_dir)
        set_key(f"{conf}/file.conf", "path_filter", "cnt", str(n + 1))
    else:
        # Only the storm's directory: what others write to /tmp on a shared machine would
        # make the load, and so the figures, depend on them.
        set_key(f"{conf}/file.conf", "path_filter", "path_0", files_dir)
        set_key(f"{conf}/file.conf", "path_filter", "cnt", "1")
    lc = f"{conf}/log_collector.conf"
    set_key(lc, "file_path", "appname0", "kivsoak")
    set_key(lc, "file_path", "path0", app_log)
    set_key(lc, "file_path", "cnt", "1")
    with open(resolv, "w") as f:
        f.write(f"nameserver {dns_addr}\n")


# ---- loopback DNS ------------------------------------------------------------------------


def port_free(addr, port):
    for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
        s = socket.socket(socket.AF_INET, kind)
        try:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((addr, port))
        except OSError:
            return False
        finally:
            s.close()
    return True


def pick_dns_addr():
    # The probe asks port 53 of the address resolv.conf names; any 127/8 address is lo.
    for addr in ("127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"):
        if port_free(addr, 53):
            return addr
    return None


def dns_query(name, qid):
    q = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0)
    for label in name.split("."):
        q += bytes([len(label)]) + label.encode()
    return q + b"\0" + struct.pack(">HH", 1, 1)


def start_dnsmasq(addr, zone, logfile):
    cmd = [
        shutil.which("dnsmasq") or "/usr/sbin/dnsmasq",
        "--keep-in-foreground",
        "--conf-file=/dev/null",
        "--no-resolv",  # no upstream: nothing is forwarded anywhere
        "--no-hosts",
        "--no-poll",
        "--bind-interfaces",
        f"--listen-address={addr}",
        "--port=53",
        f"--address=/{zone}/127.0.0.1",
        "--pid-file=",
        f"--log-facility={logfile}",
    ]
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    for _ in range(50):
        if p.poll() is not None:
            raise RuntimeError(f"dnsmasq exited with {p.returncode}; see {logfile}")
        try:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.settimeout(0.2)
            s.sendto(dns_query(f"ready.{zone}", 1), (addr, 53))
            s.recv(512)
            s.close()
            return p
        except OSError:
            time.sleep(0.1)
    p.kill()
    raise RuntimeError("dnsmasq did not answer")


# ---- the storm ---------------------------------------------------------------------------


class Storm:
    """Threads doing one kind of activity each at a moderate rate; counts what they did."""

    def __init__(self, tag, files_dir, app_log, dns_addr, zone, rate):
        self.tag, self.files_dir, self.app_log = tag, files_dir, app_log
        self.dns_addr, self.zone, self.rate = dns_addr, zone, rate
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.done = {k: 0 for k in ("proc", "file_create", "file_rename", "file_delete",
                                    "tcp_proc", "tcp", "dns", "log_line", "errors")}
        self.listeners = []
        self.threads = []
        self.pids = {}

    def count(self, key, n=1):
        with self.lock:
            self.done[key] += n

    def pace(self, per_s):
        # Sleeps one period; a stop cuts it short.
        return not self.stop.wait(1.0 / (per_s * self.rate))

    def start(self):
        for _ in range(TCP_PORTS):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.1", 0))
            s.listen(128)
            s.settimeout(0.5)
            self.listeners.append(s)
        workers = [self.accept_loop(s) for s in self.listeners]
        workers += [self.procs, self.files, self.tcp, self.tcp_procs, self.dns, self.logs]
        for w in workers:
            t = threading.Thread(target=w, daemon=True)
            t.start()
            self.threads.append(t)

    def finish(self):
        self.stop.set()
        for t in self.threads:
            t.join(10)
        for s in self.listeners:
            s.close()

    def accept_loop(self, lsock):
        def run():
            while not self.stop.is_set():
                try:
                    c, _ = lsock.accept()
                    c.close()
                except OSError:
                    pass
        return run

    def run_quiet(self, argv, name):
        """Runs argv to its end; its pid is kept under name to look up missing documents."""
        try:
            p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            with self.lock:
                self.pids[name] = p.pid
            p.wait(10)
            return True
        except (OSError, subprocess.SubprocessError):
            self.count("errors")
            return False

    def procs(self):
        i = 0
        while self.pace(20):
            # Distinct command lines, so the repeat filter lets each through.
            if self.run_quiet(["/bin/true", f"{self.tag}-p{i}"], f"p{i}"):
                self.count("proc")
            i += 1

    def files(self):
        i = 0
        kinds = [(".txt", "plain text line {i}\n"), (".php", "<?php echo {i}; ?>\n"),
                 (".sh", "#!/bin/sh\necho {i}\n"), (".js", "var x{i} = function() {{}};\n")]

        def name(n):
            return os.path.join(self.files_dir, f"{self.tag}-f{n}{kinds[n % len(kinds)][0]}")

        while self.pace(3):
            try:
                with open(name(i), "w") as f:
                    f.write(kinds[i % len(kinds)][1].format(i=i) * 20)
                self.count("file_create")
                # Renamed a second later, once the sensor has read the content for its type.
                if i >= 3:
                    os.rename(name(i - 3), name(i - 3) + ".moved")
                    self.count("file_rename")
                # A few stay; the one renamed ten turns ago goes.
                if i >= 13:
                    os.unlink(name(i - 13) + ".moved")
                    self.count("file_delete")
            except OSError:
                self.count("errors")
            i += 1

    def tcp(self):
        i = 0
        while self.pace(20):
            port = self.listeners[i % len(self.listeners)].getsockname()[1]
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=2):
                    pass
                self.count("tcp")
            except OSError:
                self.count("errors")
            i += 1

    def tcp_procs(self):
        i = 0
        while self.pace(2):
            port = self.listeners[i % len(self.listeners)].getsockname()[1]
            if self.run_quiet(["/bin/bash", "-c", f"exec 3<>/dev/tcp/127.0.0.1/{port}",
                               f"{self.tag}-c{i}"], f"c{i}"):
                self.count("tcp_proc")
            i += 1

    def dns(self):
        i = 0
        while self.pace(10):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.settimeout(2)
            try:
                s.sendto(dns_query(f"{self.tag}-q{i}.{self.zone}", i & 0xFFFF), (self.dns_addr, 53))
                s.recv(512)
                self.count("dns")
            except OSError:
                self.count("errors")
            finally:
                s.close()
            i += 1

    def logs(self):
        i = 0
        with open(self.app_log, "a") as f:
            while self.pace(5):
                f.write(f"{time.strftime('%H:%M:%S')} soak app {self.tag}-l{i} "
                        f"{random.randrange(1 << 30)}\n")
                f.flush()
                self.count("log_line")
                i += 1


# ---- sampling ----------------------------------------------------------------------------


def proc_status(pid):
    out = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                k, _, v = line.partition(":")
                if k in ("VmRSS", "VmHWM", "Threads"):
                    out[k] = int(v.split()[0])
    except OSError:
        pass
    return out


def rss_by_kind(pid):
    """Resident KB per kind of mapping, to tell where growth sits: the ASan heap (its primary
    allocator's fixed range), other anonymous memory (ASan's own tables, thread stacks, large
    blocks), BPF maps, and files."""
    kinds = {"asan_heap_kb": 0, "anon_kb": 0, "bpf_kb": 0, "file_kb": 0}
    cur = None
    try:
        with open(f"/proc/{pid}/smaps") as f:
            for line in f:
                if "-" in line[:17] and line[0] in "0123456789abcdef":
                    parts = line.split()
                    start = int(parts[0].split("-")[0], 16)
                    name = parts[5] if len(parts) > 5 else ""
                    if 0x600000000000 <= start < 0x640000000000:
                        cur = "asan_heap_kb"
                    elif "bpf" in name:
                        cur = "bpf_kb"
                    elif name.startswith("/"):
                        cur = "file_kb"
                    else:
                        cur = "anon_kb"
                elif line.startswith("Rss:") and cur:
                    kinds[cur] += int(line.split()[1])
    except OSError:
        pass
    return kinds


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--stage", help="staged tree of the ASan build")
    ap.add_argument("--report", metavar="DIR", help="only judge the results of an earlier run")
    ap.add_argument("--minutes", type=float, default=30)
    ap.add_argument("--out", help="results directory (default: <stage>/../soak-<time>)")
    ap.add_argument("--rate", type=float, default=1.0, help="storm rate factor")
    ap.add_argument("--max-growth-mb-h", type=float, default=1.0)
    ap.add_argument("--host-paths", action="store_true",
                    help="watch the shipped directories too, not only the storm's")
    ap.add_argument("--keep", action="store_true", help="keep the installation and storm files")
    args = ap.parse_args()
    if args.report:
        return 0 if report.analyse_dir(os.path.abspath(args.report), args.max_growth_mb_h) else 1
    if not args.stage:
        ap.error("--stage or --report is needed")

    stage = os.path.abspath(args.stage)
    if not os.access(os.path.join(stage, "bin", "kivhost"), os.X_OK):
        sys.exit(f"soak: no kivhost in {stage}/bin (build the soak tree first)")
    if os.geteuid() != 0:
        log("not root: userspace mode will have no file or network activity")
    out = os.path.abspath(args.out or os.path.join(stage, "..", time.strftime("soak-%Y%m%d-%H%M%S")))
    os.makedirs(out, exist_ok=True)
    root = os.path.join(out, "install")
    # The storm's files sit in a watched directory; the rest stays out of the watched paths.
    files_dir = tempfile.mkdtemp(prefix="kivsoak.", dir="/tmp")
    app_log = os.path.join(out, "app.log")
    tag = "kivsoak" + "".join(random.choice("abcdefghjkmnpqrstuvwxyz") for _ in range(6))
    zone = "soak.test"

    resolv_addr = pick_dns_addr()
    if resolv_addr is None:
        sys.exit("soak: port 53 is taken on every loopback address tried")
    resolv = os.path.join(out, "resolv.conf")
    open(app_log, "a").close()
    stage_install(stage, root, files_dir, app_log, resolv, resolv_addr, args.host_paths)
    log(f"results in {out}; storm tag {tag}; dnsmasq on {resolv_addr}:53")

    dnsmasq = start_dnsmasq(resolv_addr, zone, os.path.join(out, "dnsmasq.log"))
    env = dict(os.environ)
    env["QXKIV_RESOLV_CONF"] = resolv
    asan_dir = os.path.join(root, "asan")
    # A small quarantine: freed blocks are recycled within the warm-up, so RSS can go flat.
    env["ASAN_OPTIONS"] = (f"log_path={asan_dir}/asan:detect_leaks=1:quarantine_size_mb=16:"
                           "abort_on_error=0:halt_on_error=1")
    env["UBSAN_OPTIONS"] = f"log_path={asan_dir}/ubsan:print_stacktrace=1"
    err_path = os.path.join(out, "kivhost.err")
    docs_path = os.path.join(out, "documents.ndjson")
    secs = args.minutes * 60
    kiv = None
    storm = None
    rss_rows = []
    stop_s, status, final = None, None, {}
    try:
        with open(err_path, "w") as err:
            kiv = subprocess.Popen([os.path.join(root, "bin", "kivhost"), "--seconds", "0",
                                    "--output", docs_path], stdin=subprocess.DEVNULL,
                                   stdout=err, stderr=subprocess.STDOUT, env=env)
        # Wait for delivery before the storm begins.
        for _ in range(600):
            if kiv.poll() is not None:
                break
            with open(err_path) as f:
                if "sensor started" in f.read():
                    break
            time.sleep(0.1)
        if kiv.poll() is not None:
            log(f"kivhost exited at start with {kiv.returncode}; see {err_path}")
            return 1
        storm = Storm(tag, files_dir, app_log, resolv_addr, zone, args.rate)
        t0 = time.monotonic()
        storm.start()
        next_stats = t0 + STATS_PERIOD_S
        with open(os.path.join(out, "rss.csv"), "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["seconds", "vmrss_kb", "vmhwm_kb", "threads", "asan_heap_kb", "anon_kb",
                        "bpf_kb", "file_kb"])
            while True:
                now = time.monotonic()
                st = proc_status(kiv.pid)
                if not st or kiv.poll() is not None:
                    log("kivhost ended during the storm")
                    break
                kinds = rss_by_kind(kiv.pid)
                row = (round(now - t0, 1), st.get("VmRSS", 0), st.get("VmHWM", 0),
                       st.get("Threads", 0), kinds["asan_heap_kb"], kinds["anon_kb"],
                       kinds["bpf_kb"], kinds["file_kb"])
                rss_rows.append(row)
                w.writerow(row)
                f.flush()
                if now >= next_stats:
                    os.utime(os.path.join(root, "config", "sensor.conf"))
                    next_stats += STATS_PERIOD_S
                if now - t0 >= secs:
                    break
                time.sleep(max(0.0, RSS_PERIOD_S - (time.monotonic() - now)))
        storm.finish()
        log(f"storm done {storm.done}; draining {DRAIN_S} s")
        time.sleep(DRAIN_S)
        final = proc_status(kiv.pid)
        if kiv.poll() is None:
            t1 = time.monotonic()
            kiv.send_signal(signal.SIGTERM)
            try:
                status = kiv.wait(STOP_BOUND_S)
                stop_s = time.monotonic() - t1
            except subprocess.TimeoutExpired:
                log(f"kivhost still running {STOP_BOUND_S} s after SIGTERM: killed")
                kiv.kill()
                kiv.wait()
        else:
            status = kiv.returncode
    finally:
        if storm is not None:
            storm.finish()
        if kiv is not None and kiv.poll() is None:
            kiv.kill()
            kiv.wait()
        dnsmasq.terminate()
        try:
            dnsmasq.wait(10)
        except subprocess.TimeoutExpired:
            dnsmasq.kill()

    with open(os.path.join(out, "storm.json"), "w") as f:
        json.dump({"tag": tag, "minutes": args.minutes, "done": storm.done if storm else {},
                   "pids": storm.pids if storm else {}, "stop_s": stop_s, "status": status,
                   "stop_bound_s": STOP_BOUND_S, "final": final}, f)
    res = report.analyse_dir(out, args.max_growth_mb_h)
    if not args.keep:
        shutil.rmtree(files_dir, ignore_errors=True)
    return 0 if res else 1


if __name__ == "__main__":
    sys.exit(main())
