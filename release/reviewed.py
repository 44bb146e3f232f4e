"""The toolchain libraries that may go into kalvo-update.exe, as they were reviewed.

For each library: the Debian packages and versions whose sources were read,
the upstream files that hold its notices (copied unchanged into
release/notices/ from the Debian source package of that very version; the
source archive's SHA-256 is given here), and, archive member by archive
member, the licence of the source it was built from and the notices that
cover it. release/third_party.py matches the link against this: a member, a
file or a package version missing here stops the packaging until someone has
read its source and added it.

A member is named by the stem of the source file it was built from, as the
archive calls it less Automake's prefix ("lib64_libmingwex_a-gdtoa.o" is
gdtoa); an import library's entries, which dlltool makes from MinGW-w64's
module definition files, by IMPORT_ENTRIES.
"""
from dataclasses import dataclass
from pathlib import Path

NOTICES = Path(__file__).resolve().parent / "notices"
IMPORT_ENTRIES = "import entries"


@dataclass(frozen=True)
class Source:
    """A Debian source package, and the upstream tree in it that the notices come from."""
    suite: str  # the Debian release it belongs to
    package: str
    version: str
    archive: str  # the source package's file that holds the upstream tree
    sha256: str
    tree: str  # the upstream tree's top folder, and the notices' folder in release/notices/
    inner: str = ""  # an archive in the archive that holds the tree (GCC's)
    inner_sha256: str = ""


@dataclass(frozen=True)
class Notice:
    """An upstream file, or the first `lines` lines of one (the comment that opens a
    source file), kept unchanged as release/notices/TREE/NAME."""
    path: str
    lines: int = 0

    @property
    def name(self):
        return f"{self.path} (lines 1-{self.lines}).txt" if self.lines else self.path


@dataclass(frozen=True)
class Terms:
    """A licence, as SPDX identifiers (with their exceptions) joined by AND, and the
    notices that carry it."""
    licence: str
    notices: tuple


@dataclass(frozen=True)
class Release:
    """A Debian package version whose parts of the component were reviewed."""
    package: str
    version: str
    source: Source


@dataclass(frozen=True)
class Component:
    name: str
    description: str
    author: str
    # The component's folder in the upstream tree: it tells apart two
    # components that one Debian package installs.
    folder: str
    files: tuple
    releases: tuple
    # ((Terms, {file: member stems, or IMPORT_ENTRIES, or "*" for every member}), ...)
    members: tuple

    def release(self, package, version):
        return next((r for r in self.releases if (r.package, r.version) == (package, version)),
                    None)

    def terms(self, file, stem):
        for terms, files in self.members:
            stems = files.get(file, ())
            if stems == "*" or stem in stems:
                return terms
        return None


# --- the sources -------------------------------------------------------------------

# Debian 12: gcc-mingw-w64 25.2 built with gcc-12-source 12.2.0-14+deb12u1
# (the binary packages' Built-Using).
GCC_12 = Source("bookworm", "gcc-12", "12.2.0-14+deb12u1", "gcc-12_12.2.0.orig.tar.gz",
                "b8298be16aeeb96a889c6afed0a8e2241b47452e89cc81fe65ea849d5c740fcb",
                "gcc-12.2.0", inner="gcc-12-12.2.0/gcc-12.2.0-dfsg.tar.xz",
                inner_sha256="50c63ff82919323c25fbbb4a9eae259edc974118a0fb30c905190cb782ec11c2")
MINGW_W64_10 = Source("bookworm", "mingw-w64", "10.0.0-3", "mingw-w64_10.0.0.orig.tar.bz2",
                      "ba6b430aed72c63a3768531f6a3ffc2b0fde2c57a3b251450dcf489a894f0894",
                      "mingw-w64-v10.0.0")
# Debian 13: gcc-mingw-w64 27 built with gcc-14-source 14.2.0-19.
GCC_14 = Source("trixie", "gcc-14", "14.2.0-19", "gcc-14_14.2.0.orig.tar.gz",
                "e162a5ef3f0077ecae598c6556908d2ab80841532df3398072a96a6df6e6aa29",
                "gcc-14.2.0", inner="gcc-14-14.2.0/gcc-14.2.0-dfsg.tar.xz",
                inner_sha256="8a4a42c41cabb37b61de3a5ef3ef62b4e10b79decfb504705b5cefa092da765f")
MINGW_W64_12 = Source("trixie", "mingw-w64", "12.0.0-5", "mingw-w64_12.0.0.orig.tar.bz2",
                      "cc41898aac4b6e8dd5cffd7331b9d9515b912df4420a3a612b5ea2955bbeed2f",
                      "mingw-w64-v12.0.0")

GCC_RELEASES = {GCC_12: "12.2.0-14+deb12u1+25.2+b1", GCC_14: "14.2.0-19+27+b1"}
MINGW_W64_RELEASES = (Release("mingw-w64-x86-64-dev", "10.0.0-3", MINGW_W64_10),
                      Release("mingw-w64-x86-64-dev", "12.0.0-5", MINGW_W64_12))


def gcc_releases(package):
    return tuple(Release(package, version, source) for source, version in GCC_RELEASES.items())


# --- the licences ------------------------------------------------------------------

GCC_RUNTIME = Terms("GPL-3.0-or-later WITH GCC-exception-3.1",
                    (Notice("COPYING.RUNTIME"), Notice("COPYING3")))
# libiberty's demangler, which libsupc++ builds from libiberty/cp-demangle.c:
# GPL 2 or later with unlimited permission to link, stated in its first comment.
DEMANGLER = Terms("GPL-2.0-or-later WITH GCC-exception-2.0",
                  (Notice("libiberty/cp-demangle.c", lines=29), Notice("COPYING")))
# MinGW-w64's runtime notice for programs linked with it gives every notice
# below, and the ZPL 2.1 that covers what is not marked otherwise (COPYING).
MINGW_W64_RUNTIME = (Notice("COPYING.MinGW-w64-runtime/COPYING.MinGW-w64-runtime.txt"),)
MINGW_W64_PUBLIC_DOMAIN = Terms("LicenseRef-public-domain", MINGW_W64_RUNTIME)
MINGW_W64_ZPL = Terms("ZPL-2.1", MINGW_W64_RUNTIME)
# David M. Gay's floating point conversions (gdtoa/), and the printf core that
# is modelled on his sample code under the same terms.
GDTOA = Terms("LicenseRef-gdtoa", MINGW_W64_RUNTIME)
PFORMAT = Terms("LicenseRef-public-domain AND LicenseRef-gdtoa", MINGW_W64_RUNTIME)
# Every source of winpthreads carries the MIT licence; its COPYING adds the
# BSD licence of the Lockless Inc. library that parts derive from, without
# naming the parts.
WINPTHREADS = Terms("MIT AND BSD-3-Clause",
                    (Notice("mingw-w64-libraries/winpthreads/COPYING"),))

# --- the components ----------------------------------------------------------------

# The Windows import libraries that the compiler driver and CMake link by
# default.
IMPORT_LIBRARIES = tuple(f"lib{name}.a" for name in (
    "kernel32", "user32", "gdi32", "winspool", "shell32", "ole32", "oleaut32", "uuid",
    "comdlg32", "advapi32"))

COMPONENTS = (
    Component(
        "libstdc++", "the GNU C++ standard library, from GCC", "Free Software Foundation, Inc.",
        "libstdc++-v3", ("libstdc++.a", "libsupc++.a"), gcc_releases("g++-mingw-w64-x86-64-posix"),
        ((GCC_RUNTIME, {archive: (
            "class_type_info", "del_op", "del_ops", "eh_alloc", "eh_call", "eh_catch",
            "eh_exception", "eh_globals", "eh_personality", "eh_term_handler", "eh_terminate",
            "eh_throw", "eh_type", "eh_unex_handler", "guard", "si_class_type_info", "tinfo",
            "vterminate") for archive in ("libstdc++.a", "libsupc++.a")}),
         (DEMANGLER, {"libstdc++.a": ("cp-demangle",), "libsupc++.a": ("cp-demangle",)}))),
    Component(
        "libgcc", "GCC's low-level runtime library", "Free Software Foundation, Inc.", "libgcc",
        ("libgcc.a", "libgcc_eh.a", "crtbegin.o", "crtend.o"),
        gcc_releases("gcc-mingw-w64-x86-64-posix"),
        ((GCC_RUNTIME, {"libgcc.a": ("_chkstk_ms", "_ctors"), "libgcc_eh.a": (
            "emutls", "unwind-seh"), "crtbegin.o": ("crtbegin",), "crtend.o": ("crtend",)}),)),
    Component(
        "mingw-w64-crt",
        "the MinGW-w64 C runtime: start-up code, C library additions, Windows import libraries",
        "the mingw-w64 project", "mingw-w64-crt",
        ("crt2.o", "libmingw32.a", "libmingwex.a", "libmsvcrt.a") + IMPORT_LIBRARIES,
        MINGW_W64_RELEASES,
        ((MINGW_W64_PUBLIC_DOMAIN, {
            "crt2.o": ("crt2",),
            "libmingw32.a": (
                "CRT_fp10", "_newmode", "crt_handler", "dllargv", "gccmain", "merr",
                "mingw_helpers", "natstart", "pesect", "pseudo-reloc", "pseudo-reloc-list",
                "tlsmcrt", "tlssup", "tlsthrd", "usermatherr", "wildcard", "xncommod",
                "xtxtmode"),
            # Keith Marshall's "without restriction of copyright".
            "libmingwex.a": ("mingw_vsprintf", "vsnprintf"),
            "libmsvcrt.a": ("__p__acmdln", "__p__commode", "__p__fmode", "acrt_iob_func",
                            "mbrtowc", "wcrtomb")}),
         (PFORMAT, {"libmingwex.a": ("mingw_pformat",)}),
         (GDTOA, {"libmingwex.a": ("dmisc", "gdtoa", "gmisc", "misc")}),
         # Sources without a notice of their own, and the module definition files.
         (MINGW_W64_ZPL, {
             "libmingw32.a": ("cinitexe",),
             "libmingwex.a": ("mingw_matherr", "strnlen", "wcsnlen"),
             "libmsvcrt.a": ("invalid_parameter_handler", IMPORT_ENTRIES),
             **{library: (IMPORT_ENTRIES,) for library in IMPORT_LIBRARIES}}))),
    Component(
        "winpthreads", "POSIX threads for Windows, from MinGW-w64", "the mingw-w64 project",
        "mingw-w64-libraries/winpthreads", ("libpthread.a", "libwinpthread.a"),
        MINGW_W64_RELEASES, ((WINPTHREADS, {"libpthread.a": "*", "libwinpthread.a": "*"}),)),
)
