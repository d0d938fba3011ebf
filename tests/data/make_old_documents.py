"""Makes the XGBoost JSON documents of older majors that the scorer's tests
load (tests/data/xgb_v<version>_<kind>.json): the layouts before
`iteration_indptr`, the scalar `base_score`, and dart of those releases.

Run by hand, not by CI, once per release, each from a throwaway virtual
environment outside the repository:

    ~/.pyenv/versions/3.13.0/bin/python -m venv /tmp/xgb21
    /tmp/xgb21/bin/pip install "xgboost==2.1.4" "numpy==2.2.6"
    /tmp/xgb21/bin/python tests/data/make_old_documents.py

    ~/.pyenv/versions/3.11.7/bin/python -m venv /tmp/xgb17   # 1.7 has no wheel for 3.13
    /tmp/xgb17/bin/pip install "xgboost==1.7.6" "numpy==1.26.4"
    /tmp/xgb17/bin/python tests/data/make_old_documents.py

The rows and labels come from numpy's seeded generator only, so the script
runs unchanged on both releases.
"""
from pathlib import Path

import numpy as np
import xgboost as xgb

HERE = Path(__file__).resolve().parent
FEATURES = ["a", "b", "c", "d"]
KINDS = {
    "logistic": {"objective": "binary:logistic"},
    "softprob": {"objective": "multi:softprob", "num_class": 3},
    "dart": {"objective": "binary:logistic", "booster": "dart", "rate_drop": 0.3, "skip_drop": 0.0, "one_drop": 1},
    "parallel": {"objective": "reg:squarederror", "num_parallel_tree": 2, "subsample": 0.8},
    "poisson": {"objective": "count:poisson"},
}


def main():
    rng = np.random.default_rng(11)
    x = rng.normal(size=(300, len(FEATURES)))
    x[:, 3] = rng.integers(0, 4, len(x))
    x[rng.random(x.shape) < 0.1] = np.nan
    signal = np.nan_to_num(x[:, 0]) - np.nan_to_num(x[:, 1]) + (x[:, 3] == 1)
    version = ".".join(xgb.__version__.split(".")[:2])
    for kind, params in KINDS.items():
        if params["objective"].startswith("multi:"):
            y = np.digitize(signal, [-0.5, 0.5]).astype(float)
        elif params["objective"] == "count:poisson":
            y = rng.poisson(np.exp(0.3 * signal)).astype(float)
        elif params["objective"] == "binary:logistic":
            y = (signal > 0).astype(float)
        else:
            y = signal
        booster = xgb.train({"max_depth": 3, "eta": 0.4, "nthread": 1, "seed": 5, **params},
                            xgb.DMatrix(x, label=y, feature_names=FEATURES), num_boost_round=4)
        path = HERE / f"xgb_v{version}_{kind}.json"
        booster.save_model(str(path))
        print(path.name, path.stat().st_size)


if __name__ == "__main__":
    main()
