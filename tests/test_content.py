"""The bundle file set and its storages: directory, zip and tar archives."""
import inspect
import io
import os
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from kelvane_analytics_utils.predictive_models import content as module
from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent as Content

DATA = Path(__file__).parent / "data"
YAML = "name: modèle\nnote: ünïcode ✓\n"
PMML = '<?xml version="1.0"?>\n<PMML version="4.4"/>\n'


def make(json='{"learner": {}}', pmml=None, images=None):
    return Content(
        scorebundle_yaml=io.StringIO(YAML),
        external_model_json=None if json is None else io.StringIO(json),
        external_model_pmml=None if pmml is None else io.StringIO(pmml),
        attached_images={k: io.BytesIO(v) for k, v in (images or {}).items()},
    )


def texts(c):
    def value(s):
        return None if s is None else s.getvalue()

    images = {k: v.getvalue() for k, v in c.attached_images.items()}
    return value(c.scorebundle_yaml), value(c.external_model_json), value(c.external_model_pmml), images


def zip_of(members):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as zf:
        for name, data in members:
            zf.writestr(name, data)
    return out


def tar_of(members):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w") as tar:
        for name, data in members:
            info = tarfile.TarInfo(name)
            if data is None:
                info.type = tarfile.DIRTYPE
                tar.addfile(info)
            else:
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
    return out


def test_declaration():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == ["BytesIO", "StringIO", "os", "Path", "shutil", "tarfile", "Dict", "Union", "Optional",
                     "ZipFile", "ZIP_DEFLATED", "ExtendedPredictiveModelContent"]
    assert Content.__bases__ == (object,) and Content.__doc__ is None
    assert Content.__annotations__ == {
        "scorebundle_yaml": "StringIO",
        "external_model_json": "Optional[StringIO]",
        "external_model_pmml": "Optional[StringIO]",
        "attached_images": "Dict[str, BytesIO]",
    }
    assert Content.external_model_json is None and Content.external_model_pmml is None
    assert not hasattr(Content, "scorebundle_yaml") and not hasattr(Content, "attached_images")
    methods = [n for n in vars(Content) if n in {"__init__"} or n.startswith(("save_", "load_"))]
    assert methods == ["__init__", "save_to_directory", "save_to_tar", "save_to_zip",
                       "load_from_directory", "load_from_tar", "load_from_zip"]
    for name in ("load_from_directory", "load_from_tar", "load_from_zip"):
        assert isinstance(vars(Content)[name], classmethod)
    signatures = {n: str(inspect.signature(getattr(Content, n))) for n in methods}
    assert signatures == {
        "__init__": "(self, scorebundle_yaml: 'StringIO', external_model_json: 'Optional[StringIO]' = None, "
                    "external_model_pmml: 'Optional[StringIO]' = None, attached_images: 'Dict[str, BytesIO]' = {}) "
                    "-> 'None'",
        "save_to_directory": "(self, directory: 'Path', pmml_filename: 'Optional[str]' = None) -> 'None'",
        "save_to_tar": "(self) -> 'BytesIO'",
        "save_to_zip": "(self, pmml_filename: 'Optional[str]' = None) -> 'BytesIO'",
        "load_from_directory": "(directory: 'Path') -> \"'ExtendedPredictiveModelContent'\"",
        "load_from_tar": "(tar_content: 'BytesIO', *, max_bytes: 'int' = 1073741824) -> "
                         "\"'ExtendedPredictiveModelContent'\"",
        "load_from_zip": "(zip_content: 'BytesIO', *, max_bytes: 'int' = 1073741824) -> "
                         "\"'ExtendedPredictiveModelContent'\"",
    }


def test_init_stores_the_given_objects_and_a_new_default_mapping():
    yaml, images = io.StringIO(), {"a": io.BytesIO()}
    c = Content(yaml, None, None, images)
    assert c.scorebundle_yaml is yaml and c.attached_images is images
    assert list(vars(c)) == ["scorebundle_yaml", "external_model_json", "external_model_pmml", "attached_images"]
    first, second = Content(io.StringIO()), Content(scorebundle_yaml=io.StringIO())
    first.attached_images["x.png"] = io.BytesIO(b"x")
    assert second.attached_images == {} and Content(io.StringIO()).attached_images == {}


class Sub(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Content(io.StringIO(), attached_images=None),
         "Argument 'attached_images' has incorrect type (expected dict, got NoneType)"),
        (lambda: Content(io.StringIO(), attached_images=type("D", (dict,), {})()),
         "Argument 'attached_images' has incorrect type (expected dict, got D)"),
        (lambda: make().save_to_zip(1), "Argument 'pmml_filename' has incorrect type (expected str, got int)"),
        (lambda: make().save_to_directory(Path("."), Sub("m.pmml")),
         "Argument 'pmml_filename' has incorrect type (expected str, got Sub)"),
        (lambda: make(images={1: b"x"}).save_to_zip(), "Expected str, got int"),
        (lambda: make(images={Sub("a.png"): b"x"}).save_to_tar(), "Expected str, got Sub"),
    ],
)
def test_argument_types(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def streams(c):
    return [c.scorebundle_yaml, c.external_model_json, c.external_model_pmml]


@pytest.mark.parametrize("storage", ["directory", "zip", "tar"])
def test_round_trip_and_stream_positions(storage, tmp_path):
    images = {"a.png": b"\x89PNG\x00\xff", "charts/b.png": b"\x00" * 3000}
    if storage == "directory":   # a sub-folder in the listing is not readable as an image
        del images["charts/b.png"]
    c = make(json='{"é": 1}', pmml=PMML, images=images)
    derived = type("Derived", (Content,), {})   # loads build the base class all the same
    if storage == "directory":
        c.save_to_directory(tmp_path / "set", "scorecard.pmml")
        back = derived.load_from_directory(tmp_path / "set")
    else:
        out = c.save_to_zip("scorecard.pmml") if storage == "zip" else c.save_to_tar()
        assert out.tell() > 0 and out.read() == b""
        out.seek(5)   # loads rewind their input
        back = getattr(derived, f"load_from_{storage}")(out)
    assert [s.tell() for s in streams(c)] == [len(YAML), 8, len(PMML)]
    assert [s.tell() for s in c.attached_images.values()] == [0 if storage == "zip" else len(v) for v in images.values()]
    if storage == "zip":
        images = {"a.png": images["a.png"], "b.png": images["charts/b.png"]}
    assert type(back) is Content
    assert texts(back) == (YAML, '{"é": 1}', PMML, images)
    assert [s.tell() for s in streams(back)] == ([len(YAML), 8, len(PMML)] if storage == "directory" else [0, 0, 0])
    assert [s.tell() for s in back.attached_images.values()] == [len(v) for v in images.values()]


def test_directory_save_names_and_replacement(tmp_path):
    (tmp_path / "external_model.pmml").write_text("old")
    (tmp_path / "kept.txt").write_text("kept")
    make(json=None, pmml=PMML).save_to_directory(tmp_path, "")
    assert sorted(os.listdir(tmp_path)) == ["extended_model.yaml", "external_model.pmml", "kept.txt"]
    assert (tmp_path / "external_model.pmml").read_text() == PMML
    make(json=None, pmml=PMML).save_to_directory(tmp_path / "x", "model.xml")
    assert texts(Content.load_from_directory(tmp_path / "x")) == (YAML, None, None, {"model.xml": PMML.encode()})


def test_directory_reading_rules(tmp_path):
    files = {"extended_model.yaml": YAML, "notes.json": "{}", "chart.json": "{}", "model.PMML": "P", "a.pmml": "A",
             "b.pmml": "B", "c.yml": "C", "xjson": "X"}
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    first_pmml = next(n for n in os.listdir(tmp_path) if n.endswith(".pmml"))
    assert texts(Content.load_from_directory(tmp_path)) == (
        YAML, None, files[first_pmml], {"model.PMML": b"P", "c.yml": b"C"})


@pytest.mark.parametrize("kind", ["zip", "tar"])
def test_archive_reading_rules(kind):
    members = [("extended_model.yaml", b"first"), ("notes.yaml", b"n"), ("other.json", b"o"), ("m.PMML", b"M"),
               ("d/extended_model.yaml", YAML.encode()), ("a.pmml", b"A"), ("d/b.pmml", b"B"),
               ("external_model.json.png", b"j"), ("d/e/external_model.json", b"{}"), ("d/e/pic.png", b"p")]
    if kind == "zip":
        c = Content.load_from_zip(zip_of(members + [("d/", b"")]))
        key = "pic.png"
    else:
        c = Content.load_from_tar(tar_of(members + [("d", None)]))
        key = "d/e/pic.png"
    images = {"notes.yaml": b"n", "other.json": b"o", "m.PMML": b"M", "external_model.json.png": b"j", key: b"p"}
    assert texts(c) == (YAML, "{}", "B", images)


def test_archives_made_by_other_tools():
    notes = "".join(f"key_{i}: value\n" for i in range(1, 41)).encode()
    chart = b"\x89PNG\r\n\x1a\n\x00\xff"
    with open(DATA / "bundle_cli.zip", "rb") as f:
        from_zip = Content.load_from_zip(io.BytesIO(f.read()))
    with open(DATA / "bundle_gnu.tar", "rb") as f:
        from_tar = Content.load_from_tar(io.BytesIO(f.read()))
    text = ("name: modèle\n", '{"learner": {}}\n', None)
    assert texts(from_zip) == (*text, {"notes.yaml": notes, "chart.png": chart})
    assert texts(from_tar) == (*text, {"bundle/images/chart.png": chart, "bundle/notes.yaml": notes})


def test_single_member_archives_and_utf8_size():
    c = make(json=None)
    with zipfile.ZipFile(c.save_to_zip()) as zf:
        assert zf.namelist() == ["extended_model.yaml"]
        assert zf.getinfo("extended_model.yaml").compress_type == zipfile.ZIP_DEFLATED
    with tarfile.open(fileobj=io.BytesIO(c.save_to_tar().getvalue())) as tar:
        (info,) = tar.getmembers()
        assert (info.name, info.size, info.mtime, info.mode, info.uname) == (
            "extended_model.yaml", len(YAML.encode()), 0, 0o644, "")


@pytest.mark.parametrize("key", ["../escape.png", "/tmp/absolute.png", "sub/../../escape.png"])
def test_directory_refuses_keys_leaving_it(key, tmp_path):
    target = tmp_path / "set"
    c = make(images={"fine.png": b"f", key: b"x"})
    with pytest.raises(ValueError, match="would be written outside") as err:
        c.save_to_directory(target)
    assert repr(key) in str(err.value)
    assert os.listdir(tmp_path) == []


def test_directory_keeps_keys_staying_inside(tmp_path):
    (tmp_path / "sub").mkdir()
    make(images={"sub/../inside.png": b"i", "sub/x.png": b"x"}).save_to_directory(tmp_path)
    assert (tmp_path / "inside.png").read_bytes() == b"i" and (tmp_path / "sub" / "x.png").read_bytes() == b"x"


def test_directory_text_is_read_as_utf8_whatever_the_locale(tmp_path):
    make(json='{"é": "✓"}').save_to_directory(tmp_path)
    code = ("import sys; from pathlib import Path; from kelvane_analytics_utils.predictive_models.content import "
            "ExtendedPredictiveModelContent as C; c = C.load_from_directory(Path(sys.argv[1])); "
            "print(ascii(c.scorebundle_yaml.getvalue() + c.external_model_json.getvalue()))")
    env = dict(os.environ, LC_ALL="C", PYTHONCOERCECLOCALE="0", PYTHONUTF8="0")
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path)], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == ascii(YAML + '{"é": "✓"}')


@pytest.mark.parametrize("load, archive", [(Content.load_from_zip, zip_of([("d/", b""), ("d/other.yaml", b"x")])),
                                           (Content.load_from_tar, tar_of([("d", None), ("d/x.json", b"{}")]))])
def test_archive_without_yaml(load, archive):
    with pytest.raises(UnboundLocalError, match='holds no member "extended_model.yaml"'):
        load(archive)


def tar_with_links(links):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w") as tar:
        info = tarfile.TarInfo("extended_model.yaml")
        info.size = 2
        tar.addfile(info, io.BytesIO(b"a:"))
        for name, kind, target in links:
            info = tarfile.TarInfo(name)
            info.type, info.linkname = kind, target
            tar.addfile(info)
    return out


@pytest.mark.parametrize(
    "links, outcome",
    [
        ([("dev", tarfile.CHRTYPE, ""), ("fifo", tarfile.FIFOTYPE, ""), ("ln", tarfile.SYMTYPE, "extended_model.yaml")],
         {"ln": b"a:"}),
        ([("ln", tarfile.SYMTYPE, "missing")], KeyError),
        ([("a", tarfile.SYMTYPE, "b"), ("b", tarfile.SYMTYPE, "a")], RecursionError),
    ],
)
def test_tar_links_and_devices(links, outcome):
    if isinstance(outcome, dict):
        assert texts(Content.load_from_tar(tar_with_links(links))) == ("a:", None, None, outcome)
    else:
        with pytest.raises(outcome):
            Content.load_from_tar(tar_with_links(links))


zip_bytes = make(images={"a.png": b"a" * 5000}).save_to_zip().getvalue()
tar_bytes = make(images={"a.png": b"a" * 5000}).save_to_tar().getvalue()


@pytest.mark.parametrize(
    "load, data, error",
    [
        (Content.load_from_zip, b"", zipfile.BadZipFile),
        (Content.load_from_zip, b"not an archive" * 50, zipfile.BadZipFile),
        (Content.load_from_zip, tar_bytes, zipfile.BadZipFile),
        (Content.load_from_zip, zip_bytes[: len(zip_bytes) // 2], zipfile.BadZipFile),
        (Content.load_from_zip, zip_bytes[:60] + b"\0" * 40 + zip_bytes[100:], zipfile.BadZipFile),
        (Content.load_from_tar, b"", tarfile.ReadError),
        (Content.load_from_tar, zip_bytes, tarfile.ReadError),
        (Content.load_from_tar, tar_bytes[:700], tarfile.ReadError),
        (Content.load_from_zip, zip_of([("extended_model.yaml", b"\xff\xfe")]).getvalue(), UnicodeDecodeError),
        (Content.load_from_tar, tar_of([("a/external_model.json", b"\xc3")]).getvalue(), UnicodeDecodeError),
    ],
)
def test_bad_archives(load, data, error):
    with pytest.raises(error):
        load(io.BytesIO(data))


def test_zip_with_many_members():
    members = [("extended_model.yaml", b"a: 1")] + [(f"d{i % 7}/m{i}.bin", b"%d" % i) for i in range(10_000)]
    c = Content.load_from_zip(zip_of(members))
    assert len(c.attached_images) == 10_000 and c.attached_images["m9999.bin"].getvalue() == b"9999"


def test_references_are_released(tmp_path):
    c = make(pmml=PMML, images={"a.png": b"abc"})
    held = [c.scorebundle_yaml, c.external_model_pmml, c.attached_images["a.png"], c.attached_images]
    before = [sys.getrefcount(o) for o in held]
    for _ in range(20):
        Content.load_from_zip(c.save_to_zip("p.pmml"))
        Content.load_from_tar(c.save_to_tar())
        c.save_to_directory(tmp_path)
        Content.load_from_directory(tmp_path)
    assert [sys.getrefcount(o) for o in held] == before
