"""Makes the real model documents under tests/data/ that the bundle tests read.

Run by hand, not by CI, from a throwaway virtual environment outside the
repository (Python 3.13, a Java runtime on PATH for sklearn2pmml):

    python3.13 -m venv /tmp/modelvenv
    /tmp/modelvenv/bin/pip install "xgboost-cpu==3.4.1" "scikit-learn==1.7.2" \
        "sklearn2pmml==0.133.1" "numpy==2.5.5" "pandas==3.1.2"
    /tmp/modelvenv/bin/python tests/data/make_models.py

Tools pinned: xgboost-cpu 3.4.1, scikit-learn 1.7.2 (sklearn2pmml 0.133.1
refuses newer releases), sklearn2pmml 0.133.1 with OpenJDK 17, numpy 2.5.5,
pandas 3.1.2.

Writes:
    xgb_early_stopping.json  XGBoost JSON, trained with early stopping
    xgb_plain.json           XGBoost JSON, trained without early stopping
    logistic_regression.json the linear-model document the bundle reads
    logistic_regression.pmml PMML written by sklearn2pmml
    model_facts.json         what each tool reported about its model
"""

import json
import platform
import subprocess
from pathlib import Path

import numpy as np
import pandas as pd
import sklearn
import sklearn2pmml
import xgboost as xgb
from sklearn.linear_model import LogisticRegression
from sklearn2pmml import sklearn2pmml as write_pmml
from sklearn2pmml.pipeline import PMMLPipeline

HERE = Path(__file__).resolve().parent
FEATURES = ["age", "income", "debt_ratio", "tenure"]


def made_up_data(n, seed):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "age": rng.integers(18, 80, n).astype(float),
        "income": rng.normal(3.0, 1.0, n).round(3),
        "debt_ratio": rng.uniform(0.0, 1.0, n).round(3),
        "tenure": rng.integers(0, 30, n).astype(float),
    })
    score = (-1.0 + 0.03 * (frame["age"] - 45) - 0.6 * (frame["income"] - 3)
             + 2.0 * frame["debt_ratio"] - 0.05 * frame["tenure"])
    target = (rng.uniform(0.0, 1.0, n) < 1.0 / (1.0 + np.exp(-score))).astype(int)
    return frame, target


def xgb_model(x, y, x_eval, y_eval, early_stopping):
    params = {"objective": "binary:logistic", "max_depth": 2, "eta": 0.3,
              "eval_metric": "auc", "seed": 7, "nthread": 1}
    train = xgb.DMatrix(x, label=y, feature_names=FEATURES)
    evals = [(xgb.DMatrix(x_eval, label=y_eval, feature_names=FEATURES), "eval")]
    # Early stopping gets room to stop before its last round.
    kwargs = {"early_stopping_rounds": 3, "num_boost_round": 40} if early_stopping \
        else {"num_boost_round": 8}
    booster = xgb.train(params, train, evals=evals, verbose_eval=False, **kwargs)
    facts = {
        "number_of_trees": len(booster.get_dump()),
        "number_of_features": booster.num_features(),
        "feature_names": list(booster.feature_names),
        "best_iteration": booster.best_iteration if early_stopping else None,
        "best_score": booster.best_score if early_stopping else None,
        "attributes": booster.attributes(),
    }
    return booster, facts


def main():
    x, y = made_up_data(400, 11)
    x_eval, y_eval = made_up_data(200, 12)
    facts = {"tools": {
        "python": platform.python_version(),
        "xgboost": xgb.__version__,
        "scikit-learn": sklearn.__version__,
        "sklearn2pmml": sklearn2pmml.__version__,
        "java": subprocess.run(["java", "-version"], capture_output=True,
                               text=True).stderr.splitlines()[0],
    }}

    for name, early in (("xgb_early_stopping", True), ("xgb_plain", False)):
        booster, model_facts = xgb_model(x, y, x_eval, y_eval, early)
        booster.save_model(str(HERE / f"{name}.json"))
        facts[name] = {"file": f"{name}.json", **model_facts}

    lr = LogisticRegression(C=1.0, max_iter=1000).fit(x, y)
    document = {
        "feature_names": FEATURES,
        "intercept_name": "Intercept",
        "model": {"coef_": lr.coef_.tolist(), "intercept_": lr.intercept_.tolist()},
    }
    (HERE / "logistic_regression.json").write_text(json.dumps(document, indent=2) + "\n")
    facts["logistic_regression"] = {
        "file": "logistic_regression.json",
        "feature_names": list(lr.feature_names_in_),
        "number_of_features": int(lr.n_features_in_),
        "coefficients": lr.coef_[0].tolist(),
        "intercept": float(lr.intercept_[0]),
    }

    pipeline = PMMLPipeline([("classifier", LogisticRegression(max_iter=1000))])
    pipeline.fit(x, pd.Series(y, name="default"))
    write_pmml(pipeline, str(HERE / "logistic_regression.pmml"))
    classifier = pipeline.named_steps["classifier"]
    facts["pmml"] = {
        "file": "logistic_regression.pmml",
        "feature_names": FEATURES,
        "target": "default",
        "coefficients": classifier.coef_[0].tolist(),
        "intercept": float(classifier.intercept_[0]),
    }

    (HERE / "model_facts.json").write_text(json.dumps(facts, indent=2) + "\n")


if __name__ == "__main__":
    main()
