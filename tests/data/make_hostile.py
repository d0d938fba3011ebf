"""Hostile bundles: archives that inflate far beyond their size, documents whose aliases expand them,
directories whose files are not what they seem, and a zip made the way the macOS Finder makes one.

Run by hand from the repository root to (re)write the committed samples in tests/data/hostile/:

    .venv/bin/python tests/data/make_hostile.py

It needs only the standard library (bz2 compression of 2 GiB takes about half a minute). The tests import
the builders below for the samples they make while they run: large archives are written to a file in
fixed blocks (never held whole in memory), directories are laid out in a temporary folder.
"""
import bz2
import os
import socket
import struct
import tarfile
import zipfile
import zlib
from pathlib import Path

HOSTILE = Path(__file__).resolve().parent / "hostile"
GIB = 1 << 30
BLOCK = 1 << 20
YAML = b"attributes:\n- age\n"


# ------------------------------------------------------------ archives


def _deflated_zeros(size):
    """Raw deflate data of `size` zero bytes, yielded block by block: one block compressed once, then repeated
    (a full flush makes every block's output the same), so 2 GiB take a fraction of a second."""
    assert size % BLOCK == 0
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    zeros = bytes(BLOCK)
    first = compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH)
    repeated = compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH)
    yield first
    for _ in range(size // BLOCK - 1):
        yield repeated
    yield compressor.flush(zlib.Z_FINISH)


def _crc_of_zeros(size):
    crc, zeros = 0, bytes(BLOCK)
    for _ in range(size // BLOCK):
        crc = zlib.crc32(zeros, crc)
    return crc


def write_zip_bomb(path, size=2 * GIB, name="chart.png"):
    """A zip holding extended_model.yaml and one deflated member of `size` zero bytes (about 1/1000 of it)."""
    with open(path, "w+b") as out:
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as zf:
            zf.writestr("extended_model.yaml", YAML)
        out.seek(0)
        head = out.read()
        # The central directory of the small archive is rewritten after the bomb member.
        end = head.rindex(b"PK\x05\x06")
        entries = head[head.index(b"PK\x01\x02"):end]
        offset = head.index(b"PK\x01\x02")
        out.seek(offset)
        out.truncate()
        raw_name = name.encode()
        local = out.tell()
        out.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0x21, 0, 0, 0, len(raw_name), 0) + raw_name)
        compressed = 0
        for piece in _deflated_zeros(size):
            out.write(piece)
            compressed += len(piece)
        crc = _crc_of_zeros(size)
        directory_start = out.tell()
        out.seek(local + 14)
        out.write(struct.pack("<III", crc, compressed, size))
        out.seek(directory_start)
        bomb_entry = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0x21, crc, compressed, size,
                                 len(raw_name), 0, 0, 0, 0, 0o644 << 16, local) + raw_name
        out.write(entries + bomb_entry)
        directory_size = out.tell() - directory_start
        out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 2, 2, directory_size, directory_start, 0))


def write_gzip_tar_bomb(path, size=2 * GIB, kind=tarfile.REGTYPE):
    """A tar.gz whose second member, after extended_model.yaml, is `size` zero bytes: a file, or (kind
    tarfile.XHDTYPE) an extended header, which a tar reader reads whole before the member it describes."""
    with open(path, "wb") as out:
        out.write(b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff")   # gzip header: deflate, no name, no time
        compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
        head = _tar_header("extended_model.yaml", len(YAML)) + YAML.ljust(512, b"\0")
        head += _tar_header("chart.png", size, kind)
        out.write(compressor.compress(head) + compressor.flush(zlib.Z_FULL_FLUSH))
        for piece in _deflated_zeros(size):   # the member's data, then the end-of-archive blocks (zeros)
            out.write(piece)
        crc = zlib.crc32(head)
        for _ in range(size // BLOCK):
            crc = zlib.crc32(bytes(BLOCK), crc)
        out.write(struct.pack("<II", crc, (len(head) + size) & 0xFFFFFFFF))


def _tar_header(name, size, kind=tarfile.REGTYPE):
    info = tarfile.TarInfo(name)
    info.size, info.type = size, kind
    return info.tobuf(tarfile.GNU_FORMAT)


def sparse_tar(declared=4 * GIB):
    """A GNU sparse member declaring `declared` bytes that stores one block of data (old GNU sparse header)."""
    header = bytearray(_tar_header("chart.png", 512, tarfile.GNUTYPE_SPARSE))
    # One sparse entry (offset, numbytes) at 386, isextended at 482, realsize at 483, then the checksum again.
    header[386:398] = b"%011o\0" % (declared - 512)
    header[398:410] = b"%011o\0" % 512
    header[482] = 0
    header[483:495] = b"%011o\0" % declared
    header[148:156] = b" " * 8
    header[148:156] = b"%06o\0 " % sum(header)
    yaml = _tar_header("extended_model.yaml", len(YAML)) + YAML.ljust(512, b"\0")
    return yaml + bytes(header) + b"\x01" * 512 + bytes(1024)


def write_bz2_tar_bomb(path, size=2 * GIB):
    """A tar.bz2 of extended_model.yaml and `size` zero bytes, compressed as it is written (about 1.5 KiB)."""
    compressor = bz2.BZ2Compressor(9)
    with open(path, "wb") as out:
        out.write(compressor.compress(_tar_header("extended_model.yaml", len(YAML)) + YAML.ljust(512, b"\0")))
        out.write(compressor.compress(_tar_header("chart.png", size)))
        zeros = bytes(BLOCK)
        for _ in range(size // BLOCK):
            out.write(compressor.compress(zeros))
        out.write(compressor.compress(bytes(1024)))
        out.write(compressor.flush())


def finder_zip():
    """The tree of bundle_cli.zip zipped as the Finder does: folder entries first, and beside each file an
    AppleDouble resource fork under __MACOSX/ (binary: not UTF-8)."""
    apple_double = (b"\x00\x05\x16\x07\x00\x02\x00\x00Mac OS X        \x00\x02\x00\x00\x00\x09\x00\x00\x00\x32"
                    b"\x00\x00\x0e\xb0\x00\x00\x00\x02\x00\x00\x0e\xe2\x00\x00\x01\x1e" + b"\x00" * 30
                    + b"ATTR\x00\x00\x00\x00\xff\xfe\x8a" + b"com.apple.quarantine\x000081;6789abcd;Safari;")
    files = [("bundle/extended_model.yaml", "name: modèle\n".encode()),
             ("bundle/external_model.json", b'{"learner": {}}\n'),
             ("bundle/images/chart.png", b"\x89PNG\r\n\x1a\n\x00\xff")]
    members = [("bundle/", b""), ("bundle/images/", b"")]
    for name, data in files:
        folder, _, leaf = name.rpartition("/")
        members += [(name, data), (f"__MACOSX/{folder}/._{leaf}", apple_double)]
    members.insert(2, ("__MACOSX/", b""))
    members.insert(3, ("__MACOSX/bundle/", b""))
    out = Path(HOSTILE / "bundle_finder.zip")
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in members:
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.create_system = 3
            info.external_attr = ((0o40755 if name.endswith("/") else 0o100644) << 16) | (0x10 if name.endswith("/") else 0)
            info.compress_type = zipfile.ZIP_STORED if name.endswith("/") else zipfile.ZIP_DEFLATED
            zf.writestr(info, data)


# ------------------------------------------------------------ documents


def laughs(indent, levels=9, width=10):
    """Nested aliases: level i is a list of `width` aliases of level i - 1 (10^9 leaves for 9 levels)."""
    pad = " " * indent
    lines = [f"{pad}l0: &l0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]"]
    for i in range(1, levels + 1):
        lines.append(f"{pad}l{i}: &l{i} [" + ", ".join([f"*l{i - 1}"] * width) + "]")
    return "\n".join(lines) + "\n"


def aliased_binnings(k=1000):
    """k binnings that are aliases of one binning whose k bins are aliases of one bin."""
    bins = "[&n {type: NUMERICAL, id: 1, lower_bound: 0, upper_bound: 1, value: 1.0}" + ", *n" * (k - 1) + "]"
    return ("attributes:\n- x\npreparation:\n  binning:\n  - &b\n    attribute: x\n    attribute_data_type: NUMERICAL\n"
            f"    discretisation: {bins}\n" + "  - *b\n" * (k - 1))


DOCUMENTS = {
    "laughs_hyperparameters.yaml": "attributes:\n- age\ndescription:\n  hyperparameters:\n" + laughs(4),
    "laughs_external_model.yaml": "attributes:\n- age\nexternal_model:\n" + laughs(2),
    "aliased_binnings.yaml": aliased_binnings(),
}


# ------------------------------------------------------------ directories


def hostile_directory(folder, kind, outside):
    """A bundle directory in `folder` whose chart.png is: a link to the file `outside`, a link to /dev/zero,
    a FIFO or a socket."""
    folder.mkdir(exist_ok=True)
    (folder / "extended_model.yaml").write_bytes(YAML)
    chart = folder / "chart.png"
    if kind == "link outside":
        os.symlink(outside, chart)
    elif kind == "link to a device":
        os.symlink("/dev/zero", chart)
    elif kind == "fifo":
        os.mkfifo(chart)
    elif kind == "socket":
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(str(chart))
    return chart


if __name__ == "__main__":
    HOSTILE.mkdir(exist_ok=True)
    for file_name, text in DOCUMENTS.items():
        (HOSTILE / file_name).write_text(text)
    (HOSTILE / "sparse.tar").write_bytes(sparse_tar())
    write_bz2_tar_bomb(HOSTILE / "bomb.tar.bz2")
    finder_zip()
    for path in sorted(HOSTILE.iterdir()):
        print(f"{path.name}: {path.stat().st_size} bytes")
