"""Loading bundles from anywhere: what the bounds cost on normal bundles, and how fast and how lightly hostile
ones are refused.

Tables:
  1. Normal loads (the fastest of many runs, in rounds alternating between the builds): an 8 MB bundle (200 attributes, a 2,200-tree XGBoost document, two 1 MB images) through
     load_from_zip and load_from_tar, and the 200-binning bundle of bench_bundle.py through parse_from_content
     and through load_from_zip + parse_from_content. With --baseline PYTHON the same steps run, interleaved, in
     another interpreter that has another build of the package (e.g. the main branch's, built into a second
     virtual environment whose ruamel.yaml came without ruamel.yaml.clib, as pip resolves it there); the ratio
     column is baseline time / this build's time.
  2. Archive bombs of 2 GiB (a zip, a tar.gz, a GNU sparse tar declaring 4 GiB, a tar.bz2): time to the
     refusal and the memory added to the process's peak (ru_maxrss), each in a fresh interpreter.
     Within this interpreter, the YAML document of the 200-binning bundle is loaded by safe_loads_yaml (the C
     loader of ruamel.yaml.clib) and by ruamel.yaml's pure-Python loader.
  3. Alias bombs (tests/data/hostile/*.yaml): time of parse_from_content to the refusal.

Run: python benchmarks/bench_hostile.py [--baseline /path/to/other/venv/bin/python]

Where the machine is too noisy for the timings of table 1, count instructions: write the files once, then
run N loads of one archive under callgrind in either build, with N = 0 and N = 3; the difference / 3 is one
load:
    python benchmarks/bench_hostile.py --write /tmp/bundles
    valgrind --tool=callgrind --callgrind-out-file=/dev/null PYTHON benchmarks/bench_hostile.py \
        --loads zip 3 /tmp/bundles
"""
import argparse
import io
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE.parent / "tests" / "data"
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(DATA))


def timed(call, repeat):
    """The fastest of `repeat` runs: on a shared, noisy machine the least disturbed one."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


# ------------------------------------------------------------ the files


def write_normal_files(folder):
    from bench_bundle import bundle_input
    from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel

    document = bundle_input(200, 2200)
    for image in document["description"]["attached_images"]:
        image["image"] = os.urandom(1 << 20)
    content = ExtendedPredictiveModel.model_validate(document).get_content()
    (folder / "normal.zip").write_bytes(content.save_to_zip().getvalue())
    (folder / "normal.tar").write_bytes(content.save_to_tar().getvalue())
    binnings = ExtendedPredictiveModel.model_validate(bundle_input(200, 300)).get_content()
    (folder / "binnings.zip").write_bytes(binnings.save_to_zip().getvalue())
    sizes = {k: sum(len(s.getvalue()) for s in [content.scorebundle_yaml, content.external_model_json,
                                                  *content.attached_images.values()])
             for k in ["normal"]}
    return sizes["normal"]


def measure_loads(folder, repeat):
    """Median seconds of each normal load, in this interpreter."""
    from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent as Content
    from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel

    zipped, tarred = (folder / "normal.zip").read_bytes(), (folder / "normal.tar").read_bytes()
    binnings = (folder / "binnings.zip").read_bytes()
    loaded = Content.load_from_zip(io.BytesIO(binnings))
    return {
        "load_from_zip, 8 MB bundle": timed(lambda: Content.load_from_zip(io.BytesIO(zipped)), repeat),
        "load_from_tar, 8 MB bundle": timed(lambda: Content.load_from_tar(io.BytesIO(tarred)), repeat),
        "parse_from_content, 200 binnings": timed(lambda: ExtendedPredictiveModel.parse_from_content(loaded), 3),
        "load_from_zip + parse_from_content, 200 binnings": timed(
            lambda: ExtendedPredictiveModel.parse_from_content(Content.load_from_zip(io.BytesIO(binnings))), 3),
    }


# ------------------------------------------------------------ bombs, each in a fresh interpreter


def refuse_bomb(kind, path):
    from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent as Content

    load = Content.load_from_zip if kind.endswith("zip") else Content.load_from_tar
    archive = io.BytesIO(Path(path).read_bytes())
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    try:
        load(archive)
        outcome = "loaded"
    except ValueError as e:
        outcome = str(e)
    seconds = time.perf_counter() - start
    extra = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    print(json.dumps({"seconds": seconds, "extra_mb": extra, "outcome": outcome}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", help="another interpreter with another build of the package")
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    parser.add_argument("--bomb", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--write", help="write the normal bundle's archives into this folder, and stop")
    parser.add_argument("--loads", nargs=3, metavar=("KIND", "N", "FOLDER"),
                        help="load FOLDER/normal.KIND (zip or tar) N times, and stop")
    args = parser.parse_args()
    if args.write:
        Path(args.write).mkdir(parents=True, exist_ok=True)
        write_normal_files(Path(args.write))
        return
    if args.loads:
        from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent as Content

        kind, n, folder = args.loads
        data = (Path(folder) / f"normal.{kind}").read_bytes()
        load = Content.load_from_zip if kind == "zip" else Content.load_from_tar
        for _ in range(int(n)):
            load(io.BytesIO(data))
        return
    if args.measure:
        print(json.dumps(measure_loads(Path(args.measure), 15)))
        return
    if args.bomb:
        refuse_bomb(*args.bomb)
        return

    import make_hostile
    from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent as Content
    from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        size = write_normal_files(folder)
        print(f"1. Normal loads (fastest run, s; the bundle's files hold {size / 1e6:.1f} MB; "
              f"the two builds alternate in rounds)")
        rounds = 4 if args.baseline else 1
        now, base = [], []
        for _ in range(rounds):
            now.append(measure_loads(folder, 15))
            if args.baseline:
                out = subprocess.run([args.baseline, __file__, "--measure", str(folder)], capture_output=True,
                                     text=True, check=True)
                base.append(json.loads(out.stdout))
        header = f"   {'step':<50} {'this build':>11}"
        if base:
            header += f" {'baseline':>10} {'ratio':>7}"
        print(header)
        for step in now[0]:
            mine = min(r[step] for r in now)
            line = f"   {step:<50} {mine:>11.4f}"
            if base:
                theirs = min(r[step] for r in base)
                line += f" {theirs:>10.4f} {theirs / mine:>6.2f}x"
            print(line)

        from ruamel.yaml import YAML
        from kelvane_analytics_utils.utils.dump import safe_loads_yaml

        document = Content.load_from_zip(io.BytesIO((folder / "binnings.zip").read_bytes())).scorebundle_yaml.getvalue()
        c_load = timed(lambda: safe_loads_yaml(document), 3)
        pure_load = timed(lambda: YAML(typ="safe", pure=True).load(document), 3)
        print(f"   {'YAML of the 200 binnings, C loader (safe_loads_yaml)':<50} {c_load:>11.4f}")
        print(f"   {'the same, pure-Python loader (YAML(pure=True))':<50} {pure_load:>11.4f} {'':>10} "
              f"{pure_load / c_load:>6.2f}x")

        print("\n2. Archive bombs (fresh interpreter each; default limit 1 GiB)")
        make_hostile.write_zip_bomb(folder / "bomb.zip")
        make_hostile.write_gzip_tar_bomb(folder / "bomb.tar.gz")
        bombs = {"2 GiB zip": folder / "bomb.zip", "2 GiB tar.gz": folder / "bomb.tar.gz",
                 "4 GiB GNU sparse tar": DATA / "hostile" / "sparse.tar",
                 "2 GiB tar.bz2": DATA / "hostile" / "bomb.tar.bz2"}
        print(f"   {'archive':<24} {'bytes':>9} {'seconds':>8} {'extra MB':>9}  outcome")
        for name, path in bombs.items():
            kind = "zip" if name.endswith("zip") else "tar"
            out = subprocess.run([sys.executable, __file__, "--bomb", kind, str(path)], capture_output=True,
                                 text=True, check=True)
            r = json.loads(out.stdout)
            print(f"   {name:<24} {path.stat().st_size:>9} {r['seconds']:>8.3f} {r['extra_mb']:>9.1f}  {r['outcome']}")

    print("\n3. Alias bombs: parse_from_content to the refusal")
    for path in sorted((DATA / "hostile").glob("*.yaml")):
        content = Content(io.StringIO(path.read_text()), None, None, {})
        start = time.perf_counter()
        try:
            ExtendedPredictiveModel.parse_from_content(content)
            outcome = "accepted"
        except ValueError as e:
            outcome = str(e)
        print(f"   {path.name:<30} {path.stat().st_size:>6} bytes {time.perf_counter() - start:>7.3f} s  {outcome}")


if __name__ == "__main__":
    main()
