"""What the linker put into kalvo-update.exe besides the program's own code.

The link writes a map beside the program (kalvo-update.map). Each archive
member and object file it names is either the program's own (it lies in the
build folder) or a file of an installed Debian package, and then it must be
one of the files of a component below: the component says how its package's
copyright file covers it. A file that no component claims stops the
packaging, since the notices would not cover it. Which components go into the
notices and the bill of materials is what the link used, never a list kept
by hand; the texts are the packages' own copyright files.
"""
import os
import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

COPYRIGHT = "/usr/share/doc/{package}/copyright"
MACHINE_READABLE = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/"
# GCC's copyright file is prose: the list of libraries under the runtime
# library exception, and the exception's text.
GCC_RUNTIME_LIST = re.compile(
    r"^The following runtime libraries are licensed under the terms of the\n.*?\n\n.*?\n\n",
    re.M | re.S)
GCC_EXCEPTION = re.compile(
    r"^GCC RUNTIME LIBRARY EXCEPTION\n.*?requirements of the license of GCC\.\n", re.M | re.S)
GCC_RUNTIME_LICENCE = "GPL-3.0-or-later WITH GCC-exception-3.1"
# The Windows import libraries that the compiler driver and CMake link by
# default: MinGW-w64 makes them from its own definition files.
IMPORT_LIBRARIES = tuple(f"lib{name}.a" for name in (
    "kernel32", "user32", "gdi32", "winspool", "shell32", "ole32", "oleaut32", "uuid",
    "comdlg32", "advapi32"))


class Uncovered(Exception):
    pass


@dataclass(frozen=True)
class Component:
    name: str
    description: str
    files: tuple
    # Where the notices come from: the name under which GCC's copyright file
    # lists the library among those under the runtime library exception, or
    # the folders of the package's source tree that the files are built from
    # (a machine-readable copyright file), less those that never go into them.
    gcc_runtime: str = ""
    sources: tuple = ()
    left_out: tuple = ()


COMPONENTS = (
    Component("libstdc++", "the GNU C++ standard library, from GCC",
              ("libstdc++.a", "libsupc++.a"), gcc_runtime="libstdc++-v3"),
    Component("libgcc", "GCC's low-level runtime library",
              ("libgcc.a", "libgcc_eh.a", "crtbegin.o", "crtend.o"), gcc_runtime="libgcc"),
    Component("libssp", "GCC's stack protection library",
              ("libssp.a", "libssp_nonshared.a"), gcc_runtime="libssp"),
    Component("mingw-w64-crt",
              "the MinGW-w64 C runtime: start-up code, C library additions, Windows import "
              "libraries", ("crt2.o", "libmingw32.a", "libmingwex.a", "libmsvcrt.a",
                            "libmoldname.a") + IMPORT_LIBRARIES,
              sources=("mingw-w64-crt/",), left_out=("mingw-w64-crt/profile/",)),
    Component("winpthreads", "POSIX threads for Windows, from MinGW-w64",
              ("libpthread.a", "libwinpthread.a"),
              sources=("mingw-w64-libraries/winpthreads/",),
              left_out=("mingw-w64-libraries/winpthreads/tests_pthread/",)),
)


@dataclass
class Linked:
    """A component as the link used it."""
    component: Component
    package: str
    version: str
    architecture: str
    members: dict  # file name -> how many of its members (1 for an object file)
    notices: str = ""
    licences: tuple = ()


# --- the link map --------------------------------------------------------------

def linked_files(map_text):
    """The files the link used, as {path: members used}; an object file counts once."""
    used = {}
    lines = map_text.splitlines()
    if "Archive member included to satisfy reference by file (symbol)" in lines:
        for line in lines[lines.index("Archive member included to satisfy reference by file "
                                      "(symbol)") + 1:]:
            if line.startswith(("Discarded input sections", "Memory Configuration")):
                break
            match = re.match(r"^(\S.*?)\((.+?)\)(\s|$)", line)
            if match:
                used.setdefault(match.group(1), set()).add(match.group(2))
    for line in lines:
        # Objects given to the link whole; archives are counted by member above.
        if line.startswith("LOAD ") and not line.endswith(".a") and line != "LOAD dll stuff":
            used.setdefault(line[len("LOAD "):], set()).add("")
    return {path: len(members) for path, members in used.items()}


def owning_package(path):
    """The Debian package that installed `path`, its version and architecture, or None."""
    for candidate in dict.fromkeys((os.path.normpath(path), os.path.realpath(path))):
        found = subprocess.run(["dpkg-query", "-S", candidate], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
        if found.returncode == 0:
            package = found.stdout.split(": ", 1)[0].split(", ")[0]
            version, architecture = package_version(package)
            return package, version, architecture
    return None


def package_version(package):
    shown = subprocess.run(["dpkg-query", "-W", "-f", "${Version} ${Architecture}", package],
                           stdout=subprocess.PIPE, check=True, text=True)
    version, architecture = shown.stdout.split()
    return version, architecture


def link_components(map_path, build):
    """The components the link used, in the order of COMPONENTS; raises Uncovered."""
    by_file = {name: component for component in COMPONENTS for name in component.files}
    found = {}
    uncovered = []
    for path, members in sorted(linked_files(map_path.read_text()).items()):
        absolute = Path(os.path.normpath(build / path))
        if absolute.is_relative_to(build):
            continue  # the program's own code
        component = by_file.get(absolute.name)
        owner = owning_package(absolute)
        if component is None or owner is None:
            uncovered.append(f"{absolute} ({'package ' + owner[0] if owner else 'no package'}, "
                             f"{members} member{'s' if members != 1 else ''})")
            continue
        linked = found.setdefault(component.name, Linked(component, *owner, members={}))
        if (linked.package, linked.version) != owner[:2]:
            uncovered.append(f"{absolute} (package {owner[0]} {owner[1]}, while the rest of "
                             f"{component.name} comes from {linked.package} {linked.version})")
        linked.members[absolute.name] = linked.members.get(absolute.name, 0) + members
    if uncovered:
        raise Uncovered("the link put into the program files that the third-party notices "
                        "do not cover (release/third_party.py names the components they "
                        "cover):\n  " + "\n  ".join(uncovered))
    ordered = [found[c.name] for c in COMPONENTS if c.name in found]
    for linked in ordered:
        copyright_file = Path(COPYRIGHT.format(package=linked.package.split(":")[0]))
        if not copyright_file.is_file():
            raise Uncovered(f"{copyright_file} is missing: the notices of {linked.component.name} "
                            "come from it")
        text = copyright_file.read_text(encoding="utf-8")
        if linked.component.gcc_runtime:
            linked.notices, linked.licences = gcc_runtime_notices(text, linked.component,
                                                                  copyright_file)
        else:
            linked.notices, linked.licences = covering_notices(text, linked.component,
                                                               copyright_file)
    return ordered


# --- the copyright files -------------------------------------------------------

def gcc_runtime_notices(text, component, origin):
    listing, exception = GCC_RUNTIME_LIST.search(text), GCC_EXCEPTION.search(text)
    if not listing or not exception or not re.search(
            rf"^ - {re.escape(component.gcc_runtime)}(\s|$)", listing.group(0), re.M):
        raise Uncovered(f"{origin} does not list {component.gcc_runtime} among the libraries "
                        "under GCC's runtime library exception")
    return listing.group(0) + exception.group(0), (GCC_RUNTIME_LICENCE,)


@dataclass
class Paragraph:
    text: str
    fields: dict

    @property
    def patterns(self):
        return self.fields.get("Files", "").split()

    @property
    def licence(self):
        return self.fields.get("License", "").split("\n", 1)[0].strip()

    @property
    def has_licence_text(self):
        return "\n" in self.fields.get("License", "").strip()


def paragraphs(text):
    found = []
    for block in re.split(r"\n[ \t]*\n", text):
        fields, name = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and name:
                fields[name] += "\n" + line.strip()
            elif ":" in line:
                name, value = line.split(":", 1)
                fields[name] = value.strip()
        if fields:
            found.append(Paragraph(block.strip("\n"), fields))
    return found


def licence_names(expression):
    return [name.strip() for name in re.split(r"\s+(?:and|or)\s+", expression) if name.strip()]


def covering_notices(text, component, origin):
    """The paragraphs of a machine-readable copyright file that cover the component's
    sources: for each source folder, the last paragraph whose pattern covers the folder
    as a whole (later paragraphs override earlier ones), and every paragraph with a
    pattern inside it; then the texts of the licences they name but do not spell out."""
    if not text.startswith(MACHINE_READABLE):
        raise Uncovered(f"{origin} is not in the machine-readable copyright format")
    found = paragraphs(text)
    files = [p for p in found if "Files" in p.fields]
    chosen = set()
    for folder in component.sources:
        whole = [i for i, p in enumerate(files)
                 if any(x.endswith("*") and folder.startswith(x[:-1]) for x in p.patterns)]
        if not whole:
            raise Uncovered(f"{origin} has no paragraph for {folder}")
        chosen.add(whole[-1])
        chosen.update(i for i, p in enumerate(files) if any(
            x.startswith(folder) and not x.startswith(component.left_out) for x in p.patterns))
    chosen = [files[i] for i in sorted(chosen)]
    licences = list(dict.fromkeys(n for p in chosen for n in licence_names(p.licence)))
    spelled_out = {p.licence for p in chosen if p.has_licence_text}
    texts = [p for p in found if "Files" not in p.fields and "License" in p.fields
             and p.licence in licences and p.licence not in spelled_out]
    missing = set(licences) - spelled_out - {p.licence for p in texts}
    if missing:
        raise Uncovered(f"{origin} names the licences {', '.join(sorted(missing))} without "
                        "their texts")
    header = [found[0]] if found and "Format" in found[0].fields else []
    return "\n\n".join(p.text for p in header + chosen + texts) + "\n", tuple(licences)


# --- the notices file ----------------------------------------------------------

RULE = "=" * 76


def notices_text(program_name, version, linked):
    gcc = [x.component.name for x in linked if x.component.gcc_runtime]
    lines = ["Third-party notices", "===================", "",
             f"{program_name} {version} is one statically linked program. Besides its own code",
             "it holds the parts of its toolchain listed below, as the linker put them in.",
             "Each is named with the Debian package it came from, that package's version",
             "and the files linked from it, followed by the copyright and licence notices",
             "that the package's copyright file (/usr/share/doc/PACKAGE/copyright) gives",
             "for it."]
    if gcc:
        lines += ["", f"{', '.join(gcc)}: GCC's runtime library exception asks for no notice",
                  "for these; they are named all the same."]
    lines += [""] + [f"  {x.component.name:<14} {', '.join(x.licences)}" for x in linked]
    # Parts whose notices are the same text share it.
    groups = []
    for part in linked:
        if groups and groups[-1][-1].notices == part.notices:
            groups[-1].append(part)
        else:
            groups.append([part])
    for group in groups:
        lines += ["", RULE]
        for part in group:
            files = ", ".join(f"{name} ({count} member{'s' if count != 1 else ''})"
                              if name.endswith(".a") else name
                              for name, count in sorted(part.members.items()))
            lines += ["", f"{part.component.name}: {part.component.description}",
                      f"  package:  {part.package.split(':')[0]} {part.version}",
                      f"  linked:   {files}",
                      f"  licence:  {', '.join(part.licences)}"]
        lines += ["", group[0].notices.rstrip("\n")]
    return "\n".join(lines) + "\n"
