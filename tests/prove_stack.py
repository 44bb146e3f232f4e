"""Proves a MinGW-w64 program's stack protection by what it does, under
Wine's debugger (winedbg), whichever compiler's code it is:

  - the guard is random: read after the seeding, in every run that reaches
    a protected function, it differs from run to run, differs from the
    value in the file, and neither of its halves is zero;
  - every check fires: for each protected function, the copy of the guard
    in its frame is given a wrong value right after its prologue stored it
    (a bit flipped, as an overflow that runs over it would leave it), and
    the process must then end with a fast fail, STATUS_STACK_BUFFER_OVERRUN
    (0xC0000409) with FAST_FAIL_STACK_COOKIE_CHECK_FAILURE, from the int
    0x29 that raised it; a run that ends any other way (status 0, 2 or 3,
    another exception) fails.

Each function is tried in the scenarios in turn: the program with no Kalvo
(a plain prefix, Wine's own HID libraries) and, given the end-to-end
harness, a full update on the test DLLs (e2e/run_e2e.py). A function that
no scenario reaches is named, apart from passes and failures.

The static reading of the code (check_pe.py) says where each function's copy
lies: the frame store after which the debugger stops, its base register and
displacement. The debugger places its breakpoints at the image base the
file asks for; Wine loads a program there, and the proof says so when it
does not.
"""

import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
from first_steps import wine_environment  # noqa: E402

STACK_BUFFER_OVERRUN = 0xC0000409
STACK_COOKIE_CHECK_FAILURE = 2
REGISTERS = ["rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi",
             "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15"]
# Bounds a hang only: a run under the debugger takes a second or two, a
# debugged full update well under a minute even on a busy machine.
RUN_TIMEOUT = 600


class Frame:
    """Where a protected function keeps its copy of the guard: the function,
    the RVA just after the store that writes the copy, and the copy's
    address as the store names it (base register and displacement)."""

    def __init__(self, function, after, base, disp):
        self.function, self.after, self.base, self.disp = function, after, base, disp

    def slot(self):
        return f"*(unsigned long long*)(${REGISTERS[self.base]}{self.disp:+#x})"


def debugger_script(image_base, guard, frame):
    slot = frame.slot()
    return "\n".join([
        "info share",
        f"break *0x{image_base + frame.after:x}",
        "cont",
        f"print /x *(unsigned long long*)0x{image_base + guard:x}",
        f"set {slot} = {slot} ^ 0x100",
        "cont",
        "cont",
        # Whatever happened, the process ends with the debugger: left to run
        # on, a process that raised an exception would start Wine's crash
        # handler and wait on it.
        "kill",
        "quit",
        ""])


class Outcome:
    """What one debugged run shows: whether the breakpoint was reached, the
    guard's value then, and the exception that ended the process (code, rcx
    at the time, the instruction)."""

    def __init__(self, output, module, image_base):
        self.output = output
        loaded = re.search(r"^PE\s+([0-9a-f]+)-[0-9a-f]+\s+\S+\s+" + re.escape(module) + r"\s*$",
                           output, re.M | re.I)
        self.base = int(loaded.group(1), 16) if loaded else None
        self.misplaced = self.base is not None and self.base != image_base
        stop = re.search(r"^Stopped on breakpoint 1 at", output, re.M)
        self.reached = stop is not None
        self.guard = None
        self.exception = self.rcx = self.instruction = None
        if not stop:
            return
        after = output[stop.end():]
        value = re.search(r"^0x([0-9a-f]+)\s*$", after, re.M)
        self.guard = int(value.group(1), 16) if value else None
        # The first exception the debugger saw, by its code or, for those it
        # knows, by its name ("illegal instruction").
        raised = re.search(r"exception: (.+?) in \d+-bit code", after)
        if raised:
            named = raised.group(1)
            self.exception = int(named, 16) if re.fullmatch(r"0x[0-9a-f]+", named) else named
            rest = after[raised.end():]
            rcx = re.search(r"rcx:([0-9a-f]{16})", rest)
            self.rcx = int(rcx.group(1), 16) if rcx else None
            instruction = re.search(r"^0x[0-9a-f]+ \S+: (.*)$", rest, re.M)
            self.instruction = instruction.group(1).strip() if instruction else None

    def failed_fast(self):
        return self.exception == STACK_BUFFER_OVERRUN and self.rcx == STACK_COOKIE_CHECK_FAILURE

    def verdict(self):
        if self.exception is None:
            return "the process ended without an exception: the check did not fire"
        if self.exception != STACK_BUFFER_OVERRUN:
            named = f"0x{self.exception:08X}" if isinstance(self.exception, int) else \
                f"'{self.exception}'"
            return f"the process ended with exception {named}, not a fast fail"
        if self.rcx != STACK_COOKIE_CHECK_FAILURE:
            return f"a fast fail with code {self.rcx}, not {STACK_COOKIE_CHECK_FAILURE}"
        return f"fast fail 0x{STACK_BUFFER_OVERRUN:08X} ({self.instruction})"


class Wine:
    """How the proofs run the program: `wine`, a plain prefix for the run with
    no Kalvo (a temporary one when none is given) and, for the full update,
    the end-to-end runner's options."""

    def __init__(self, wine="wine", prefix=None, e2e=None):
        self.wine, self.e2e = wine, e2e
        self.scratch = Path(tempfile.mkdtemp(prefix="kalvo-prove-"))
        # Wine takes only an absolute prefix.
        self.prefix = Path(prefix).resolve() if prefix else self.scratch / "prefix"

    def close(self):
        shutil.rmtree(self.scratch, ignore_errors=True)

    def no_kalvo(self, exe, script):
        """The program with no Kalvo under the debugger; the debugger's output."""
        work = self.scratch / "no-kalvo"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir()
        shutil.copy2(exe, work / "kalvo-update.exe")
        (work / "debugger.txt").write_text(script)
        done = subprocess.run([self.wine, "winedbg", "--file", "debugger.txt", "kalvo-update.exe"],
                              cwd=work, env=wine_environment(self.prefix),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT,
                              start_new_session=True)
        return done.stdout.decode("utf-8", "replace")

    def full_update(self, exe, script):
        """A full update on the test DLLs with the program under the debugger."""
        work = self.scratch / "full-update"
        (self.scratch / "debugger.txt").write_text(script)
        runner = Path(__file__).resolve().parent.parent / "e2e" / "run_e2e.py"
        subprocess.run([sys.executable, str(runner), "scenario", "debugged-update",
                        "--debugger-script", str(self.scratch / "debugger.txt"),
                        "--exe", str(exe), "--work", str(work), "--wine", self.wine] + self.e2e,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
        transcript = work / "transcript.bin"
        return transcript.read_bytes().decode("utf-8", "replace") if transcript.exists() else ""

    def scenarios(self):
        found = [("no Kalvo", self.no_kalvo)]
        if self.e2e:
            found.append(("full update", self.full_update))
        return found


def prove(exe, image_base, guard, file_guard, frames, wine, say=print, enough=None):
    """Runs the proofs; returns the number of failures. With `enough`, stops
    once that many functions were reached (a broken copy needs no more to
    be seen to fail)."""
    failures = 0
    guards = []
    unreached = []
    for frame in frames:
        if enough is not None and len(guards) >= enough:
            unreached = []
            break
        name = f"RVA 0x{frame.function:x}"
        script = debugger_script(image_base, guard, frame)
        for scenario, run in wine.scenarios():
            output = run(exe, script)
            if "WineDbg starting" not in output:
                raise RuntimeError(f"the debugger did not start ({scenario}): " +
                                   " / ".join(output.strip().splitlines()[:3]))
            outcome = Outcome(output, "kalvo-update", image_base)
            if outcome.misplaced:
                say(f"FAIL  check fires, {name}: Wine loaded the program at 0x{outcome.base:x}, "
                    f"not at its image base 0x{image_base:x}, so no breakpoint can be placed")
                failures += 1
                break
            if not outcome.reached:
                continue
            if outcome.guard is not None:
                guards.append(outcome.guard)
            ok = outcome.failed_fast()
            failures += not ok
            say(f"{'PASS' if ok else 'FAIL'}  check fires, {name} ({scenario}): copy in the frame "
                f"at ${REGISTERS[frame.base]}{frame.disp:+#x} changed after RVA 0x{frame.after:x}: "
                f"{outcome.verdict()}")
            break
        else:
            unreached.append(name)
    if unreached:
        say(f"NOT REACHED  check fires: no scenario reaches {', '.join(unreached)}")
    problems = []
    if len(guards) < 2:
        problems.append(f"read in {len(guards)} runs, too few to compare")
    if len(set(guards)) != len(guards):
        problems.append("the same value in two runs")
    if file_guard in guards:
        problems.append(f"the value in the file (0x{file_guard:x})")
    halves = [g for g in guards if g >> 32 == 0 or g & 0xFFFFFFFF == 0]
    if halves:
        problems.append(f"a zero half (0x{halves[0]:016x})")
    values = ", ".join(f"0x{g:016x}" for g in guards[:3]) + (", ..." if len(guards) > 3 else "")
    say(f"{'FAIL' if problems else 'PASS'}  the guard is random: {len(guards)} runs read {values}" +
        (": " + "; ".join(problems) if problems else
         ": all different, none the file's value, no zero half"))
    return failures + bool(problems)

