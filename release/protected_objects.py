#!/usr/bin/env python3
"""Checks, from what the build knows, that every object of the project's own
that the link put into the program was compiled with stack protection.

  protected_objects.py BUILD_DIR

The link map (BUILD_DIR/kalvo-update.map, GNU ld's or LLD's) names each
object the linker took, whole or as an archive member (LLD names a member
without its archive: it is the project's when the build compiled an object
of that name); the compile commands
(BUILD_DIR/compile_commands.json, which CMake writes) say how each was
compiled. An object inside the build folder counts as the project's; each
must come from a compile command whose last stack-protector option is
-fstack-protector-strong (or -fstack-protector-all), so that an object
built without it (a new library target that misses the option, a source
given -fno-stack-protector) is named, however few of its functions the
code would show a canary in. Resources (.res), which hold no code, are
counted apart. Exit status 0 when every object is protected.
"""

import json
import re
import shlex
import sys
from pathlib import Path

import third_party

LINK_MAP = "kalvo-update.map"
COMPILE_COMMANDS = "compile_commands.json"
PROTECTING = ("-fstack-protector-strong", "-fstack-protector-all")
STACK_OPTIONS = PROTECTING + ("-fstack-protector", "-fno-stack-protector")


def compile_outputs(build):
    """{object path relative to the build folder: the compiler's arguments}."""
    outputs = {}
    for entry in json.loads((build / COMPILE_COMMANDS).read_text()):
        words = entry.get("arguments") or shlex.split(entry["command"])
        output = entry.get("output")
        if output is None and "-o" in words:
            output = words[words.index("-o") + 1]
        if output is None:
            continue
        # Relative to the build folder, whether CMake wrote the output relative
        # to the command's folder or (from CMake 4) absolute, and whether the
        # commands are read where they were made or from a copy.
        directory = Path(entry.get("directory", build))
        path = (directory / output).resolve()
        for folder in (build.resolve(), directory.resolve()):
            if path.is_relative_to(folder):
                outputs[str(path.relative_to(folder))] = words
                break
        else:
            outputs[output] = words
    return outputs


def stack_option(words):
    """The last stack-protector option the compiler was given, or None."""
    given = [w for w in words if w in STACK_OPTIONS]
    return given[-1] if given else None


LLD_INPUT = re.compile(r"^[0-9a-fA-F]+ [0-9a-fA-F]+ +\d+ +(\S.*):\([^)]*\)$")


def read_inputs(map_text, outputs):
    """The inputs the link took ({path: {member, ...}}, "" for an object
    given whole), from GNU ld's map or LLD's."""
    used, _ = third_party.read_map(map_text)
    if used:
        return used
    names = {}
    for output in outputs:
        names.setdefault(Path(output).name, []).append(output)
    for line in map_text.splitlines():
        match = LLD_INPUT.match(line)
        if not match:
            continue
        name = match.group(1)
        if "/" in name or "\\" in name:
            used.setdefault(name, set()).add("")
        for output in names.get(name, []):
            used.setdefault(output, set()).add("")
    return used


def project_objects(build, used):
    """(name in the map, [candidate object paths]) of each object inside the
    build folder that the link took: an object given whole is itself; an
    archive member of CMake's lib<TARGET>.a is any object of that target of
    the member's name."""
    found = []
    for path, members in sorted(used.items()):
        if Path(path).is_absolute() or path.startswith(".."):
            continue
        for member in sorted(members):
            if not member:
                found.append((path, [path]))
                continue
            target = Path(path).name
            target = target[3:-2] if target.startswith("lib") and target.endswith(".a") else target
            candidates = [str(p.relative_to(build)) for p in
                          (build / "CMakeFiles" / f"{target}.dir").rglob(member)]
            found.append((f"{path}({member})", candidates or [f"{path}({member})"]))
    return found


def unprotected(build):
    """(problems, number of objects checked, number of resources)."""
    build = Path(build)
    outputs = compile_outputs(build)
    used = read_inputs((build / LINK_MAP).read_text(), outputs)
    problems, checked, resources = [], 0, 0
    for name, candidates in project_objects(build, used):
        if all(c.endswith(".res") for c in candidates):
            resources += 1
            continue
        checked += 1
        for candidate in candidates:
            words = outputs.get(candidate)
            if words is None:
                problems.append(f"{name}: no compile command made it")
            elif stack_option(words) not in PROTECTING:
                problems.append(f"{name}: compiled with {stack_option(words) or 'no stack protector option'}")
    if not checked:
        problems.append(f"the link map names no object of the project's ({LINK_MAP} is not "
                        "a map of GNU ld or LLD that this check reads)")
    return problems, checked, resources


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[3], file=sys.stderr)
        return 2
    problems, checked, resources = unprotected(sys.argv[1])
    for problem in problems:
        print(f"not protected: {problem}")
    print(f"{checked} objects of the project's own, {resources} resources: "
          f"{len(problems)} not compiled with -fstack-protector-strong")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
