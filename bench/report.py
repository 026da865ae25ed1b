"""Markdown tables from the benchmark results (see run.py)."""

from __future__ import annotations


def _f(value, digits: int = 0, suffix: str = "") -> str:
    if value is None:
        return "–"
    if isinstance(value, float):
        if digits == 0 and abs(value) < 10:
            digits = 2 if abs(value) < 1 else 1
        return f"{value:,.{digits}f}{suffix}"
    return f"{value:,}{suffix}"


def _x(value) -> str:
    return "–" if value is None else f"{value:.2f}×"


def _verdict(ok) -> str:
    return "–" if ok is None else ("met" if ok else "**not met**")


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(row) + " |" for row in rows]
    return out


def _failed(section: dict | None) -> str | None:
    if section is None:
        return "not run"
    if "error" in section:
        return "failed: " + section["error"]
    if "skipped" in section:
        return "skipped: " + section["skipped"]
    return None


def _heading(title: str, section: dict | None) -> tuple[list[str], bool]:
    """The section's heading, and whether it has figures (else why not)."""
    lines = [f"### {title}", ""]
    problem = _failed(section)
    return (lines + [problem, ""], False) if problem else (lines, True)


def callbacks(section: dict, title: str) -> list[str]:
    lines, ok = _heading(title, section)
    if not ok:
        return lines
    rows = []
    for r in section["rows"]:
        idle = r["main"] == "idle"
        rows.append([
            r["case"], r["main"], _f(r["binding_ns"]), _f(r["binding_per_s"]),
            _f(r["baseline_ns"]), _x(r["ratio"]), _verdict(r["ratio"] <= 1.5),
            _f(r.get("persistent_baseline_ns")) if idle else "–",
            _f(r.get("engine_only_ns")) if idle else "–",
            "–" if idle else f"{r['main_progress']:.0%} / {r['baseline_main_progress']:.0%}",
            str(r.get("dropped", 0)),
        ])
    lines += _table(["callback", "main thread", "binding ns/callback", "binding callbacks/s",
                     "native caller ns/callback", "ratio", "target ≤ 1.5×",
                     "native caller, thread state kept, ns", "engine alone ns",
                     "main thread's pace kept (binding / native)", "dropped"], rows)
    lines += ["", "Native caller: a C thread that per call takes the interpreter lock with "
              "`PyGILState_Ensure` (a new thread state each time, as for any thread Python does "
              "not know), builds equivalent arguments (a C object holding a copy of the frame or "
              "record) and calls the same method of the same delegate with "
              "`PyObject_VectorcallMethod`. \"Thread state kept\": the same caller keeping one "
              "thread state for its whole life. Engine alone: the engine delivering to a C++ "
              "no-op delegate. Main thread busy: figures are over a fixed time while the main "
              "thread runs Python, with the share of its own pace the main thread kept; how "
              "the interpreter lock passes between the threads (switch interval 5 ms) decides "
              "both and varies a lot between runs.", ""]
    return lines


def calls(section: dict) -> list[str]:
    lines, ok = _heading("Calls into the engine", section)
    if not ok:
        return lines
    rows = []
    for r in section["rows"]:
        rows.append([
            r["case"], _f(r["binding_ns"]), _f(r["binding_own_ns"]), _f(r["noop_ns"]),
            _x(r["ratio_noop"]), _verdict(r["ratio_noop"] is not None and r["ratio_noop"] <= 2),
            _f(r.get("pybind11_ns")), _x(r.get("ratio_pybind11")),
            _f(r["ctypes_ns"]), _f(r.get("ctypes_own_ns")), _x(r.get("ratio_ctypes_own")),
            _verdict(r.get("ratio_ctypes_own") is not None and r["ratio_ctypes_own"] < 1),
            _f(r["engine_ns"]),
        ])
    lines += _table(["call", "binding ns", "binding's own ns", "C-API no-op ns",
                     "own / no-op", "target ≤ 2×", "pybind11 no-op ns",
                     "own / pybind11 no-op", "ctypes ns", "ctypes' own ns",
                     "own / ctypes' own", "target < 1×", "engine alone ns"], rows)
    lines += ["", "Per call, best of interleaved rounds, the empty loop subtracted. Binding's own: "
              "the same call on a `VORACloud` without an engine instance (the module converts "
              "everything and answers without calling the engine). No-op: a `METH_FASTCALL` "
              "method of a C type with the same number of arguments (for the field: a C "
              "getter/setter). pybind11 no-op: a method of a class bound plainly with pybind11 "
              "taking the same C++ arguments and doing nothing (for the field: a "
              "`def_readwrite` int), the floor of any pybind11 binding. ctypes: the engine's "
              "virtual function through ctypes on a live "
              "instance (for the field: a `ctypes.Structure` over an engine frame); ctypes' own: "
              "the same ctypes call of a C no-op with that signature. Engine alone: the "
              "operation called from C++.", ""]
    ages = section.get("young_old")
    if ages:
        lines += _table(["SetData + SendAudioFrame (20 ms, C++)", "young ns", "old ns",
                         "young / old", "target ≤ 1.2×"],
                        [["engine alone, " + ("sent into a fresh room" if a["in_room"]
                                              else "refused (no room)"),
                          _f(a["young_ns"]), _f(a["old_ns"]), _x(a["ratio"]),
                          _verdict(a["ratio"] is not None and a["ratio"] <= 1.2)] for a in ages])
        lines += ["", f"Young: the first {ages[0]['young_calls']:,} calls on a fresh instance; "
                  f"old: as many calls after {ages[0]['old_after']:,}. Best of fresh instances. "
                  "In a room each fresh instance is alone in a fresh room: its router starts "
                  "with it.", ""]
    return lines


def payload(section: dict, title: str) -> list[str]:
    lines, ok = _heading(title, section)
    if not ok:
        return lines
    rows = []
    for r in section["rows"]:
        big = r["bytes"] >= 1 << 20
        rows.append([
            r["case"], _f(r["data_gbps"], 2), _f(r["setdata_gbps"], 2), _f(r["memcpy_gbps"], 2),
            _x(r["data_ratio"]), _x(r["setdata_ratio"]),
            _verdict(min(r["data_ratio"], r["setdata_ratio"]) >= 0.8) if big else "–",
            _f(r["fresh_memcpy_gbps"], 2),
        ])
    lines += _table(["payload", "frame.data GB/s", "SetData GB/s", "memcpy GB/s",
                     "data / memcpy", "SetData / memcpy", "target ≥ 0.8× from 1 MiB",
                     "malloc + memcpy + free GB/s"], rows)
    lines += [""]
    return lines


def _scale32(section: dict | None) -> dict:
    """The 32-party rows of a section: who -> row."""
    if _failed(section) is not None:
        return {}
    return {s["who"]: s for s in section.get("scale", []) if s["parties"] == 32}


def headline(sections: dict) -> list[str]:
    """The figures the delivery model is judged by, in one table."""
    rows = []
    for label, name in (("not pinned", "e2e"), ("pinned to one core", "e2e_pinned")):
        room = _scale32(sections.get(name))
        if not room:
            continue
        b, n = room.get("binding"), room.get("native baseline")
        delivered = b["received"] / b["expected"] if b and b["expected"] else None
        rows.append([f"32-party room, {label}: CPU s per s of audio",
                     _f(b["cpu_per_audio_second"], 3) if b else "–",
                     _f(n["cpu_per_audio_second"], 3) if n else "–",
                     f"{delivered:.1%} delivered" if delivered is not None else "–",
                     _verdict(b["cpu_per_audio_second"] <= 0.1 and b["dropped"] == 0)
                     if b and name == "e2e" else "–"])
    callbacks_section = sections.get("callbacks")
    if _failed(callbacks_section) is None:
        for r in callbacks_section["rows"]:
            if r["main"] != "busy":
                continue
            ratio = r["binding_per_s"] / r["baseline_per_s"] if r["baseline_per_s"] else None
            rows.append([f"main thread busy, {r['case']}: callbacks/s",
                         _f(r["binding_per_s"]), _f(r["baseline_per_s"]),
                         _x(ratio) + " the native caller's",
                         _verdict(ratio is not None and ratio >= 0.7)])
    if not rows:
        return []
    lines = ["### Headline", ""]
    lines += _table(["figure", "binding", "native", "", "target (≤ 0.1; ≥ 0.7×)"], rows)
    return lines + [""]


def e2e(section: dict) -> list[str]:
    lines, ok = _heading("End to end on the loopback engine", section)
    if not ok:
        return lines
    rows = []
    for r in section["latency"]:
        target = "–"
        if r["main"] == "idle":
            target = _verdict(r["p99_us"] is not None and r["p99_us"] < 2000)
        rows.append([r["main"], _f(r["p50_us"]), _f(r["p99_us"]), _f(r["max_us"]),
                     str(r["lost"]), str(r["frames"]), target])
    lines += _table(["SendAudioFrame → OnRemoteAudioReceived", "p50 µs", "p99 µs", "max µs",
                     "lost", "frames", "target p99 < 2 ms (idle)"], rows)
    lines += [""]
    rows = []
    for s in section["scale"]:
        target = "–"
        if s["parties"] == 32 and s["who"] == "binding":
            target = _verdict(s["dropped"] == 0 and s["late_ticks"] == 0
                              and s["cpu_per_audio_second"] < 0.5)
        rows.append([str(s["parties"]), s["who"], _f(s["cpu_per_audio_second"], 3),
                     _f(s["callbacks_per_s"]), str(s["dropped"]), str(s["late_ticks"]),
                     _f(s["drain_ms"], 1), _f(s["audio_seconds"], 1), target])
    lines += _table(["parties", "delegates", "CPU s per s of audio", "callbacks/s",
                     "frames dropped", "late ticks", "drain ms", "audio s",
                     "target (32: real time, no drops, < 0.5 core)"], rows)
    lines += ["", "Each party sends one 20 ms frame of 48 kHz mono audio every 20 ms and "
              "receives every other party's frames in `OnRemoteAudioReceived`. CPU: the whole "
              "process (engine threads included). Native baseline: C++ no-op delegates and a "
              "C++ sender: the engine alone.", ""]
    return lines


def janus(section: dict) -> list[str]:
    lines, ok = _heading("End to end through a Janus server", section)
    if not ok:
        return lines
    rows = []
    for r in section["rows"]:
        target = _verdict(r["p50_ms"] is not None and r["p50_ms"] <= 40 and r["lost"] == 0
                          and (r["parties"] != 8 or r["cpu_total"] < 1.0))
        rows.append([str(r["parties"]), _f(r["p50_ms"], 1), _f(r["p99_ms"], 1),
                     _f(r["max_ms"], 1), f"{r['lost']} of {r['pips']}",
                     _f(100 * r["cpu_per_party"], 1), _f(r["cpu_total"], 2), target])
    lines += _table(["parties", "p50 ms", "p99 ms", "max ms", "pips lost", "CPU % per party",
                     "cores in all", "target (p50 <= 40 ms, 0 lost; 8: < 1 core)"], rows)
    lines += ["", "Each party is a process of its own on its own 127.0.0.x, in one room on a "
              "private Janus; it sends a 20 ms pip every 200 ms (48 kHz mono, real time) and "
              "receives every other party per user. Latency: SendAudioFrame to the first loud "
              "OnRemoteAudioReceived of the pip at a receiver (Opus, UDP, Janus, jitter "
              "buffer). CPU: the party processes, Python callbacks included.", ""]
    return lines


def browser(section: dict) -> list[str]:
    lines, ok = _heading("A browser and a bot in one Janus room", section)
    if not ok:
        return lines
    rows = []
    for r in section["rows"]:
        to_browser, to_bot = r["bot_to_browser"], r["browser_to_bot"]
        target = _verdict(not r["problems"] and (to_browser.get("p50") or 1e9) < 80
                          and (to_bot.get("p50") or 1e9) < 80)
        rows.append([_f(to_browser.get("p50"), 1), _f(to_browser.get("p90"), 1),
                     _f(to_bot.get("p50"), 1), _f(to_bot.get("p90"), 1),
                     f"{r['decoded']} of {r['frames']}", "; ".join(r["problems"]) or "none",
                     target])
    lines += _table(["bot to browser p50 ms", "p90 ms", "browser to bot p50 ms", "p90 ms",
                     "camera frames decoded", "problems", "target (p50 < 80 ms both ways)"],
                    rows)
    lines += ["", "Headless Chromium (fake microphone and camera) on the page of "
              "examples/browser and a bot of the engine's Janus rooms, in a network namespace "
              "(tools/browser_check.py). A 20 ms pip every 200 ms each way; latency: send time "
              "to the onset the bot's callback sees, or to the decoded audio leaving the "
              "browser's jitter buffer (Opus, Janus, the receiver's jitter buffer; not the "
              "browser's audio output).", ""]
    return lines


def markdown(results: dict) -> str:
    m = results["machine"]
    sections = results["sections"]
    lines = ["## Benchmark results", ""]
    lines += [f"- machine: {m.get('cpu')}, {m.get('cpus')} CPUs, {m.get('platform')}, "
              f"Python {m.get('python')}",
              f"- load average before / after: {m.get('load_average')} / "
              f"{m.get('load_average_after')}",
              f"- commit {m.get('commit')} ({m.get('worktree')} working tree), module from "
              f"`{results.get('module_dir')}`, {results.get('started', '')[:19]} UTC, "
              f"{'quick smoke run' if results.get('quick') else 'full run'}, "
              f"{results.get('seconds')} s", ""]
    lines += headline(sections)
    if "callbacks" in sections:
        lines += callbacks(sections["callbacks"], "Callback delivery from engine threads")
    if "calls" in sections:
        lines += calls(sections["calls"])
    if "payload" in sections:
        lines += payload(sections["payload"], "Payload transfer")
    if "payload_tuned" in sections:
        lines += payload(sections["payload_tuned"],
                         "Payload transfer, glibc malloc keeping large blocks in the heap")
    if "e2e" in sections:
        lines += e2e(sections["e2e"])
    if "janus" in sections:
        lines += janus(sections["janus"])
    if "browser" in sections:
        lines += browser(sections["browser"])
    return "\n".join(lines) + "\n"
