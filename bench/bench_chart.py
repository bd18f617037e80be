"""The bench's SVG chart: every kernel's per-round figures, one panel per
measure, on logarithmic scales of ticks per call. Either one run, or two
saved runs old against new.

The kernels that compute nothing (the null and the calibration kernel) get
scales of their own, below the others: the calibration kernel's hundreds of
ticks would otherwise squeeze every product kernel into a corner of the
axis. Each row shows the rounds as dots, the 95 % interval of the median as
a bar and the median as a line; in a run, the throughput panel also marks
where the model of a kernel's own instructions puts it."""
import dataclasses
import functools
import math
import statistics
from xml.sax.saxutils import escape

import kernel_list
import saved_run
from bench_run import Run
from bench_output import MEASURE_TITLES, cell
from bench_stats import bootstrap_interval

OWN, PEER, WRONG, OLD, MODEL = "#1f4e79", "#d08000", "#c00000", "#8a8a8a", "#138a36"
FONT, SMALL, TITLE = 12, 11, 14  # px; no text is smaller than SMALL
ROW = 24  # px per row
PANEL, GAP, MARGIN = 400, 40, 12
# Rounds further than this factor from their row's median do not widen the
# axis: they are drawn at its edge, hollow.
OUTLIER = 3.0
# What an ordinary lower-case letter of sans-serif text takes, in widths of its
# font size (capitals take more, narrow letters and spaces less).
CHAR_WIDTH = 0.6


@dataclasses.dataclass
class Row:
    """One series of one kernel: its name (shown on its kernel's first row),
    colour, figures per measure, and in a comparison "old" or "new"."""
    name: str
    colour: str
    figures: dict
    tag: str = ""
    model: float | None = None  # ticks per call of the model's mark (throughput)


@dataclasses.dataclass
class Group:
    title: str
    kernels: list  # one list of Rows per kernel


def svg_text(text):
    return escape(cell(text))


def text_width(text, size=FONT):
    """About how wide text is in sans-serif: capitals wider, narrow letters narrower."""
    return size * sum(0.72 if c.isupper() else 0.3 if c in " .,:;'!|iljtf()" else CHAR_WIDTH for c in text)


def shortened(text, width, size=FONT, keep_end=False):
    """text cut to about width px with an ellipsis (its start kept, or its end)."""
    if text_width(text, size) <= width:
        return text
    while len(text) > 1 and text_width(text, size) > width - size:
        text = text[1:] if keep_end else text[:-1]
    return "\u2026" + text if keep_end else text + "\u2026"


def axis_ticks(low, high):
    """Values to mark between low and high (both > 0): 1, 2 and 5 times the
    powers of ten, all nine digits where those are too few, else evenly
    spaced round numbers."""
    for mantissas in ((1, 2, 5), range(1, 10)):
        ticks = [m * 10.0 ** e for e in range(math.floor(math.log10(low)), math.ceil(math.log10(high)) + 1)
                 for m in mantissas if low <= m * 10.0 ** e <= high]
        if len(ticks) >= 3:
            return ticks
    step = 10.0 ** math.floor(math.log10((high - low) / 4))
    step *= next(m for m in (1, 2, 5, 10) if (high - low) / (step * m) <= 6)
    return [k * step for k in range(math.ceil(low / step), math.floor(high / step) + 1)]


@functools.lru_cache(maxsize=None)
def interval(figures):
    """The 95 % interval of the median of figures (a tuple: the axis and the
    row both need it, and the bootstrap takes a while)."""
    return bootstrap_interval([figures], statistics.median)


def axis_range(rows, measure):
    """(low, high) of the axis that holds the rows' figures in measure (less
    their far outliers), their intervals and model marks; None without figures."""
    values = []
    for row in rows:
        figures = [v for v in row.figures.get(measure, []) if v > 0]
        if not figures:
            continue
        median = statistics.median(figures)
        values += [v for v in figures if median / OUTLIER <= v <= median * OUTLIER]
        values += interval(tuple(figures)) or ()
        if measure == "throughput" and row.model:
            values.append(row.model)
    return (min(values) / 1.1, max(values) * 1.1) if values else None


def legend_swatch(x, y, colour, words):
    return [f'<rect x="{x}" y="{y - 9}" width="14" height="10" fill="{colour}"/>',
            f'<text x="{x + 20}" y="{y}" font-size="{SMALL}">{svg_text(words)}</text>']


def draw(path, title_lines, groups, measures, legend):
    """Writes the chart: title lines, then each group of kernels with its own
    axes, then the legend (lines of text, or (colour, words) swatches)."""
    rows = [row for g in groups for kernel in g.kernels for row in kernel]
    tagged = any(row.tag for row in rows)
    tag_width = text_width("new ", SMALL) if tagged else 0
    name_width = min(max([text_width(row.name) for row in rows] + [120]), 330)
    label_width = name_width + tag_width + 16
    left = MARGIN + label_width
    width = int(left + len(measures) * (PANEL + GAP))
    out = []
    y = MARGIN + TITLE
    for i, line in enumerate(title_lines):
        size, weight = (TITLE, "bold") if i == 0 else (FONT, "normal")
        out.append(f'<text x="{MARGIN}" y="{y}" font-size="{size}" font-weight="{weight}">'
                   f'{svg_text(shortened(line, width - 2 * MARGIN, size))}</text>')
        y += size + 6
    y += 10
    for group in groups:
        group_rows = [row for kernel in group.kernels for row in kernel]
        out.append(f'<text x="{MARGIN}" y="{y + FONT}" font-size="{FONT}" font-weight="bold">'
                   f'{svg_text(group.title)}</text>')
        axis_y = y + FONT + 34
        top = axis_y + 6
        bottom = top + ROW * len(group_rows)
        for p, measure in enumerate(measures):
            x0 = left + p * (PANEL + GAP)
            span = axis_range(group_rows, measure)
            out.append(f'<text x="{x0}" y="{axis_y - 18}" font-size="{FONT}">'
                       f'{svg_text(MEASURE_TITLES[measure])}, ticks per call</text>')
            if span is None:
                out.append(f'<text x="{x0}" y="{top + 16}" font-size="{SMALL}">no figures</text>')
                continue
            out += draw_panel(group_rows, measure, x0, top, span)
        out.append(f'<line x1="{MARGIN}" y1="{bottom + 0.5}" x2="{width - MARGIN}" y2="{bottom + 0.5}" '
                   f'stroke="#999"/>')
        row_y = top
        for kernel in group.kernels:
            for i, row in enumerate(kernel):
                middle = row_y + ROW / 2
                if i == 0:
                    # In the colour of the kernel's last row: the new run's, in a comparison.
                    name = shortened(row.name, name_width, keep_end=True)
                    out.append(f'<text x="{MARGIN}" y="{middle + 4:.1f}" font-size="{FONT}" '
                               f'fill="{kernel[-1].colour}">'
                               f'{svg_text(name)}</text>')
                if row.tag:
                    out.append(f'<text x="{left - 8}" y="{middle + 4:.1f}" font-size="{SMALL}" fill="{row.colour}" '
                               f'text-anchor="end">{svg_text(row.tag)}</text>')
                row_y += ROW
            if tagged:
                out.append(f'<line x1="{MARGIN}" y1="{row_y + 0.5}" x2="{width - MARGIN}" y2="{row_y + 0.5}" '
                           f'stroke="#e4e4e4"/>')
        y = bottom + 24
    for item in legend:
        if isinstance(item, str):
            out.append(f'<text x="{MARGIN}" y="{y + SMALL}" font-size="{SMALL}">{svg_text(item)}</text>')
            y += SMALL + 7
            continue
        x = MARGIN
        for colour, words in item:
            if colour == MODEL:
                out.append(diamond(x + 7, y + SMALL - 4))
                out.append(f'<text x="{x + 20}" y="{y + SMALL}" font-size="{SMALL}">{svg_text(words)}</text>')
            else:
                out += legend_swatch(x, y + SMALL, colour, words)
            x += 36 + text_width(words, SMALL)
        y += SMALL + 9
    height = int(y + MARGIN)
    head = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'font-family="sans-serif" font-size="{FONT}">',
            f'<rect width="{width}" height="{height}" fill="white"/>']
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(head + out + ["</svg>"]) + "\n")


def diamond(cx, cy, size=6):
    return (f'<path d="M{cx:.1f} {cy - size:.1f} L{cx + size:.1f} {cy:.1f} L{cx:.1f} {cy + size:.1f} '
            f'L{cx - size:.1f} {cy:.1f} Z" fill="white" stroke="{MODEL}" stroke-width="2"/>')


def draw_panel(rows, measure, x0, top, span):
    """The axis of one panel and each row's figures in it."""
    low, high = span
    scale = PANEL / (math.log(high) - math.log(low))

    def x(v):
        return x0 + scale * (math.log(min(max(v, low), high)) - math.log(low))

    bottom = top + ROW * len(rows)
    out = [f'<rect x="{x0}" y="{top}" width="{PANEL}" height="{bottom - top}" fill="none" stroke="#ccc"/>']
    last = -math.inf
    for t in axis_ticks(low, high):
        out.append(f'<line x1="{x(t):.1f}" y1="{top}" x2="{x(t):.1f}" y2="{bottom}" stroke="#e0e0e0"/>')
        if x(t) - last >= 34:  # labels that would run into each other are left out
            out.append(f'<text x="{x(t):.1f}" y="{top - 5}" font-size="{SMALL}" text-anchor="middle">{t:g}</text>')
            last = x(t)
    for i, row in enumerate(rows):
        figures = [v for v in row.figures.get(measure, []) if v > 0]
        if not figures:
            continue
        middle = top + ROW * i + ROW / 2
        for j, v in enumerate(figures):
            # Spread over the row's upper half, the same way every time.
            cy = middle - 3 - 7 * ((j * 0.6180339887) % 1)
            fill = row.colour if low <= v <= high else "none"
            out.append(f'<circle cx="{x(v):.1f}" cy="{cy:.1f}" r="2" fill="{fill}" stroke="{row.colour}" '
                       f'stroke-width="0.6" opacity="0.45"/>')
        band = interval(tuple(figures))
        if band:
            start, end = x(band[0]), x(band[1])
            out.append(f'<rect x="{start - 1:.1f}" y="{middle + 1:.1f}" width="{end - start + 2:.1f}" height="8" '
                       f'fill="{row.colour}"/>')
        median = x(statistics.median(figures))
        out.append(f'<line x1="{median:.1f}" y1="{middle - 10:.1f}" x2="{median:.1f}" y2="{middle + 11:.1f}" '
                   f'stroke="black" stroke-width="1.5"/>')
        if measure == "throughput" and row.model:
            out.append(diamond(x(row.model), middle + 5))
    return out


def grouped(kernels):
    """kernels: (computes nothing, rows) of each. The product kernels' group
    and, where there are any, those that compute nothing."""
    products = [rows for none, rows in kernels if not none]
    nothing = [rows for none, rows in kernels if none]
    groups = [Group("Kernels that compute a product", products)] if products else []
    if nothing:
        groups.append(Group("Kernels that compute nothing (the call floor, the clock), on scales of their own",
                            nothing))
    return groups


def legend(swatches, peers, wrong, model=None):
    """The legend's lines: what the marks are, then the colours (swatches
    first, then those of peers and wrong kernels where there are any, then
    the model's mark)."""
    swatches = swatches + [(PEER, "peer libraries")] * peers + [(WRONG, "WRONG")] * wrong
    return ["Dots: the rounds (hollow at an edge: off the scale); bar: the 95 % interval of the median; "
            "line: the median.", swatches + [(MODEL, model)] * bool(model)]


def processor(data):
    return data["machine"]["processor"] or "an unknown processor"


def run_date(data):
    """The date and revision a saved run names, as words."""
    date, revision = data.get("date"), data.get("git_revision")
    words = date[:16].replace("T", " ") + " UTC" if isinstance(date, str) and date else "date unknown"
    return words + (f", revision {revision}" if isinstance(revision, str) and revision else ", no revision")


def write_run(path, run: Run, data, given):
    """The chart of one run; data: the run's JSON record (its date and
    revision), given: the kernels given with --kernel."""
    null = next((r for r in run.results if r.kernel.role == "null"), None)
    cycles_per_tick = getattr(run, "cycles_per_tick", None)
    models = set()
    kernels = []
    for r in sorted(run.results, key=lambda r: r.summary["throughput"].median):
        model = getattr(r, "model", None)
        mark = None
        if model and cycles_per_tick and null and model.get("rthroughput") is not None:
            mark = null.summary["throughput"].median + model["rthroughput"] / cycles_per_tick
            models.add(model.get("cpu") or "?")
        wrong = r.wrong()
        colour = WRONG if wrong else PEER if r.kernel.role == "peer" else OWN
        name = r.kernel.name + (" (WRONG)" if wrong else " (baseline)" if r.kernel.name == run.baseline else "")
        kernels.append((r.kernel.role in kernel_list.COMPUTES_NOTHING, [Row(name, colour, r.figures, model=mark)]))
    groups = grouped(kernels)
    measures = [m for m in MEASURE_TITLES if any(m in r.summary for r in run.results)]
    title = [f"Ticks per call on {processor(data)}: {run.rounds} rounds, {run_date(data)}"]
    if given:
        title.append("Given with --kernel: " + ", ".join(k.name for k in given))
    model = None
    if models:
        model = (f"model: the null kernel's median plus the modelled cycles of the kernel's own "
                 f"instructions (llvm-mca, {', '.join(sorted(models))}), in ticks")
    colours = {rows[0].colour for _, rows in kernels}
    draw(path, title, groups, measures,
         legend([(OWN, "this build's kernels")], PEER in colours, WRONG in colours, model))


def write_comparison(path, old, new, old_name, new_name):
    """The chart of two saved runs (both checked by saved_run): for each
    kernel both hold, the old run's figures above the new run's."""
    old_kernels = dict(zip(saved_run.record_keys(old["kernels"]), old["kernels"]))
    new_kernels = dict(zip(saved_run.record_keys(new["kernels"]), new["kernels"]))
    shared = [(key, old_kernels[key], n) for key, n in new_kernels.items() if key in old_kernels]
    shared.sort(key=lambda s: statistics.median(s[2]["ticks"]))
    kernels, wrong, peers = [], False, False
    for key, o, n in shared:
        name = n.get("name") or key
        bad = n.get("verified") == "wrong"
        wrong, peers = wrong or bad, peers or n.get("role") == "peer"
        colour = WRONG if bad else PEER if n.get("role") == "peer" else OWN
        kernels.append((saved_run.computes_nothing(o) or saved_run.computes_nothing(n), [
            Row(name, OLD, {m: o[saved_run.ARRAY_FIELD[m]] for m in saved_run.MEASURES}, "old"),
            Row(name, colour, {m: n[saved_run.ARRAY_FIELD[m]] for m in saved_run.MEASURES}, "new")]))
    groups = grouped(kernels)
    measures = [m for m in saved_run.MEASURES
                if any(row.figures[m] for _, rows in kernels for row in rows)] or ["throughput"]
    old_cpu, new_cpu = processor(old), processor(new)
    where = old_cpu if old_cpu == new_cpu else f"{old_cpu} (old) and {new_cpu} (new)"
    title = [f"Old against new, ticks per call on {where}"]
    for word, name, data in (("old", old_name, old), ("new", new_name, new)):
        labels = [k["label"] for k in data["kernels"] if k.get("label")]
        title.append(f"{word}: {name}, {run_date(data)}" + (f"; labels {', '.join(labels)}" if labels else ""))
    draw(path, title, groups, measures,
         legend([(OLD, "old run"), (OWN, "new run: this build's kernels")], peers, wrong))

