"""The HTML report of a pipeline, opened in a real headless Chromium."""
from __future__ import annotations

import os
import shutil
import warnings

import numpy as np
import pandas as pd
import pytest

import morvel
from morvel._history import ExpectationWarning

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

pytest.importorskip("jinja2")
webdriver = pytest.importorskip("selenium.webdriver")
if not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)):
    pytest.skip("needs Debian's chromium and chromium-driver", allow_module_level=True)

By = pytest.importorskip("selenium.webdriver.common.by").By
Service = pytest.importorskip("selenium.webdriver.chrome.service").Service


@pytest.fixture(scope="module")
def browser():
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        opts.add_argument(arg)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


def credit(lineage: bool, path: str) -> dict:
    apps = pd.DataFrame({
        "gender": [0, 1, 1, 0, 1, 0],
        "income": [30.0, np.nan, 52.0, 41.0, np.nan, 75.0],
        "debt": [5.0, 9.0, 3.0, 20.0, 1.0, 2.0],
        "region": ["n", "s", "s", "x", "n", "s"],
    }, index=["a1", "a2", "a3", "a4", "a5", "a6"])
    regions = pd.DataFrame({"region": ["n", "s"], "factor": [1.0, 1.1]})
    p = morvel.Pipeline("credit <script>alert(1)</script>", lineage=lineage)
    p.expect(not_null="income")                     # fails before the fill
    p.expect(values_in={"region": ["n", "s"]})      # passes once the merge drops "x"
    a = p.track(apps, "applications", protected="gender")
    r = p.track(regions, "regions")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ExpectationWarning)
        with p.step("known regions"):
            m = a.merge(r, on="region", how="inner")
        m["income"] = m["income"].fillna(0.0)
        m["score"] = m["income"] / (m["debt"] + 1.0)
        picked = m[m["score"] > 2.0]
        picked["approved"] = picked["score"] > 4.0
    value = (picked["score"], picked.index[0])
    p.report(path, picked, outcome="approved", value=value)
    return p.report_data(picked, outcome="approved", value=value)


@pytest.mark.parametrize("lineage", [False, True], ids=["words", "lineage"])
def test_report_opens_with_its_sections(browser, tmp_path, lineage):
    path = str(tmp_path / "report.html")
    data = credit(lineage, path)
    browser.get("file://" + path)
    heading = browser.find_element(By.TAG_NAME, "h1").text
    assert heading == "Provenance report: credit <script>alert(1)</script>"
    assert browser.find_elements(By.TAG_NAME, "script") == []
    # Self-contained: nothing is loaded from anywhere.
    assert browser.find_elements(By.CSS_SELECTOR, "[src], link") == []
    titles = {s.get_attribute("id"): s.find_element(By.TAG_NAME, "h2").text
              for s in browser.find_elements(By.TAG_NAME, "section")}
    assert titles == {"risk": "Column risk", "disparity": "Outcome disparity",
                      "retention": "Rows per step", "checks": "Checks",
                      "drops": "Dropped rows", "merges": "Merges",
                      "changes": "Changed values", "lineage": "Lineage of a value"}

    risk = browser.find_element(By.ID, "risk").find_elements(By.CSS_SELECTOR, "tr")
    assert len(risk) == 1 + len(data["risk"]["columns"])
    retention = browser.find_element(By.ID, "retention").find_elements(By.CSS_SELECTOR, "tr")
    cells = [[td.text for td in tr.find_elements(By.TAG_NAME, "td")] for tr in retention[1:]]
    assert [(c[1], c[4], c[5]) for c in cells] == [("known regions", "6", "5"),
                                                   ("mask", "5", str(data["retention"][1]
                                                                     ["rows_out"]))]
    disparity = browser.find_element(By.ID, "disparity")
    assert "approved by applications.gender (selection_rate)" in disparity.text
    groups = [[td.text for td in tr.find_elements(By.TAG_NAME, "td")]
              for tr in disparity.find_elements(By.CSS_SELECTOR, "tr")[1:]]
    (gender,) = [a for a in data["disparity"]["report"]["columns"][0]["attributes"]
                 if a["attribute"] == "applications.gender"]
    assert groups == [[str(g["group"]), str(g["count"]), str(g["value"])]
                      for g in gender["groups"]]
    checks = browser.find_element(By.ID, "checks").text
    assert "not_null('income')" in checks and "failed" in checks
    assert "values_in('region', {n, s})" in checks and "passed" in checks
    assert "a4" in browser.find_element(By.ID, "drops").text
    changes = browser.find_element(By.ID, "changes").text
    assert "fillna of income" in changes and "2 values changed" in changes
    lineage_section = browser.find_element(By.ID, "lineage")
    if lineage and shutil.which("dot"):
        assert lineage_section.find_elements(By.CSS_SELECTOR, "svg g.node")
    elif lineage:
        assert lineage_section.find_elements(By.TAG_NAME, "table")
    else:
        assert "applications" in lineage_section.text  # the value's source tables
