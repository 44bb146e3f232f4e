#!/usr/bin/env python3
"""Takes the notices of release/reviewed.py from Debian's source packages again.

  upstream_notices.py OUT [SUITE...]

For each source package of the SUITEs (bookworm, trixie; all when none is
given), downloads it with `apt-get source --download-only` through an apt
configuration of its own (deb.debian.org's deb-src lines, signed by the keys
of debian-archive-keyring; the system's apt is left alone), checks the
SHA-256 that release/reviewed.py records for its archive, and writes each
notice into OUT/TREE/NAME as release/notices/ keeps it (the first lines
only, for a notice at the head of a source file). Then

  diff -r OUT release/notices

shows any difference from the copies in the tree; a package's own folder
"Third-party notices" compares the same way with OUT/TREE. Exit status 0
when every notice was written; else 1, with the reason.
"""
import hashlib
import io
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

import reviewed

MIRROR = "http://deb.debian.org/debian"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


def notices_of(source):
    return {n for c in reviewed.COMPONENTS if any(r.source == source for r in c.releases)
            for terms, _ in c.members for n in terms.notices}


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def download(source, work):
    """The source package's archive, fetched into `work` with an apt configuration there."""
    (work / "lists" / "partial").mkdir(parents=True, exist_ok=True)
    (work / "cache" / "archives" / "partial").mkdir(parents=True, exist_ok=True)
    (work / "sources.list").write_text(
        f"deb-src [signed-by={KEYRING}] {MIRROR} {source.suite} main\n")
    apt = ["-o", f"Dir::Etc::SourceList={work}/sources.list",
           "-o", "Dir::Etc::SourceParts=/dev/null",
           "-o", f"Dir::State::Lists={work}/lists", "-o", f"Dir::Cache={work}/cache"]
    subprocess.run(["apt-get", "-q"] + apt + ["update"], check=True, stdout=subprocess.DEVNULL)
    # apt-get ends with an error when any file of the source package fails to
    # come; the archive with the notices is all that is needed here.
    subprocess.run(["apt-get", "-q"] + apt + ["source", "--download-only",
                                              f"{source.package}={source.version}"],
                   cwd=work, stdout=subprocess.DEVNULL)
    if not (work / source.archive).is_file():
        raise SystemExit(f"apt-get source did not fetch {source.archive}")
    return work / source.archive


def upstream_files(archive, source, wanted):
    """{path in the upstream tree: bytes} of the `wanted` paths, from the archive (or the
    archive inside it); None for a path it lacks."""
    with tarfile.open(archive) as outer:
        tree = outer
        if source.inner:
            data = outer.extractfile(source.inner).read()
            if hashlib.sha256(data).hexdigest() != source.inner_sha256:
                raise SystemExit(f"{source.inner} in {archive.name} is not the one reviewed")
            tree = tarfile.open(fileobj=io.BytesIO(data))
        names = set(tree.getnames())
        return {p: tree.extractfile(f"{source.tree}/{p}").read()
                if f"{source.tree}/{p}" in names else None for p in wanted}


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out, suites = Path(sys.argv[1]), sys.argv[2:]
    sources = {r.source for c in reviewed.COMPONENTS for r in c.releases
               if not suites or r.source.suite in suites}
    for source in sorted(sources, key=lambda s: (s.suite, s.package)):
        notices = notices_of(source)
        with tempfile.TemporaryDirectory() as work:
            archive = download(source, Path(work))
            if sha256(archive) != source.sha256:
                print(f"{archive.name} is not the archive reviewed (SHA-256 {source.sha256})")
                return 1
            files = upstream_files(archive, source, {n.path for n in notices})
        for notice in notices:
            if files[notice.path] is None:
                print(f"{source.archive} holds no {source.tree}/{notice.path}")
                return 1
            data = files[notice.path]
            if notice.lines:
                data = b"".join(data.splitlines(keepends=True)[:notice.lines])
            target = out / source.tree / notice.name
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
        print(f"{source.package} {source.version}: {len(notices)} notices into {out / source.tree}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
