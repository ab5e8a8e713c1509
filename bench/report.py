#!/usr/bin/env python3
"""Turns the raw measurements of run.sh into the figures table.

usage: report.py RESULTS META OURS MARKDOWN_OUT

RESULTS holds one measurement a line, tab-separated: server, figure, value, errors.
Several lines of one server and figure are runs of the same measurement; the table shows
their median. A figure no server has is left out. META holds "key<TAB>value" lines: "servers" (in column order, space
separated), then free lines shown above the table. OURS names the column of our own
server; its figures are divided by each peer's. The table is printed and written to
MARKDOWN_OUT as Markdown.
"""

import statistics
import sys

# Figure id, label, unit, how to print a value.
FIGURES = [
    ("get1k_c1", "1 KiB GET, 1 client", "req/s", "{:,.0f}"),
    ("get1k_c16", "1 KiB GET, 16 clients", "req/s", "{:,.0f}"),
    ("get1k_c64", "1 KiB GET, 64 clients", "req/s", "{:,.0f}"),
    ("cpu_get1k_c16", "Server CPU per 1 KiB GET, 16 clients", "µs", "{:,.1f}"),
    ("list_c16", "Listing of 1000 files, 16 clients", "req/s", "{:,.0f}"),
    ("dl1", "1 GiB download, 1 client", "MiB/s", "{:,.0f}"),
    ("dl4", "4 × 1 GiB downloads in parallel, total", "MiB/s", "{:,.0f}"),
    ("up1", "1 GiB upload, 1 client", "MiB/s", "{:,.0f}"),
    ("up8", "8 × 64 MiB uploads in parallel, total", "MiB/s", "{:,.0f}"),
    ("up_answer", "Answer after the last byte of a 64 MiB upload", "ms", "{:,.1f}"),
    ("rss", "Peak RSS", "MiB", "{:,.1f}"),
    ("threads", "Peak threads", "", "{:,.0f}"),
]


def read_table(path):
    rows = {}
    with open(path) as results:
        for line in results:
            parts = line.rstrip("\n").split("\t")
            if len(parts) < 3:
                continue
            server, figure, value = parts[:3]
            errors = int(parts[3]) if len(parts) > 3 and parts[3] else 0
            try:
                number = float(value)
            except ValueError:
                continue
            runs = rows.setdefault((server, figure), [])
            runs.append((number, errors))
    return rows


def read_meta(path):
    servers, notes = [], []
    with open(path) as meta:
        for line in meta:
            key, _, value = line.rstrip("\n").partition("\t")
            if key == "servers":
                servers = value.split()
            elif key:
                notes.append((key, value))
    return servers, notes


def median_cell(runs, style):
    """The median of the runs, with the run count and a mark when any run had errors."""
    if not runs:
        return None, "—"
    value = statistics.median(number for number, _ in runs)
    errors = sum(errors for _, errors in runs)
    text = style.format(value)
    if errors:
        text += f" ({errors} err)"
    return value, text


def render(columns, body, markdown):
    if markdown:
        lines = ["| " + " | ".join(columns) + " |", "|" + "|".join(["---"] + ["---:"] * (len(columns) - 1)) + "|"]
        lines += ["| " + " | ".join(row) + " |" for row in body]
        return "\n".join(lines)
    widths = [max(len(row[i]) for row in [columns] + body) for i in range(len(columns))]
    out = ["  ".join(cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i]) for i, cell in enumerate(row))
           for row in [columns] + body]
    out.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(out)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    rows = read_table(sys.argv[1])
    servers, notes = read_meta(sys.argv[2])
    ours, markdown_path = sys.argv[3], sys.argv[4]
    peers = [server for server in servers if server != ours]
    have_ours = any(server == ours for server, _ in rows)

    figures, ratios = [], []
    for figure, label, unit, style in FIGURES:
        if not any(key[1] == figure for key in rows):
            continue  # not measured in this run
        name = f"{label} ({unit})" if unit else label
        values, cells = {}, [name]
        for server in servers:
            runs = rows.get((server, figure), [])
            if figure == "rss":
                runs = [(number / 1024, errors) for number, errors in runs]
            values[server], text = median_cell(runs, style)
            cells.append(text)
        figures.append(cells)
        if have_ours:
            ratio_cells = [name]
            for peer in peers:
                mine, theirs = values.get(ours), values.get(peer)
                ratio_cells.append(f"{mine / theirs:.2f}" if mine is not None and theirs else "—")
            ratios.append(ratio_cells)

    figure_columns = ["Figure (median)"] + servers
    ratio_columns = [f"{ours} ÷ peer"] + peers

    text = [f"{key}: {value}" for key, value in notes]
    text += ["", render(figure_columns, figures, False), ""]
    md = ["# Benchmark results", ""] + [f"- {key}: {value}" for key, value in notes]
    md += ["", render(figure_columns, figures, True), ""]
    if have_ours:
        text += ["Ratios (above 1: ours is higher; for throughput higher is better, for CPU, answer time, RSS "
                 "and threads lower)",
                 render(ratio_columns, ratios, False), ""]
        md += ["Ratios of our server to each peer (above 1: ours is higher; for throughput higher is "
               "better, for CPU, answer time, RSS and threads lower is better):", "", render(ratio_columns, ratios, True),
               ""]
    else:
        text += [f"No figures for {ours}: no ratios.", ""]
        md += [f"No figures for {ours} in this run, so no ratios.", ""]

    print("\n".join(text))
    with open(markdown_path, "w") as out:
        out.write("\n".join(md))


if __name__ == "__main__":
    main()
