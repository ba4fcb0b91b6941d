"""The dashboard in a real headless Chromium, against the service started as
``morvel serve`` on 127.0.0.1 after the demo wrote its lineage file.

Screenshots of every page visited go to a temporary folder (printed, and
kept by pytest's tmp_path retention) so that a person can look at them.
"""
from __future__ import annotations

import importlib.util
import os
import re
import shutil
import sqlite3
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("fastapi")
pytest.importorskip("selenium")

from selenium import webdriver  # noqa: E402
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

import morvel  # noqa: E402

# Where the imported package lives (the checkout's src, or site-packages
# after an install), so the child processes run the same build.
SRC = str(Path(morvel.__file__).resolve().parents[1])
CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser") or "/usr/bin/chromium"
KEY, OTHER_KEY = "demo-key-1", "other-key-2"

pytestmark = pytest.mark.skipif(
    not (os.path.exists(CHROMEDRIVER) and os.path.exists(CHROMIUM)),
    reason="needs Debian's chromium and chromium-driver (/usr/bin/chromium, /usr/bin/chromedriver)",
)


def _env() -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [SRC, env.get("PYTHONPATH")]))
    return env


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """Demo lineage in a file, the service on it, a live pipeline sent to
    it, and another tenant's pipeline."""
    from morvel.utilities.persistence import HostedStorage
    from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag

    work = tmp_path_factory.mktemp("dashboard")
    db = work / "lineage.db"
    demo = subprocess.run(
        [sys.executable, "-m", "morvel.cli", "demo", "--rows", "300", "--db", str(db), "--out", str(work / "out"),
         "--quiet"], capture_output=True, text=True, env=_env(), timeout=300, check=False,
    )
    assert demo.returncode == 0, demo.stderr
    proc = subprocess.Popen(
        [sys.executable, "-m", "morvel.cli", "serve", "--db", str(db), "--port", "0", "--api-key", KEY,
         "--api-key", f"{OTHER_KEY}:other"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_env(),
    )
    try:
        line = proc.stdout.readline()
        match = re.search(r"listening on (http://127\.0\.0\.1:\d+)", line)
        assert match, line + proc.stderr.read()
        url = match.group(1)
        # a live run of the default tenant: lineage, row values and a dashboard sync
        frame = pd.DataFrame({"income": [52_000.0, 61_000.0, 38_500.0], "age": [31.0, 45.0, 27.0]})
        with DAGTracker(api_key=KEY, service_url=url, pipeline_name="live_scores") as tracker:
            wrapped = wrap_dataframe_dag(frame, tracker, "people", protected=["age"])
            ratio = wrapped["income"] / wrapped["age"]
            assert tracker.flush()
            live_id = tracker._pipeline_id
        np.testing.assert_allclose(ratio.values, frame["income"].values / frame["age"].values)
        other = HostedStorage(url, OTHER_KEY, "other")
        other.connect()
        other_id = other.create_pipeline("other_tenant_secret")
        other.disconnect()
        shots = work / "screenshots"
        shots.mkdir()
        print(f"\nscreenshots in {shots}")
        yield {"url": url, "db": db, "live": live_id, "other": other_id, "shots": shots}
    finally:
        proc.terminate()
        proc.wait(timeout=30)
        proc.stdout.close()
        proc.stderr.close()


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000",
                "--disable-gpu", "--no-first-run"):
        options.add_argument(arg)
    # the driver is given explicitly: selenium-manager never runs or downloads
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def stored(db, sql, *args):
    with sqlite3.connect(db) as conn:
        return conn.execute(sql, args).fetchall()


def text(driver, css):
    return driver.find_element(By.CSS_SELECTOR, css).text


def click_and_wait(driver, element, condition):
    """Click (a link or a submit button) and wait until the next page meets
    ``condition``: a click returns before the navigation it starts ends.

    ``element`` may be a function finding the element: then it is found
    again when the browser reports it detached between finding and clicking
    (Chromium's inspector sometimes does so right after a page load)."""
    old = driver.find_element(By.TAG_NAME, "html")
    if callable(element):
        for attempt in range(3):
            try:
                element().click()
                break
            except WebDriverException as exc:
                detached = isinstance(exc, StaleElementReferenceException) or \
                    "does not belong to the document" in str(exc)
                if attempt == 2 or not detached:
                    raise
                old = driver.find_element(By.TAG_NAME, "html")
    else:
        element.click()
    WebDriverWait(driver, 30).until(EC.staleness_of(old))
    WebDriverWait(driver, 30).until(condition)


def test_a_person_signs_in_and_follows_a_value_to_its_sources(site, browser):
    url, shots = site["url"], site["shots"]
    browser.get(url + "/pipelines")
    assert "Please sign in" in text(browser, "#error")  # no session yet
    browser.get(url + "/")
    browser.find_element(By.ID, "api_key").send_keys("wrong-key")
    click_and_wait(browser, lambda: browser.find_element(By.ID, "signin"), EC.presence_of_element_located((By.ID, "error")))
    assert "not accepted" in text(browser, "#error")
    browser.find_element(By.ID, "api_key").send_keys(KEY)
    browser.save_screenshot(str(shots / "1-signin.png"))
    click_and_wait(browser, lambda: browser.find_element(By.ID, "signin"), EC.url_to_be(url + "/pipelines"))
    browser.save_screenshot(str(shots / "2-pipelines.png"))

    # the key lives only in an HTTP-only, Secure, SameSite=Strict session cookie
    cookies = browser.get_cookies()
    assert [c["name"] for c in cookies] == ["morvel_session"]
    assert cookies[0]["httpOnly"] and cookies[0]["secure"] and cookies[0]["sameSite"] == "Strict"
    assert KEY not in cookies[0]["value"] and KEY not in browser.page_source and KEY not in browser.current_url
    assert browser.execute_script("return document.cookie") == ""

    # the list: both pipelines of the tenant with their stored counts, not the other tenant's
    rows = {r.get_attribute("data-pipeline"): r for r in browser.find_elements(By.CSS_SELECTOR, "#pipelines tbody tr")}
    demo_id, name, nodes, edges, results = stored(
        site["db"], "SELECT id, name, (SELECT COUNT(*) FROM nodes WHERE pipeline_id = p.id),"
        " (SELECT COUNT(*) FROM edges WHERE pipeline_id = p.id),"
        " (SELECT COUNT(*) FROM results WHERE pipeline_id = p.id) FROM pipelines p WHERE tenant_id IS NULL")[0]
    assert set(rows) == {str(demo_id), str(site["live"])}
    cells = [c.text for c in rows[str(demo_id)].find_elements(By.TAG_NAME, "td")]
    assert cells[1] == name == "credit_demo" and cells[2] == "completed"
    assert cells[5:9] == [f"{nodes:,}", f"{edges:,}", "0", f"{results:,}"]
    assert cells[9] == "applications.age applications.gender"
    assert "other_tenant_secret" not in browser.page_source

    # the pipeline page: facts, the risk report of the stored results
    click_and_wait(browser, rows[str(demo_id)].find_element(By.LINK_TEXT, "credit_demo"),
                   EC.presence_of_element_located((By.ID, "pipeline-name")))
    assert text(browser, "#pipeline-name") == "credit_demo"
    assert text(browser, "#node-count") == f"{nodes:,}" and text(browser, "#edge-count") == f"{edges:,}"
    report = browser.find_elements(By.CSS_SELECTOR, "#risk-report tbody tr")
    assert sorted(r.find_elements(By.TAG_NAME, "td")[0].text for r in report) == ["approved", "score"]
    assert all(r.find_elements(By.TAG_NAME, "td")[2].text == "300" for r in report)
    if importlib.util.find_spec("fairlearn") is None:
        assert "No dashboard sync names this pipeline" in text(browser, "#section-sync")
    else:  # the demo stores its fairness report as the pipeline's sync
        fairness = text(browser, "#section-sync-fairness_report")
        assert "applications.age" in fairness and "approved" in fairness
        assert "selection_rate" in fairness and "[18, 30)" in fairness  # approval rate per age band
    browser.save_screenshot(str(shots / "3-pipeline.png"))

    # the lineage of the score: an SVG whose boxes are the table's rows, with a legend
    score_row = next(r for r in report if r.find_elements(By.TAG_NAME, "td")[0].text == "score")
    click_and_wait(browser, score_row.find_element(By.CSS_SELECTOR, "a.word"),
                   EC.presence_of_element_located((By.ID, "graph-table")))
    assert "/lineage?fingerprint=" in browser.current_url
    svg_nodes = browser.find_elements(By.CSS_SELECTOR, "#graph svg g.node")
    table_rows = browser.find_elements(By.CSS_SELECTOR, "#graph-table tbody tr")
    assert 5 <= len(svg_nodes) == len(table_rows) < nodes  # folded: far fewer boxes than stored nodes
    labels = " ".join(n.text for n in svg_nodes)
    assert "applications.age" in labels and "applications.income" in labels and "\u00d7" in labels
    age = next(n for n in svg_nodes if n.text.startswith("applications.age"))
    fills = {e.get_attribute("fill") for e in age.find_elements(By.CSS_SELECTOR, "path, polygon")}
    assert "#f4a3a3" in fills  # drawn in the protected source colour
    assert browser.find_elements(By.CSS_SELECTOR, '#graph svg g.edge path[stroke="#c0392b"]')  # protected path
    assert len(browser.find_elements(By.CSS_SELECTOR, "#graph svg g.edge")) >= len(svg_nodes) - 1
    legend = text(browser, "#legend")
    for words in ("protected source column", "step derived from a protected source", "path from a protected source"):
        assert words in legend
    assert re.search(r"[\d,]+ stored nodes and [\d,]+ edges", text(browser, "#summary"))
    browser.save_screenshot(str(shots / "4-lineage.png"))


def test_the_live_run_shows_its_sync_and_other_tenants_stay_out(site, browser):
    url, shots = site["url"], site["shots"]
    browser.get(url + "/pipelines")
    if browser.find_elements(By.ID, "api_key"):  # runs alone: sign in first
        browser.find_element(By.ID, "api_key").send_keys(KEY)
        click_and_wait(browser, lambda: browser.find_element(By.ID, "signin"), EC.url_to_be(url + "/pipelines"))
    browser.get(f"{url}/pipelines/{site['live']}")
    assert text(browser, "#pipeline-name") == "live_scores"
    fairness = text(browser, "#section-sync-fairness")
    assert "has_disparate_impact yes" in fairness and "people.age" in fairness
    assert "live_scores" in text(browser, "#section-sync-pipeline")
    risk = {r.find_elements(By.TAG_NAME, "td")[0].text: r.text
            for r in browser.find_elements(By.CSS_SELECTOR, "#risk-report tbody tr")}
    assert set(risk) >= {"income", "age"} and "HIGH" in risk["age"]  # protected source values, depth 0
    browser.save_screenshot(str(shots / "5-live-pipeline.png"))

    for path in (f"/pipelines/{site['other']}", f"/pipelines/{site['other']}/lineage?fingerprint=1"):
        browser.get(url + path)
        assert text(browser, "h1") == "Not found"
        assert "other_tenant_secret" not in browser.page_source
    browser.save_screenshot(str(shots / "6-other-tenant.png"))

    click_and_wait(browser, lambda: browser.find_element(By.ID, "signout"), EC.url_to_be(url + "/"))
    browser.get(f"{url}/pipelines/{site['live']}")
    assert "Please sign in" in text(browser, "#error")
