"""Bundle file sets through zip and tar archives: generated sets come back
equal, and corrupt, truncated or hostile archives end in an exception, never
in a crash or a SystemError."""
import io
import tarfile
import zipfile

import pytest
from hypothesis import given, strategies as st

from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent as Content
from fuzz.common import TEXT, same

# Member names (archives cannot name lone surrogates: no surrogates here).
NAMES = st.sampled_from(["a.png", "b/c.jpg", "../up.png", "/abs.png", "x" * 200 + ".png", "é.png", "extended_model.yaml",
                         "external_model.json", "m.pmml", ".png", "a.PNG"]) | st.text(min_size=1, max_size=8)
SAFE_TEXT = st.text(max_size=40)   # what a text stream can carry through UTF-8


def _state(content):
    def text(s):
        return None if s is None else s.getvalue()
    return (text(content.scorebundle_yaml), text(content.external_model_json), text(content.external_model_pmml),
            sorted((k, v.getvalue()) for k, v in content.attached_images.items()))


@given(yaml=SAFE_TEXT, json=st.none() | SAFE_TEXT, pmml=st.none() | SAFE_TEXT,
       images=st.dictionaries(st.sampled_from(["a.png", "b.jpg", "c.svg"]), st.binary(max_size=30), max_size=2),
       cut=st.integers(0, 400), flip=st.integers(0, 400), kind=st.sampled_from(["zip", "tar"]))
def test_archives_round_trip_and_refuse_damage(yaml, json, pmml, images, cut, flip, kind):
    def made():
        return Content(io.StringIO(yaml), None if json is None else io.StringIO(json),
                       None if pmml is None else io.StringIO(pmml), {k: io.BytesIO(v) for k, v in images.items()})
    save, load = ((lambda c: c.save_to_zip(), Content.load_from_zip) if kind == "zip"
                  else (lambda c: c.save_to_tar(), Content.load_from_tar))
    data = save(made()).getvalue()
    same(f"{kind} round trip", lambda: _state(load(io.BytesIO(data))), lambda: _state(made()))
    damaged = bytearray(data[:cut] if cut < len(data) else data)
    if damaged and flip < len(damaged):
        damaged[flip] ^= 0x5A
    same(f"{kind} damaged", lambda: _state(load(io.BytesIO(bytes(damaged)))),
         lambda: _state(load(io.BytesIO(bytes(damaged)))))


@pytest.mark.filterwarnings("ignore:Duplicate name")   # duplicates are one of the hostile cases
@given(members=st.lists(st.tuples(NAMES, st.binary(max_size=20)), max_size=4), kind=st.sampled_from(["zip", "tar"]))
def test_hostile_member_names(members, kind):
    buffer = io.BytesIO()
    if kind == "zip":
        with zipfile.ZipFile(buffer, "w") as z:
            for name, data in members:
                z.writestr(name, data)
        load = Content.load_from_zip
    else:
        with tarfile.open(fileobj=buffer, mode="w") as t:
            for name, data in members:
                info = tarfile.TarInfo(name)
                info.size = len(data)
                t.addfile(info, io.BytesIO(data))
        load = Content.load_from_tar
    data = buffer.getvalue()
    same(f"{kind} hostile names", lambda: _state(load(io.BytesIO(data))), lambda: _state(load(io.BytesIO(data))))
