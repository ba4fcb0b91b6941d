"""Pipeline.fairness_report: protected values recovered through the
pipeline's own tracked inputs after row operations, at both levels."""
from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("fairlearn")

import morvel  # noqa: E402


def _pipeline(lineage):
    rng = np.random.default_rng(3)
    n = 400
    people = pd.DataFrame({
        "gender": rng.choice(["f", "m"], n),
        "age": rng.integers(18, 80, n),
        "income": rng.normal(50_000, 15_000, n).round(),
        "region": rng.choice(["n", "s"], n),
    }, index=rng.permutation(np.arange(1000, 1000 + n)))
    regions = pd.DataFrame({"region": ["n", "s"], "factor": [1.0, 1.1]})
    p = morvel.Pipeline("loans", lineage=lineage)
    f = p.track(people, "people", protected=["gender", "age"])
    r = p.track(regions, "regions")
    f = f[f["income"] > 10_000].sort_values("income")
    f["score"] = f["income"] / 1000.0 + f["age"] * 0.5
    merged = f.merge(r, on="region", how="left")
    merged.index = f.index  # keep the applicants' labels through the merge
    merged["approved"] = merged["score"] * merged["factor"] > 70
    return p, people, merged[["score", "approved"]]  # the protected columns are gone


def _rates(people, result, column, bins=None):
    values = people.loc[result.index, column]
    if bins is not None:
        values = pd.cut(values, bins, right=False)
    flags = pd.Series(np.asarray(result["approved"], dtype=bool), index=result.index)
    return flags.groupby(values, observed=True).mean()


@pytest.mark.parametrize("lineage", [False, True], ids=["words", "lineage"])
def test_report_after_filter_sort_and_merge_matches_a_groupby_on_the_source(lineage):
    p, people, result = _pipeline(lineage)
    report = p.fairness_report(result, "approved", bins={"age": [18, 50, 80]})
    entry = {c["column"]: c for c in report.to_dict()["columns"]}["approved"]
    assert entry["tainted"] and entry["protected_sources"] == ["people.age"]
    attrs = {a["attribute"]: a for a in entry["attributes"]}
    age = attrs["people.age"]
    assert age["dependent"] and age["measured"] and age["values_from"] is not None
    rates = _rates(people, result, "age", [18, 50, 80])
    assert [g["value"] for g in age["groups"]] == pytest.approx(rates.tolist())
    assert age["difference"] == pytest.approx(rates.max() - rates.min())
    assert age["ratio"] == pytest.approx(rates.min() / rates.max())
    # gender does not reach the result: reported as not dependent, measured only on request
    assert not attrs["people.gender"]["dependent"] and not attrs["people.gender"]["measured"]
    on_request = p.fairness_report(result, "approved", measure_all=True)
    gender = {a["attribute"]: a for c in on_request.to_dict()["columns"] if c["column"] == "approved"
              for a in c["attributes"]}["people.gender"]
    expected = _rates(people, result, "gender")
    assert {g["group"]: g["value"] for g in gender["groups"]} == pytest.approx(expected.to_dict())
