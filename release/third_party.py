"""What the linker put into kalvo-update.exe besides the program's own code.

The link writes a map beside the program (kalvo-update.map): every archive
member and object file it took, and a cross reference table of which file
uses a symbol which file defines. The program's own code is what CMake
compiled from the product's folders, the images and the version resource
that the configure step generates (kalvo-release.txt lists each target's
sources). Everything else must be a member of a toolchain library that
release/reviewed.py lists for the very Debian package version installed
here, with the licence and notices of that member. Anything else stops the
packaging, and the refusal names it: a file of no package, a package version
whose notices were not reviewed, a member whose source was not read.
"""
import os
import re
import subprocess
import textwrap
from dataclasses import dataclass, field
from pathlib import Path

import reviewed

PROGRAM = "kalvo-update"
# The program's own code, by where its source lies: the product's folders in
# the tree, and what the configure step generates into the build folder.
OWN_FOLDERS = ("hid/", "protocol/", "updater/")
OWN_GENERATED = ("generated/kalvo_images.cpp", "generated/kalvo-update.rc")
ARCHIVE_MEMBERS = "Archive member included to satisfy reference by file (symbol)"
CROSS_REFERENCES = "Cross Reference Table"
# CMake's object of a source: CMakeFiles/TARGET.dir/SOURCE.obj (.res for a
# resource script).
OBJECT = re.compile(r"^CMakeFiles/(?P<target>[^/]+)\.dir/(?P<source>.+)\.(?:obj|o|res)$")
# Automake names an archive's members TARGET-STEM.o (lib64_libmingwex_a-gdtoa.o).
AUTOMAKE_PREFIX = re.compile(r"^\w+?_l?a-")
# dlltool's members of an import library: a head, a tail and one stub for
# each function (libkernel32h.o, libkernel32t.o, libmsvcrt_defs00063.o).
IMPORT_ENTRY = re.compile(r"^lib\w+?(?:_def)?(?:h|t|s\d+)\.o$")


class Uncovered(Exception):
    pass


@dataclass
class Linked:
    """A component as the link used it."""
    component: reviewed.Component
    release: reviewed.Release
    architecture: str
    members: dict = field(default_factory=dict)  # file name -> member names ("" for a whole object)
    terms: dict = field(default_factory=dict)  # reviewed.Terms -> [(file name, member), ...]

    @property
    def licence(self):
        """One SPDX expression: the licences of the members linked, all of which apply."""
        return " AND ".join(dict.fromkeys(
            part for terms in self.terms for part in terms.licence.split(" AND ")))

    @property
    def notices(self):
        return list(dict.fromkeys(n for t in self.terms for n in t.notices))


@dataclass
class Link:
    components: list  # Linked, in the order of reviewed.COMPONENTS
    uses: dict  # PROGRAM or a component's name -> the component names it uses


# --- the link map --------------------------------------------------------------

def input_file(text):
    """(path, member) of an input as the map names it: ARCHIVE(MEMBER) or a whole object."""
    match = re.match(r"^(.+?\.a)\((.+)\)$", text)
    return (match.group(1), match.group(2)) if match else (text, "")


def read_map(map_text):
    """The inputs the link took ({path: {member, ...}}, "" for an object given whole), and
    which input uses a symbol which other input defines ({(user, definer), ...})."""
    lines = map_text.splitlines()
    used = {}
    if ARCHIVE_MEMBERS in lines:
        for line in lines[lines.index(ARCHIVE_MEMBERS) + 1:]:
            if line.startswith(("Discarded input sections", "Memory Configuration")):
                break
            if line[:1].strip():
                path, member = input_file(line.split("  ")[0].strip())
                used.setdefault(path, set()).add(member)
    for line in lines:
        # Objects given to the link whole; archives are counted by member above.
        if line.startswith("LOAD ") and not line.endswith(".a") and line != "LOAD dll stuff":
            used.setdefault(line[len("LOAD "):], set()).add("")
    uses = set()
    if CROSS_REFERENCES in lines:
        definer = None
        for line in lines[lines.index(CROSS_REFERENCES) + 1:]:
            if not line.strip() or line.startswith("Symbol "):
                continue
            if line[0] != " ":
                # A symbol, then the file that defines it; the files that use it follow.
                definer = input_file(line.split(None, 1)[1].strip()) if " " in line else None
            elif definer:
                uses.add((input_file(line.strip()), definer))
    return used, uses


def facts_sources(facts):
    return {key[len("sources."):]: [s for s in value.split(",") if s]
            for key, value in facts.items() if key.startswith("sources.")}


def own_source(source):
    return source.startswith(OWN_FOLDERS) or source in OWN_GENERATED


def is_own(relative, member, sources):
    """Whether an input inside the build folder is the program's own code: CMake's object
    of a source in the product's folders, or a member of the archive of a target whose
    only source of that name lies there."""
    if not member:
        match = OBJECT.match(relative)
        return bool(match and match.group("source") in sources.get(match.group("target"), ())
                    and own_source(match.group("source")))
    for target, target_sources in sources.items():
        if relative == f"lib{target}.a":
            named = [s for s in target_sources if Path(s).name == object_stem(member)]
            return len(named) == 1 and own_source(named[0])
    return False


def object_stem(member):
    """An object's name less its suffix: CMake's report_exchange.cpp.obj is
    report_exchange.cpp, libtool's libwinpthread_la-cond.o libwinpthread_la-cond."""
    return re.sub(r"\.(obj|o)$", "", member)


def member_stem(path, member):
    """How release/reviewed.py names a member: the stem of its source file."""
    if not member:
        return Path(path).stem
    if IMPORT_ENTRY.match(member):
        return reviewed.IMPORT_ENTRIES
    return AUTOMAKE_PREFIX.sub("", object_stem(member))


def owning_package(path):
    """The Debian package that installed `path`, its version and architecture, or None."""
    for candidate in dict.fromkeys((os.path.normpath(path), os.path.realpath(path))):
        found = subprocess.run(["dpkg-query", "-S", candidate], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
        if found.returncode == 0:
            package = found.stdout.split(": ", 1)[0].split(", ")[0]
            version, architecture = package_version(package)
            return package.split(":")[0], version, architecture
    return None


def package_version(package):
    shown = subprocess.run(["dpkg-query", "-W", "-f", "${Version} ${Architecture}", package],
                           stdout=subprocess.PIPE, check=True, text=True)
    version, architecture = shown.stdout.split()
    return version, architecture


def plural(count, word):
    return f"{count} {word}{'s' if count != 1 else ''}"


def link_components(map_path, build, facts):
    """The components the link used, and which uses which; raises Uncovered."""
    map_text = map_path.read_text()
    if CROSS_REFERENCES not in map_text.splitlines():
        # LLD's map (clang's toolchain file) names an archive member without its
        # archive, and LLD has no --cref: what the notices and the bill of
        # materials need is not in it.
        raise Uncovered(f"{map_path} is not GNU ld's map with its cross reference table "
                        "(-Map with --cref): a release is linked by GNU ld, as "
                        "scripts/release.sh builds it (cmake/mingw-w64-x86_64.cmake); "
                        "LLD's map does not say which archive each member came from, nor "
                        "which file uses which")
    used, uses = read_map(map_text)
    sources = facts_sources(facts)
    by_file = {name: component for component in reviewed.COMPONENTS
               for name in component.files}
    found, node, problems = {}, {}, []
    for path, members in sorted(used.items()):
        absolute = Path(os.path.normpath(build / path))
        if absolute.is_relative_to(build):
            inside = absolute.relative_to(build).as_posix()
            for member in sorted(members):
                if is_own(inside, member, sources):
                    node[(path, member)] = PROGRAM
                else:
                    named = f"{inside}({member})" if member else inside
                    problems.append(f"{named}: in the build folder, but not the program's own "
                                    f"code (from a source in {', '.join(OWN_FOLDERS)})")
            continue
        what = f"{absolute} ({plural(len(members), 'member')})" if path.endswith(".a") \
            else str(absolute)
        component = by_file.get(absolute.name)
        owner = owning_package(absolute)
        if owner is None:
            problems.append(f"{what}: a file of no Debian package")
            continue
        package, version, architecture = owner
        if component is None:
            problems.append(f"{what}, from {package} {version}: no reviewed component holds "
                            "this file")
            continue
        release = component.release(package, version)
        if release is None:
            reviewed_versions = ", ".join(f"{r.package} {r.version}"
                                          for r in component.releases)
            problems.append(f"{what}: {component.name} comes from {package} {version}, whose "
                            f"notices were not reviewed (reviewed: {reviewed_versions})")
            continue
        linked = found.setdefault(component.name, Linked(component, release, architecture))
        if linked.release != release:
            problems.append(f"{what}, from {package} {version}, while the rest of "
                            f"{component.name} comes from {linked.release.package} "
                            f"{linked.release.version}")
            continue
        linked.members[absolute.name] = sorted(members)
        for member in sorted(members):
            terms = component.terms(absolute.name, member_stem(absolute.name, member))
            if terms is None:
                named = f"{absolute}({member})" if member else absolute
                problems.append(f"{named}: a part of {component.name} whose source and "
                                "notices were not reviewed")
                continue
            linked.terms.setdefault(terms, []).append((absolute.name, member))
            node[(path, member)] = component.name
    if problems:
        raise Uncovered("the link put into the program what the third-party notices do not "
                        "cover (release/reviewed.py lists what they cover):\n  "
                        + "\n  ".join(problems))
    ordered = [found[c.name] for c in reviewed.COMPONENTS if c.name in found]
    for linked in ordered:
        # Terms in the order release/reviewed.py gives them, whatever the link's order.
        linked.terms = {t: linked.terms[t] for t, _ in linked.component.members
                        if t in linked.terms}
    return Link(ordered, dependencies(used, uses, node))


def dependencies(used, uses, node):
    """Who uses whom: the program the components whose code it calls and the start-up
    objects the link began with, each component those whose code it calls."""
    graph = {PROGRAM: set()}
    graph.update({name: set() for name in node.values()})
    for path, members in used.items():
        if members == {""} and node[(path, "")] != PROGRAM:
            graph[PROGRAM].add(node[(path, "")])
    for user, definer in uses:
        source, target = node.get(user), node.get(definer)
        # The start-up code calls main: that makes no dependency on the program.
        if source and target and target not in (source, PROGRAM):
            graph[source].add(target)
    return graph


# --- the notices file ----------------------------------------------------------

RULE = "=" * 76
NOTICES_FOLDER = "Third-party notices"


def notice_file(linked, notice):
    """The notice's path in the package and in release/notices/."""
    return f"{linked.release.source.tree}/{notice.name}"


def notice_files(linked):
    """{path in the package's notices folder: bytes} for every notice of the link."""
    return {notice_file(x, n): (reviewed.NOTICES / notice_file(x, n)).read_bytes()
            for x in linked for n in x.notices}


def members_text(members):
    """The members under one licence, by file: stems, import entries counted."""
    by_file = {}
    for file, member in members:
        by_file.setdefault(file, []).append(member_stem(file, member))
    parts = []
    for file, stems in by_file.items():
        entries = stems.count(reviewed.IMPORT_ENTRIES)
        listed = [s for s in stems if s != reviewed.IMPORT_ENTRIES]
        if entries:
            listed.append(f"{entries} import entries")
        parts.append(f"{file}: {', '.join(listed)}" if file.endswith(".a") else file)
    return "; ".join(parts)


def notices_text(program_name, version, linked):
    lines = ["Third-party notices", "===================", "",
             f"{program_name} {version} is one statically linked program. Besides its own code",
             "it holds the parts of its toolchain listed below, as the linker put them in.",
             "Each is named with the Debian package it came from, that package's version,",
             "the source package its notices come from and the files linked from it, then",
             "the licence of the members linked, and the notices that cover them. The",
             f'notices are in the folder "{NOTICES_FOLDER}" beside this file, as their',
             "authors wrote them: copied unchanged from the source package named.", ""]
    lines += [f"  {x.component.name:<14} {x.licence}" for x in linked]
    for part in linked:
        source = part.release.source
        files = ", ".join(f"{name} ({plural(len(members), 'member')})" if name.endswith(".a")
                          else name for name, members in sorted(part.members.items()))
        archive = f"{source.archive} (SHA-256 {source.sha256})"
        if source.inner:
            archive += f", in it {source.inner} (SHA-256 {source.inner_sha256})"
        lines += ["", RULE, "", f"{part.component.name}: {part.component.description}",
                  f"  package:  {part.release.package} {part.release.version}",
                  *wrapped("  source:   ", f"{source.package} {source.version}: {archive}"),
                  *wrapped("  linked:   ", files), *wrapped("  licence:  ", part.licence)]
        for terms, members in part.terms.items():
            lines += ["", f"  {terms.licence}:", *wrapped("    members: ", members_text(members)),
                      *(f"    {'notices:' if i == 0 else '':<9}{NOTICES_FOLDER}/"
                        f"{notice_file(part, n)}" for i, n in enumerate(terms.notices))]
    return "\n".join(lines) + "\n"


def wrapped(label, text):
    return textwrap.wrap(text, 78, initial_indent=label, subsequent_indent=" " * len(label),
                         break_on_hyphens=False, break_long_words=False)
