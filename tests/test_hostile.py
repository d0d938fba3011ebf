"""Bundles from anywhere: archives and documents that would inflate without bound, directories whose files
are not what they seem, saves that fail midway, and files made by other tools. Each refusal holds memory
within a bound and leaves what is stored as it was. The samples come from tests/data/make_hostile.py."""
import hashlib
import io
import os
import sys
import tarfile
import tracemalloc
import zipfile
from pathlib import Path

import pytest
from ruamel.yaml import YAML

from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent as Content
from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel
from kelvane_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml

DATA = Path(__file__).parent / "data"
HOSTILE = DATA / "hostile"
sys.path.insert(0, str(DATA))
import make_hostile  # noqa: E402

MB = 1 << 20


def peak_of(call):
    """Runs `call`, returning what it raised (or returned) and the peak of memory it allocated."""
    tracemalloc.start()
    try:
        outcome = call()
    except Exception as e:   # noqa: BLE001 - the refusal is the outcome
        outcome = e
    finally:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    return outcome, peak


# ------------------------------------------------------------ archives


def tar_with_link(size):
    """A member of `size` bytes and a link to it: the link's data is read (and counted) again."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w") as tar:
        for name, data in (("extended_model.yaml", b"a: 1\n"), ("chart.png", b"c" * size)):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
        link = tarfile.TarInfo("copy.png")
        link.type, link.linkname = tarfile.LNKTYPE, "chart.png"
        tar.addfile(link)
    return out.getvalue()


def zip_of(sizes):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("extended_model.yaml", "a: 1\n")
        for i, size in enumerate(sizes):
            zf.writestr(f"image{i}.png", b"x" * size)
    return out.getvalue()


@pytest.mark.parametrize("kind, load, max_bytes, message", [
    ("zip.zip", Content.load_from_zip, None, "'chart.png' declares 2147483648 bytes, past the limit of 1073741824"),
    ("tar.gz", Content.load_from_tar, None, "'chart.png' declares 2147483648 bytes, past the limit of 1073741824"),
    ("pax.tar.gz", Content.load_from_tar, None, "stream reaches 2147485184 bytes, past the limit of 1073741824 bytes"),
    ("sparse.tar", Content.load_from_tar, None, "'chart.png' declares 4294967296 bytes, past the limit of 1073741824"),
    ("bomb.tar.bz2", Content.load_from_tar, None, "'chart.png' declares 2147483648 bytes, past the limit of"),
    ("members.zip", Content.load_from_zip, 250_000, "'image2.png' declares 100000 bytes, past the limit of 250000"),
    ("link.tar", Content.load_from_tar, 250_000, "'copy.png' inflates past the limit of 250000 bytes (max_bytes)"),
])
def test_archives_inflating_past_the_limit_are_refused(kind, load, max_bytes, message, tmp_path):
    if kind == "zip.zip":
        make_hostile.write_zip_bomb(tmp_path / kind)
        data = (tmp_path / kind).read_bytes()
    elif kind.endswith("tar.gz"):
        make_hostile.write_gzip_tar_bomb(tmp_path / kind, kind=tarfile.XHDTYPE if kind == "pax.tar.gz" else tarfile.REGTYPE)
        data = (tmp_path / kind).read_bytes()
    elif kind == "members.zip":
        data = zip_of([100_000] * 3)
    elif kind == "link.tar":
        data = tar_with_link(200_000)
    else:
        data = (HOSTILE / kind).read_bytes()
    archive = io.BytesIO(data)
    keywords = {} if max_bytes is None else {"max_bytes": max_bytes}
    outcome, peak = peak_of(lambda: load(archive, **keywords))
    assert isinstance(outcome, ValueError) and message in str(outcome)
    assert peak < 2 * (max_bytes or 0) + 10 * MB
    assert archive.getvalue() == data and os.listdir(tmp_path) in ([], [kind])
    # Within the limit, the same archives load, holding about twice the bytes accepted.
    if max_bytes:
        loaded, peak = peak_of(lambda: load(io.BytesIO(data), max_bytes=2 * max_bytes))
        accepted = sum(len(v.getvalue()) for v in loaded.attached_images.values())
        assert len(loaded.attached_images) >= 2 and peak < 2 * accepted + MB


@pytest.mark.parametrize("load, archive", [(Content.load_from_zip, zip_of([10])), (Content.load_from_tar, tar_with_link(10))])
@pytest.mark.parametrize("max_bytes, error", [(-1, ValueError), ("1", TypeError), (True, TypeError), (1.0, TypeError)])
def test_max_bytes_is_a_keyword_int_of_at_least_0(load, archive, max_bytes, error):
    with pytest.raises(error, match="max_bytes"):
        load(io.BytesIO(archive), max_bytes=max_bytes)
    with pytest.raises(TypeError):
        load(io.BytesIO(archive), 100)
    assert load(io.BytesIO(archive), max_bytes=2 ** 70).scorebundle_yaml.getvalue() == "a: 1\n"


def test_finder_zip_loads_without_its_resource_forks():
    with open(HOSTILE / "bundle_finder.zip", "rb") as f:
        content = Content.load_from_zip(io.BytesIO(f.read()))
    assert content.scorebundle_yaml.getvalue() == "name: modèle\n"
    assert content.external_model_json.getvalue() == '{"learner": {}}\n'
    assert {k: v.getvalue() for k, v in content.attached_images.items()} == {"chart.png": b"\x89PNG\r\n\x1a\n\x00\xff"}


@pytest.mark.parametrize("storage", ["zip", "tar", "directory"])
def test_members_of_other_tools_are_not_bundle_members(storage, tmp_path):
    members = [("extended_model.yaml", b"a: 1\n"), ("__MACOSX/._extended_model.yaml", b"\xff\xfe"),
               ("._model.pmml", b"\xff"), ("d/._chart.png", b"fork"), ("chart.png", b"c"), ("._notes.txt", b"n")]
    if storage == "zip":
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w") as zf:
            for name, data in members:
                zf.writestr(name, data)
        content = Content.load_from_zip(out)
    elif storage == "tar":
        out = io.BytesIO()
        with tarfile.open(fileobj=out, mode="w") as tar:
            for name, data in members:
                info = tarfile.TarInfo(name)
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
        content = Content.load_from_tar(out)
    else:
        (tmp_path / "__MACOSX").mkdir()
        for name, data in members:
            if "/" not in name or name.startswith("__MACOSX/"):
                (tmp_path / name).write_bytes(data)
        content = Content.load_from_directory(tmp_path)
    assert content.scorebundle_yaml.getvalue() == "a: 1\n" and content.external_model_pmml is None
    assert {k: v.getvalue() for k, v in content.attached_images.items()} == {"chart.png": b"c"}


# ------------------------------------------------------------ directories


@pytest.mark.parametrize("kind, message", [
    ("link outside", "leads outside the bundle directory"),
    ("link to a device", "leads outside the bundle directory"),
    ("fifo", "is not a regular file"),
    ("socket", "is not a regular file"),
    ("folder", "is not a regular file"),
])
def test_directory_reads_only_regular_files_inside_it(kind, message, tmp_path):
    outside = tmp_path / "passwd"
    outside.write_text("root:x:0:0\n")
    folder = tmp_path / "bundle"
    if kind == "folder":
        (folder / "chart.png").mkdir(parents=True)
        (folder / "extended_model.yaml").write_text("a: 1\n")
    else:
        make_hostile.hostile_directory(folder, kind, outside)
    listing = sorted(os.listdir(folder))
    outcome, peak = peak_of(lambda: Content.load_from_directory(folder))
    assert isinstance(outcome, ValueError) and str(outcome) == f"Bundle file '{folder / 'chart.png'}' {message}"
    assert peak < MB and sorted(os.listdir(folder)) == listing and outside.read_text() == "root:x:0:0\n"
    # A link to a regular file inside the directory is read.
    os.replace(folder / "extended_model.yaml", folder / "real.yaml")
    os.symlink("real.yaml", folder / "extended_model.yaml")
    os.remove(folder / "chart.png") if kind != "folder" else os.rmdir(folder / "chart.png")
    assert Content.load_from_directory(folder).scorebundle_yaml.getvalue() == (folder / "real.yaml").read_text()


# ------------------------------------------------------------ saves


class Failing(io.BytesIO):
    def read(self, *args):
        raise OSError("the stream broke")


def stored(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


@pytest.mark.parametrize("failing", ["yaml", "json", "first image", "last image", "missing folder"])
def test_a_failed_save_leaves_the_stored_bundle_as_it_was(failing, tmp_path):
    Content(io.StringIO("old: 1\n"), io.StringIO('{"old": 1}'), None,
            {"a.png": io.BytesIO(b"old a"), "b.png": io.BytesIO(b"old b")}).save_to_directory(tmp_path)
    (tmp_path / "kept.txt").write_text("kept")
    before = stored(tmp_path)
    yaml, json = io.StringIO("new: 2\n"), io.StringIO('{"new": 2}')
    images = {"a.png": io.BytesIO(b"new a"), "b.png": io.BytesIO(b"new b")}
    if failing == "yaml":
        yaml = type("Failing", (io.StringIO,), {"read": Failing.read})("x")
    elif failing == "json":
        json = type("Failing", (io.StringIO,), {"read": Failing.read})("x")
    elif failing == "missing folder":
        images["no/such/folder.png"] = io.BytesIO(b"x")
    else:
        images["a.png" if failing == "first image" else "b.png"] = Failing(b"x")
    with pytest.raises(FileNotFoundError if failing == "missing folder" else OSError):
        Content(yaml, json, None, images).save_to_directory(tmp_path)
    assert stored(tmp_path) == before


def test_a_save_replaces_links_and_keeps_permissions(tmp_path):
    outside = tmp_path / "elsewhere.png"
    outside.write_bytes(b"precious")
    folder = tmp_path / "bundle"
    folder.mkdir()
    os.symlink(outside, folder / "chart.png")
    (folder / "extended_model.yaml").write_text("old")
    os.chmod(folder / "extended_model.yaml", 0o600)
    Content(io.StringIO("new: 2\n"), None, None, {"chart.png": io.BytesIO(b"new")}).save_to_directory(folder)
    assert outside.read_bytes() == b"precious" and not (folder / "chart.png").is_symlink()
    assert stored(folder) == {"chart.png": b"new", "extended_model.yaml": b"new: 2\n"}
    assert (folder / "extended_model.yaml").stat().st_mode & 0o777 == 0o600
    # A folder on an image key's way that leads elsewhere is refused before anything is written.
    os.symlink(tmp_path, folder / "out")
    with pytest.raises(ValueError, match="would be written outside the directory"):
        Content(io.StringIO("x"), None, None, {"out/escape.png": io.BytesIO(b"x")}).save_to_directory(folder)
    assert (folder / "extended_model.yaml").read_bytes() == b"new: 2\n" and not (tmp_path / "escape.png").exists()


# ------------------------------------------------------------ documents


@pytest.mark.parametrize("sample", ["laughs_hyperparameters.yaml", "laughs_external_model.yaml",
                                    "aliased_binnings.yaml"])
def test_documents_expanding_through_aliases_are_refused(sample):
    text = (HOSTILE / sample).read_text()
    content = Content(io.StringIO(text), None, None, {})
    outcome, peak = peak_of(lambda: ExtendedPredictiveModel.parse_from_content(content))
    assert isinstance(outcome, ValueError) and "expands through its aliases" in str(outcome)
    assert "more than 100 times its own" in str(outcome) and peak < 20 * MB
    assert content.scorebundle_yaml.getvalue() == text


@pytest.mark.parametrize("text, refused", [
    ("a: &x [1, 2]\nb: *x\nc: *x\n", False),                                 # small documents alias freely
    ("a: &x [" + ", ".join(["0"] * 2000) + "]\nb: [" + ", ".join(["*x"] * 49) + "]\n", False),   # 50 times
    ("a: &x [" + ", ".join(["0"] * 2000) + "]\nb: [" + ", ".join(["*x"] * 150) + "]\n", True),  # 150 times
    ("a: &x [*x]\n", True),                                   # holds itself: expands without end
])
def test_the_alias_bound(text, refused):
    content = Content(io.StringIO("attributes: [a]\ndescription:\n  hyperparameters:\n    " + text.replace("\n", "\n    ")),
                      None, None, {})
    if refused:
        with pytest.raises(ValueError, match="expands through its aliases"):
            ExtendedPredictiveModel.parse_from_content(content)
    else:
        try:
            ExtendedPredictiveModel.parse_from_content(content)
        except ValueError as e:
            assert "aliases" not in str(e)


def test_the_writer_writes_no_aliases():
    shared = {"depth": [1, 2, 3]}
    m = ExtendedPredictiveModel(attributes=["a"], description={"hyperparameters": {"x": shared, "y": shared}},
                                preparation={"binning": ExtendedPredictiveModel.model_fields["preparation"].default
                                             .add_discretisation({"a": {"dtype": "NUMERICAL", "bins": [0, 1, 2]}})})
    text = m.get_content().scorebundle_yaml.getvalue()
    assert "&" not in text and "*" not in text and text.count("- 1\n") == 2


# ------------------------------------------------------------ the YAML library


def test_documents_load_with_the_c_loader():
    assert YAML(typ="safe").Parser.__module__.endswith("_ruamel_yaml")
    # Only the C loader takes a tab after a colon.
    assert safe_loads_yaml("a:\tb\n") == {"a": "b"}


def test_the_dump_of_a_bundle_sized_document_is_pinned():
    sys.path.insert(0, str(Path(__file__).parent.parent / "benchmarks"))
    from bench_bundle import bundle_input

    document = bundle_input(n_attributes=200, n_trees=1)
    del document["external_model"]
    text = valid_dumps_yaml(ExtendedPredictiveModel.model_validate(document))
    assert len(text) > 100_000
    assert hashlib.sha256(text.encode()).hexdigest() == PINNED_DUMP


PINNED_DUMP = "3db68df22447ba2ae7d8695f5a8a76484888bdcac8924f47f79683df1d87ad50"
