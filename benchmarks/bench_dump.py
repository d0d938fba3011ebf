"""valid_dumps_yaml of a bundle-sized document, and the share of this module's
own per-node steps (filter, then convert) next to the YAML library's work.

The document holds 200 binnings of 12 bins each: half of them records, half
plain nested mappings with enums, decimals, None values and empty containers.

Rows:
  valid_dumps_yaml         the whole dump, as the bundle writes it
  library only             the same YAML text from a plain SafeRepresenter
                           subclass (no filtering, no conversion) given the
                           already plain data: the library's representer,
                           serializer and emitter
  total - library          all that this module adds to the library's work
  per-node steps           filter_data then format_output_data over every node
                           the representer visits in the dump (records'
                           model_dump included), timed alone

Run: python benchmarks/bench_dump.py
"""
import io
import time
from decimal import Decimal
from enum import Enum
from typing import Any, Dict, List, Optional

from pydantic import Field
from ruamel.yaml import YAML
from ruamel.yaml.representer import SafeRepresenter

from kelvane_analytics_utils.utils.base_model import BaseModel
from kelvane_analytics_utils.utils.dump import (
    ValidRepresenter,
    filter_data,
    format_output_data,
    safe_loads_yaml,
    valid_dumps_yaml,
)


class DataType(str, Enum):
    NUMERICAL = "NUMERICAL"
    CATEGORICAL = "CATEGORICAL"


class Bin(BaseModel):
    type: DataType = DataType.NUMERICAL
    name: Optional[str] = None
    lower_bound: Optional[float] = None
    upper_bound: Optional[float] = None
    value: Optional[float] = None
    categories: List[str] = Field(default_factory=list)
    share: Optional[Decimal] = None


class Binning(BaseModel):
    attribute: str
    data_type: DataType = DataType.NUMERICAL
    bins: List[Bin] = Field(default_factory=list)
    default_bin: Optional[str] = None
    notes: Dict[str, Any] = Field(default_factory=dict)


def make_bins(i):
    bins = []
    for j in range(12):
        if j % 3 == 2:
            bins.append(Bin(type=DataType.CATEGORICAL, name=f"c{j}", value=j / 7, categories=[f"k{j}", f"k{j + 1}"]))
        else:
            bins.append(Bin(name=f"b{j}", lower_bound=i + j / 3, upper_bound=i + (j + 1) / 3, value=(i * j) / 11,
                            share=Decimal(j) / Decimal(12)))
    return bins


def make_document():
    binnings = []
    for i in range(200):
        record = Binning(attribute=f"attr_{i}", bins=make_bins(i), notes={"source": "sample", "empty": []})
        if i % 2:
            # The same binning as plain mappings, with the entries a record dump leaves out.
            mapping = record.model_dump()
            mapping["default_bin"] = None
            binnings.append(mapping)
        else:
            binnings.append(record)
    return {"preprocessing": {"binnings": binnings, "transformations": []}, "name": "bench", "version": 3}


class PlainRepresenter(SafeRepresenter):
    pass


class RecordingRepresenter(ValidRepresenter):
    nodes = []

    def represent_data(self, data):
        RecordingRepresenter.nodes.append(data)
        return super().represent_data(data)


def plain_dumps(data):
    yaml = YAML()
    yaml.default_flow_style = False
    yaml.width = 120
    yaml.Representer = PlainRepresenter
    stream = io.StringIO()
    yaml.dump(data, stream)
    return stream.getvalue()


def best_of(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    document = make_document()
    text = valid_dumps_yaml(document)
    plain = safe_loads_yaml(text)
    assert plain_dumps(plain) == text, "the plain representer must write the same text"

    # Every node the representer visits, as it receives them.
    yaml = YAML()
    yaml.default_flow_style = False
    yaml.width = 120
    yaml.Representer = RecordingRepresenter
    yaml.dump(document, io.StringIO())
    nodes = RecordingRepresenter.nodes

    def steps():
        for node in nodes:
            format_output_data(filter_data(node))

    def empty_loop():
        for node in nodes:
            pass

    total = best_of(lambda: valid_dumps_yaml(document))
    library = best_of(lambda: plain_dumps(plain))
    own = best_of(steps) - best_of(empty_loop)

    print(f"document: 200 binnings x 12 bins, {len(nodes)} nodes, {len(text)} characters of YAML")
    print(f"{'':<22}{'ms':>9}{'share':>9}")
    print(f"{'valid_dumps_yaml':<22}{total * 1e3:>9.1f}{100:>8.0f}%")
    print(f"{'library only':<22}{library * 1e3:>9.1f}{library / total * 100:>8.0f}%")
    print(f"{'total - library':<22}{(total - library) * 1e3:>9.1f}{(total - library) / total * 100:>8.0f}%")
    print(f"{'per-node steps':<22}{own * 1e3:>9.1f}{own / total * 100:>8.0f}%")
    print(f"{'per node':<22}{own / len(nodes) * 1e9:>9.0f} ns")


if __name__ == "__main__":
    main()
