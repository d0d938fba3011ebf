"""Saving and loading a bundle-sized file set through each storage, next to the
same steps written in plain Python on the same libraries (zipfile, tarfile,
open/shutil), in one run.

The set: a YAML document of 1 MB, a JSON model of 5 MB and 10 images of
200 KB (random bytes, as compressed images are). Rows give the best of
several rounds, run alternately (the first to run swaps every round), for save + load; the last column is the
module's time over plain Python's. Peak memory (tracemalloc) of one save +
load is given against the set's size.

Run: python benchmarks/bench_content.py [rounds]
"""
import gc
import io
import os
import random
import shutil
import sys
import tarfile
import tempfile
import time
import tracemalloc
from pathlib import Path
from zipfile import ZIP_DEFLATED, ZipFile

from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent as Content


class Plain:
    """The same procedures in plain Python."""

    def __init__(self, scorebundle_yaml, external_model_json=None, external_model_pmml=None, attached_images={}):
        self.scorebundle_yaml = scorebundle_yaml
        self.external_model_json = external_model_json
        self.external_model_pmml = external_model_pmml
        self.attached_images = attached_images

    def save_to_directory(self, directory, pmml_filename=None):
        if not os.path.exists(directory):
            os.mkdir(directory)
        for stream, name in ((self.scorebundle_yaml, "extended_model.yaml"),
                             (self.external_model_json, "external_model.json")):
            if stream is not None:
                with open(directory / name, "w", encoding="utf-8") as f:
                    stream.seek(0)
                    shutil.copyfileobj(stream, f)
        for key, image in self.attached_images.items():
            with open(directory / key, "wb") as f:
                image.seek(0)
                shutil.copyfileobj(image, f)

    @classmethod
    def load_from_directory(cls, directory):
        yaml, json, images = io.StringIO(), None, {}
        names = os.listdir(directory)
        with open(directory / "extended_model.yaml", "r", encoding="utf-8") as f:
            f.seek(0)
            shutil.copyfileobj(f, yaml)
        if "external_model.json" in names:
            json = io.StringIO()
            with open(directory / "external_model.json", "r", encoding="utf-8") as f:
                f.seek(0)
                shutil.copyfileobj(f, json)
        for name in os.listdir(directory):
            if name.endswith("json") or name.endswith("yaml") or name.endswith("pmml"):
                continue
            image = io.BytesIO()
            with open(directory / name, "rb") as f:
                f.seek(0)
                shutil.copyfileobj(f, image)
            images[name] = image
        return cls(scorebundle_yaml=yaml, external_model_json=json, external_model_pmml=None, attached_images=images)

    def save_to_tar(self):
        def add_file(archive, buffer, name):
            if isinstance(buffer, io.StringIO):
                buffer.seek(0)
                buffer = io.BytesIO(buffer.read().encode())
            info = tarfile.TarInfo(name=name)
            buffer.seek(0, os.SEEK_END)
            info.size = buffer.tell()
            buffer.seek(0)
            archive.addfile(tarinfo=info, fileobj=buffer)

        out = io.BytesIO()
        tar = tarfile.open(mode="w", fileobj=out)
        add_file(tar, self.scorebundle_yaml, "extended_model.yaml")
        if self.external_model_json is not None:
            add_file(tar, self.external_model_json, "external_model.json")
        for key, image in self.attached_images.items():
            add_file(tar, image, key)
        tar.close()
        return out

    @classmethod
    def load_from_tar(cls, tar_content):
        tar_content.seek(0)
        tar = tarfile.open(mode="r", fileobj=tar_content)
        images, json = {}, None
        for member in tar.getmembers():
            file = tar.extractfile(member)
            if file is None:
                continue
            if member.path.endswith("extended_model.yaml"):
                file.seek(0)
                yaml = io.StringIO(file.read().decode())
            elif member.path.endswith("external_model.json"):
                file.seek(0)
                json = io.StringIO(file.read().decode())
            else:
                image = io.BytesIO()
                file.seek(0)
                shutil.copyfileobj(file, image)
                images[member.path] = image
        return cls(scorebundle_yaml=yaml, external_model_json=json, external_model_pmml=None, attached_images=images)

    def save_to_zip(self, pmml_filename=None):
        def add_file(archive, buffer, name):
            if isinstance(buffer, io.StringIO):
                buffer.seek(0)
                buffer = io.BytesIO(buffer.read().encode("utf-8"))
            buffer.seek(0, os.SEEK_END)
            buffer.seek(0)
            archive.writestr(name, buffer.getvalue())

        out = io.BytesIO()
        with ZipFile(file=out, mode="w", compression=ZIP_DEFLATED) as zf:
            add_file(zf, self.scorebundle_yaml, "extended_model.yaml")
            if self.external_model_json is not None:
                add_file(zf, self.external_model_json, "external_model.json")
            for key, image in self.attached_images.items():
                add_file(zf, image, key)
        return out

    @classmethod
    def load_from_zip(cls, zip_content):
        zip_content.seek(0)
        zip_file = ZipFile(file=zip_content, mode="r")
        images, json = {}, None
        for member in zip_file.namelist():
            if member.endswith("/"):
                continue
            byte_str = zip_file.read(member)
            if member.endswith("extended_model.yaml"):
                yaml = io.StringIO(byte_str.decode("utf-8"))
            elif member.endswith("external_model.json"):
                json = io.StringIO(byte_str.decode("utf-8"))
            else:
                image = io.BytesIO()
                image.write(byte_str)
                images[member.split("/")[-1]] = image
        return cls(scorebundle_yaml=yaml, external_model_json=json, external_model_pmml=None, attached_images=images)


def make_set():
    rnd = random.Random(7)
    yaml_lines = [f"attribute_{i}:\n  bins: [{rnd.random():.6f}, {rnd.random():.6f}]\n  label: é{i}\n"
                  for i in range(20_000)]
    yaml = "".join(yaml_lines)[: 1 << 20]
    json = '{"trees": [' + ",".join(f'{{"split": {rnd.random():.9f}, "leaf": {rnd.randint(0, 9999)}}}'
                                    for i in range(200_000)) + "]}"
    json = json[: 5 << 20]
    images = {f"chart_{i}.png": rnd.randbytes(200 << 10) for i in range(10)}
    size = len(yaml.encode()) + len(json.encode()) + sum(map(len, images.values()))
    return yaml, json, images, size


def build(cls, yaml, json, images):
    return cls(scorebundle_yaml=io.StringIO(yaml), external_model_json=io.StringIO(json),
               attached_images={k: io.BytesIO(v) for k, v in images.items()})


def zip_round(c):
    return type(c).load_from_zip(c.save_to_zip())


def tar_round(c):
    return type(c).load_from_tar(c.save_to_tar())


def directory_round(c, folder):
    c.save_to_directory(folder)
    return type(c).load_from_directory(folder)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    yaml, json, images, size = make_set()
    # A memory file system when there is one: the rows compare the steps, not the disk.
    tmp = Path(tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    try:
        steps = {
            "zip save + load": zip_round,
            "tar save + load": tar_round,
            "directory save + load": lambda c: directory_round(c, tmp / type(c).__name__),
        }
        print(f"set: {size / 2**20:.1f} MB; best of {rounds} rounds (s)")
        print(f"{'':24}{'module':>10}{'plain':>10}{'ratio':>8}")
        for label, step in steps.items():
            best = {Content: float("inf"), Plain: float("inf")}
            for r in range(rounds):
                for cls in (Content, Plain) if r % 2 == 0 else (Plain, Content):
                    c = build(cls, yaml, json, images)
                    gc.collect()
                    t = time.perf_counter()
                    back = step(c)
                    best[cls] = min(best[cls], time.perf_counter() - t)
                    assert back.scorebundle_yaml.getvalue() == yaml and back.external_model_json.getvalue() == json
                    assert {k: v.getvalue() for k, v in back.attached_images.items()} == images
                    del back, c
            print(f"{label:24}{best[Content]:10.4f}{best[Plain]:10.4f}{best[Content] / best[Plain]:8.3f}")

        print(f"\npeak memory of one save + load over the set's size (tracemalloc)")
        print(f"{'':24}{'module':>10}{'plain':>10}")
        for label, step in steps.items():
            peaks = {}
            for cls in (Content, Plain):
                c = build(cls, yaml, json, images)
                tracemalloc.start()
                back = step(c)
                peaks[cls] = tracemalloc.get_traced_memory()[1] / size
                tracemalloc.stop()
                del back
            print(f"{label:24}{peaks[Content]:9.2f}x{peaks[Plain]:9.2f}x")
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
