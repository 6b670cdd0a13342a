#!/usr/bin/env python3
"""Turns the raw numbers that bench/run collected into one line per figure:
ratio (or value) against its target, then median [min-max] of the runs."""
import statistics
import sys
from pathlib import Path

out = Path(sys.argv[1])
markdown = "--markdown" in sys.argv


def lines(name):
    path = out / name
    return [l.split() for l in path.read_bytes().decode().replace("\r", "").splitlines() if l.strip()] if path.exists() else []


def column(rows, tag, index=1):
    """The numbers in column index of the rows tagged tag."""
    return [float(r[index]) for r in rows if r[0] == tag]


def spread(values, unit="", scale=1.0, digits=1):
    v = [x * scale for x in values]
    return f"{statistics.median(v):.{digits}f}{unit} [{min(v):.{digits}f}-{max(v):.{digits}f}, n={len(v)}]"


def verdict(ok):
    return "meets" if ok else "MISSES"


rows = []  # (figure, target, result, status)


def emit(figure, target, result, ok, detail):
    print(f"{figure}: {result}  (target {target}: {verdict(ok)})  {detail}")
    rows.append((figure, target, result, verdict(ok), detail))


# 1 and 6 (memory): interleaved starts.
start = lines("startup.txt")
if start:
    v = [r for r in start if r[0] == "ventrix"]
    m = [r for r in start if r[0] == "minimal"]
    vw = [float(r[1]) for r in v]
    mw = [float(r[1]) for r in m]
    d = [r for r in start if r[0] == "dlls"]
    dw = [float(r[1]) for r in d]
    ratio = statistics.median(vw) / statistics.median(mw)
    emit("1 start-up", "ratio <= 1.15", f"ratio {ratio:.2f}", ratio <= 1.15,
         f"launch to window: ventrix.exe {spread(vw, ' ms', 1e-3)} vs minimal dialog {spread(mw, ' ms', 1e-3)}; "
         f"minimal dialog with ventrix.exe's manifest and DLLs {spread(dw, ' ms', 1e-3)} "
         f"(ventrix.exe against it: {statistics.median(vw) / statistics.median(dw):.2f})")

# 2: idle CPU.
def cpu(r):
    t0, ns0, sw0, th0, t1, ns1, sw1, th1, secs, hz = map(float, r[1:])
    return (t1 - t0) * 1000 / hz, (ns1 - ns0) / 1e6, sw1 - sw0, int(th1), secs


idle = {r[0]: r for r in lines("idle.txt")}
if idle:
    vt, vns, vsw, vth, secs = cpu(idle["ventrix"])
    mt, mns, msw, mth, _ = cpu(idle["minimal"])
    emit("2 idle", "<= 5 ms CPU in 30 s", f"{max(vt, vns):.1f} ms", max(vt, vns) <= 5,
         f"ventrix.exe over {secs:.0f} s: utime+stime {vt:.0f} ms (10 ms ticks), scheduler run time "
         f"{vns:.2f} ms, {vsw:.0f} wake-ups, {vth} threads; minimal dialog: {mt:.0f} ms, {mns:.2f} ms, "
         f"{msw:.0f} wake-ups")

# 3: policy file against bare DPAPI.
policy = lines("policy.txt")
if policy:
    sizes = sorted({int(r[1]) for r in policy})
    med, bare_med = {}, {}
    for n in sizes:
        f = [float(r[2]) for r in policy if r[0] == "file" and int(r[1]) == n]
        b = [float(r[2]) for r in policy if r[0] == "bare" and int(r[1]) == n]
        med[n] = statistics.median(f)
        bare_med[n] = statistics.median(b)
        ratio = statistics.median(f) / statistics.median(b)
        emit(f"3 policy file N={n}", "ratio <= 1.1", f"ratio {ratio:.2f}", ratio <= 1.1,
             f"save+load {spread(f, ' ms', 1e-3)} vs {n} bare protect+unprotect {spread(b, ' ms', 1e-3)}")
    if 1000 in med and 10000 in med:
        growth = med[10000] / med[1000]
        emit("3 policy file growth", "10000/1000 <= 11", f"{growth:.1f}x", growth <= 11,
             f"save+load median {med[1000] / 1e3:.1f} ms at 1,000 -> {med[10000] / 1e3:.1f} ms at 10,000; "
             f"the bare DPAPI calls alone grow {bare_med[10000] / bare_med[1000]:.1f}x")

# 4: table work.
tables = lines("tables.txt")
if tables:
    t1 = [float(r[2]) for r in tables if r[1] == "1000"]
    t10 = [float(r[2]) for r in tables if r[1] == "10000"]
    growth = statistics.median(t10) / statistics.median(t1)
    emit("4 table work", "10,000 in < 0.5 s", f"{statistics.median(t10) / 1e6:.3f} s",
         statistics.median(t10) < 5e5,
         f"10,000 addMedia + walk {spread(t10, ' ms', 1e-3)}; 1,000 {spread(t1, ' ms', 1e-3, 2)}; "
         f"growth 1,000->10,000 {growth:.0f}x (quadratic by design: 100x)")

# 5: arrival round trip.
arrival = lines("arrival.txt")
if arrival:
    a, n = column(arrival, "arrival"), column(arrival, "null")
    ma, mn = statistics.median(a), statistics.median(n)
    emit("5 arrival", "<= 2 ms per arrival", f"{ma / 1e3:.3f} ms", ma <= 2000,
         f"SendMessageA volume arrival {spread(a, ' us', 1, 0)} vs WM_NULL {spread(n, ' us', 1, 0)} "
         f"per call; ratio {ma / mn:.1f}")
    events = column(lines("events.txt"), "event")
    if events:
        me = statistics.median(events)
        emit("5 arrival with its event", "<= 2 ms per arrival", f"{(ma + me) / 1e3:.3f} ms", ma + me <= 2000,
             f"arrival {ma:.0f} us + the audit event an ejection writes (ReportEventA, 4 strings) "
             f"{spread(events, ' us', 1, 1)} per event")

# 6: footprint.
size = lines("size.txt")
if size:
    exe = int(next(r[1] for r in size if r[0] == "size"))
    dlls = [r[1] for r in size if r[0] == "dll"]
    system = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "SHELL32.DLL", "COMCTL32.DLL", "CRYPT32.DLL",
              "MSVCRT.DLL", "ADVAPI32.DLL"}
    only_system = all(d.upper() in system for d in dlls)
    emit("6 size", "<= 256 KiB, system DLLs only", f"{exe / 1024:.1f} KiB", exe <= 256 * 1024 and only_system,
         f"{exe} bytes stripped with resources; imports: {', '.join(dlls)}")
if start:
    vr = [float(r[3]) for r in v]
    mr = [float(r[3]) for r in m]
    dr = [float(r[3]) for r in d]
    ratio = statistics.median(vr) / statistics.median(mr)
    emit("6 memory", "ratio <= 1.2", f"ratio {ratio:.2f}", ratio <= 1.2,
         f"VmRSS after start: ventrix.exe {spread(vr, ' MiB', 1 / 1024)} vs minimal dialog "
         f"{spread(mr, ' MiB', 1 / 1024)}; minimal dialog with ventrix.exe's manifest and DLLs "
         f"{spread(dr, ' MiB', 1 / 1024)} (ventrix.exe against it: "
         f"{statistics.median(vr) / statistics.median(dr):.2f})")

# 7: one password check against an administrator's verifier.
verifier = lines("verifier.txt")
if verifier:
    vs, vp = column(verifier, "system"), column(verifier, "portable")
    emit("7 verifier check", "<= 1 s per check", f"{statistics.median(vs) / 1e6:.2f} s",
         statistics.median(vs) <= 1e6,
         f"PBKDF2-HMAC-SHA256, 600,000 iterations: CNG {spread(vs, ' ms', 1e-3, 0)}; "
         f"portable fallback {spread(vp, ' ms', 1e-3, 0)}")

# 8: soak.
soak = {r[0]: r[1:] for r in lines("soak.txt")}
if "before" in soak and "after" in soak:
    names = ("handles", "GDI objects", "USER objects", "private bytes")
    before, after = [int(v) for v in soak["before"]], [int(v) for v in soak["after"]]
    growth = [a - b for a, b in zip(after, before)]
    unchanged = soak.get("policy", ["?"])[0] == "unchanged"
    counted = [f"{n} {b} -> {a} ({g:+d})" for n, b, a, g in zip(names, before, after, growth) if a or b]
    missing = [n for n, b, a in zip(names, before, after) if not (a or b)]
    if missing:
        counted.append(", ".join(missing) + ": not counted by this Wine (0 before and after)")
    linux = [(int(b), int(a)) for b, a in zip(soak.get("linux_before", []), soak.get("linux_after", []))]
    for name, (b, a) in zip(("Wine process private resident KiB (RssAnon)", "open descriptors"), linux):
        counted.append(f"{name} {b} -> {a} ({a - b:+d})")
        growth.append(a - b)
    grown = [g for g in growth if g > 0]
    emit("8 soak", "growth 0, policy file unchanged",
         ("no growth" if not grown else "growth " + ", ".join(f"{g:+d}" for g in grown))
         + ("; file unchanged" if unchanged else "; FILE CHANGED"),
         not grown and unchanged,
         "10,000 messages without a box (arrivals in an unlocked drive with an unlisted medium, removals, "
         "other device types, tray mouse messages, unknown commands), then 200 arrivals in a locked drive "
         f"with their {soak.get('boxes', ['?'])[0]} boxes answered from outside: " + "; ".join(counted))

# 9: the service's idle CPU, beside ventrix.exe's of figure 2.
service_idle = {r[0]: r for r in lines("service-idle.txt")}
if "service" in service_idle:
    st, sns, ssw, sth, secs = cpu(service_idle["service"])
    detail = (f"ventrix-service.exe over {secs:.0f} s, no tray, looking at the drive letters once a second: "
              f"utime+stime {st:.0f} ms (10 ms ticks), scheduler run time {sns:.2f} ms, {ssw:.0f} wake-ups, "
              f"{sth} threads")
    if idle:
        detail += f"; ventrix.exe in figure 2 of this run: {vt:.0f} ms, {vns:.2f} ms, {vsw:.0f} wake-ups"
    emit("9 service idle", "<= 5 ms CPU in 30 s", f"{max(st, sns):.1f} ms", max(st, sns) <= 5, detail)

# 10: an arrival broadcast to every desktop, handled by the service or by ventrix.exe.
service_arrival = lines("service-arrival.txt")
if service_arrival:
    def pairs(side, kind):
        return [float(r[2]) for r in service_arrival if r[0] == side and r[1] == kind]
    sp, pp, sn, pn = pairs("service", "pair"), pairs("peruser", "pair"), pairs("service", "null"), pairs("peruser", "null")
    more = statistics.median(sp) - statistics.median(pp)
    emit("10 arrival through the service", "<= 2 ms more per arrival than ventrix.exe", f"{more / 1e3:+.3f} ms",
         more <= 2000,
         f"BroadcastSystemMessageA to every desktop, an arrival and a removal of M: per pair: the service with no "
         f"tray {spread(sp, ' us', 1, 0)} vs ventrix.exe alone {spread(pp, ' us', 1, 0)} per pair; the same "
         f"two broadcasts of a change nobody acts on (DBT_DEVNODES_CHANGED): {spread(sn, ' us', 1, 0)} vs "
         f"{spread(pn, ' us', 1, 0)}")

# 11: ventrix.exe as the service's client against ventrix.exe alone.
client = lines("client.txt")
if client:
    cw, pw = column(client, "client"), column(client, "peruser")
    ci, pi = column(client, "client", 2), column(client, "peruser", 2)
    ratio = statistics.median(cw) / statistics.median(pw)
    emit("11 client start-up", "ratio <= 1.15", f"ratio {ratio:.2f}", ratio <= 1.15,
         f"launch to window: ventrix.exe as the service's client {spread(cw, ' ms', 1e-3)} vs ventrix.exe with no "
         f"service {spread(pw, ' ms', 1e-3)}; to waiting for input, its tray icon shown: {spread(ci, ' ms', 1e-3)} vs "
         f"{spread(pi, ' ms', 1e-3)} (ratio {statistics.median(ci) / statistics.median(pi):.2f})")

machine = dict((l.split(" ", 1) + [""])[:2] for l in (out / "machine.txt").read_text().splitlines()) \
    if (out / "machine.txt").exists() else {}
if machine:
    print(f"build measured: {machine.get('build')}")
    print(f"machine: {machine.get('nproc')} cores, {machine.get('cpu')}, {machine.get('wine')}, "
          f"load average at the end {machine.get('load')}")

if markdown:
    print()
    print("| Figure | Target | Result | | Raw (median [min-max, runs]) |")
    print("|---|---|---|---|---|")
    for figure, target, result, status, detail in rows:
        print(f"| {figure} | {target} | {result} | {status} | {detail} |")
