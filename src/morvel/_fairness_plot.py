"""Bar chart of a fairness report: one panel per measured protected
attribute, the group values as bars, the largest and smallest marked with
dashed lines and the parity difference and ratio written between them.

matplotlib is an optional extra (``morvel[plot]``) imported only here, and
only its object-oriented API is used (no pyplot state, no display needed).
"""
from __future__ import annotations

import os
from collections.abc import Hashable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from morvel._fairness import FairnessReport

_FORMATS = ("svg", "png")


def plot_report(report: FairnessReport, path: str, column: Hashable | None = None) -> str:
    """Draw ``report``'s result column ``column`` (default: the outcome) and
    save it to ``path``; the extension (".svg" or ".png") picks the format."""
    from morvel._fairness import SELECTION_RATE
    from morvel.utilities._argcheck import check_exact

    check_exact(path, "path", str)
    fmt = os.path.splitext(path)[1].lower().lstrip(".")
    if fmt not in _FORMATS:
        raise ValueError(f"plot path {path!r} must end in .svg or .png")
    try:
        import matplotlib
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError("fairness plots need matplotlib, which is not installed; "
                          "install it with: pip install 'morvel[plot]'") from exc

    entry = report.columns[0] if column is None else report[column]
    panels = [a for a in entry.attributes if a.measured and a.groups]
    if not panels:
        raise ValueError(f"column {entry.column!r} has no measured protected attribute to plot; "
                         "pass measure_all=True to the report to measure independent ones")

    fig = Figure(figsize=(max(6.0, 1.3 * max(len(a.groups) for a in panels) + 2.5),
                          3.6 * len(panels)), layout="constrained")
    axes = fig.subplots(len(panels), 1, squeeze=False)[:, 0]
    depth = "-" if entry.min_depth is None else str(entry.min_depth)
    fig.suptitle(f"{entry.column}: structural risk {entry.risk_level} "
                 f"(max {entry.max_risk:.4f}, min depth {depth})")
    for ax, attr in zip(axes, panels):
        _draw_panel(ax, attr, rate=attr.metric == SELECTION_RATE)
    # Text stays text in SVG (searchable, and a page can style or read it).
    with matplotlib.rc_context({"svg.fonttype": "none"}):
        fig.savefig(path, format=fmt)
    return path


def _draw_panel(ax: Any, attr: Any, rate: bool) -> None:
    groups = [g for g in attr.groups if g.value is not None]
    names = [g.group for g in groups]
    values = [g.value for g in groups]
    xs = list(range(len(groups)))
    hi, lo = max(values), min(values)
    colours = ["#c0392b" if v == hi else "#2e86c1" if v == lo else "#95a5a6" for v in values]
    bars = ax.bar(xs, values, color=colours)
    for bar, g in zip(bars, groups):
        text = f"{g.value:.1%}" if rate else f"{g.value:.3g}"
        ax.annotate(f"{text}\nn={g.count:,}", (bar.get_x() + bar.get_width() / 2, bar.get_height()),
                    ha="center", va="bottom", fontsize=8, xytext=(0, 2),
                    textcoords="offset points")
    ax.set_xticks(xs, names)
    ax.set_xlim(-0.6, len(xs) - 0.4 + 1.2)
    top = max(hi, 0.0)
    ax.set_ylim(min(lo, 0.0), (1.0 if rate and top <= 1.0 else top) * 1.15 or 1.0)
    ax.axhline(hi, color="#c0392b", linestyle="--", linewidth=1)
    ax.axhline(lo, color="#2e86c1", linestyle="--", linewidth=1)
    # The disparity: a double arrow from the smallest to the largest group value.
    x_arrow = len(xs) - 0.4 + 0.45
    ax.annotate("", xy=(x_arrow, hi), xytext=(x_arrow, lo),
                arrowprops={"arrowstyle": "<->", "color": "black"})
    label = "difference" if attr.difference is None else f"difference\n{attr.difference:.3f}"
    if attr.ratio is not None:
        label += f"\nratio {attr.ratio:.3f}"
    ax.text(x_arrow + 0.1, (hi + lo) / 2, label, va="center", fontsize=8)
    metric = "selection rate" if rate else "mean"
    dependent = "depends on it" if attr.dependent else "does not depend on it"
    ax.set_ylabel(metric)
    ax.set_title(f"{metric} by {attr.attribute} (result {dependent})", fontsize=10)
