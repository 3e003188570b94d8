"""The pieces of the report's page (lumetra.results.report): escaped text and tables, plotly
figures drawn by the plotly.js of the installed plotly package, written into the page once, and
the page itself. The page asks nothing of the network: no address in it is ever loaded."""

from __future__ import annotations

import html
import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import pandas as pd

if TYPE_CHECKING:
    import plotly.graph_objects as go

FIGURE_HEIGHT = 450  # pixels, unless a figure sets its own
DIGITS = 4  # significant digits of the numbers in tables and sentences
COLLAPSED_ROWS = 50  # a longer table is shown folded
# Plotly's mode bar without the link to plotly's site.
FIGURE_CONFIG = {"displaylogo": False, "responsive": True}
SCRIPT_END = "<\\/script"  # "</script" as a script may hold it

STYLE = """
body { font-family: system-ui, sans-serif; max-width: 1100px; margin: 2em auto; padding: 0 1em;
       color: #222; line-height: 1.45; }
h1 { margin-bottom: 0.2em; } h2 { border-bottom: 1px solid #ccc; padding-bottom: 0.2em;
margin-top: 2em; }
nav a { margin-right: 1em; }
table.data { border-collapse: collapse; margin: 0.5em 0 1em; font-size: 0.9em; }
table.data th, table.data td { border: 1px solid #ddd; padding: 0.2em 0.6em; text-align: left;
  vertical-align: top; }
table.data th { background: #f3f3f3; }
table.data td.num { text-align: right; }
td.hash { font-family: monospace; font-size: 0.85em; }
.methods { background: #f7f7f2; border-left: 4px solid #9a9; padding: 0.6em 1em; }
.absent { color: #666; font-style: italic; }
.problem { color: #a00; }
.figure { margin: 1em 0; }
details summary { cursor: pointer; }
"""


@dataclass(frozen=True)
class Section:
    ident: str  # the element id, for the table of contents
    heading: str
    body: str  # HTML


def escape(text: object) -> str:
    return html.escape(str(text))


def number(value: object, decimals: int | None = None) -> str:
    """A number to DIGITS significant digits (or `decimals` places); anything else as text."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return f"{value:.{DIGITS}g}" if decimals is None else f"{value:.{decimals}f}"
    return str(value)


def emphasis(markdown: str) -> str:
    """A sentence whose `**` marks emphasis (lumetra.results.model_notes), as HTML."""
    return re.sub(r"\*\*(.+?)\*\*", r"<strong>\1</strong>", escape(markdown))


def paragraph(text: str, kind: str = "") -> str:
    """A paragraph of plain text; `kind` its class (absent: what the batch lacks)."""
    classes = f' class="{kind}"' if kind else ""
    return f"<p{classes}>{escape(text)}</p>"


def cell(value: Any, kind: str = "", decimals: int | None = None) -> str:
    """A table cell: nothing for a missing value, numbers (aligned right) as `number` writes
    them."""
    missing = value is None or (not isinstance(value, str) and bool(pd.isna(value)))
    plain = None if missing else value.item() if hasattr(value, "item") else value
    numeric = isinstance(plain, (int, float)) and not isinstance(plain, bool)
    kind = kind or ("num" if numeric else "")
    classes = f' class="{kind}"' if kind else ""
    return f"<td{classes}>{'' if missing else escape(number(plain, decimals))}</td>"


def table(
    frame: pd.DataFrame,
    ident: str = "",
    fixed: Sequence[str] = (),
    decimals: Mapping[str, int] | None = None,
) -> str:
    """The frame as an HTML table (ident: its element id), the `fixed` columns (checksums) in
    a fixed-width font, those of `decimals` to that many places (scores, whose differences
    matter) instead of DIGITS significant digits."""
    identity = f' id="{escape(ident)}"' if ident else ""
    head = "".join(f"<th>{escape(column)}</th>" for column in frame.columns)
    kinds = ["hash" if column in fixed else "" for column in frame.columns]
    places = [(decimals or {}).get(column) for column in frame.columns]
    rows = (
        "<tr>" + "".join(cell(*each) for each in zip(values, kinds, places)) + "</tr>"
        for values in frame.itertuples(index=False, name=None)
    )
    return (
        f'<table class="data"{identity}><thead><tr>{head}</tr></thead>'
        f"<tbody>{''.join(rows)}</tbody></table>"
    )


def key_values(values: dict[str, Any], ident: str = "") -> str:
    """A two-column table of settings: name and value."""
    frame = pd.DataFrame(
        {"setting": list(values), "value": [number(v) for v in values.values()]}, dtype=object
    )
    return table(frame, ident)


def folded(summary: str, body: str, rows: int) -> str:
    """The body under a summary line, open when it is short."""
    state = "" if rows > COLLAPSED_ROWS else " open"
    return f"<details{state}><summary>{escape(summary)}</summary>{body}</details>"


def figure_html(build: Callable[[], go.Figure], ident: str) -> tuple[str, str | None]:
    """The figure as an element drawn by the page's plotly.js, or, when it cannot be built,
    why in its place: (HTML, the problem or None)."""
    try:
        figure = build()
    except Exception as error:  # noqa: BLE001 (said in the report; the rest is still made)
        problem = f"{type(error).__name__}: {error}"
        return paragraph(f"This figure could not be drawn: {problem}", "problem"), problem
    height = figure.layout.height or FIGURE_HEIGHT
    width = f"{figure.layout.width}px" if figure.layout.width else "100%"
    element = figure.to_html(
        include_plotlyjs=False,
        full_html=False,
        div_id=ident,
        default_height=f"{height}px",
        default_width=width,
        config=FIGURE_CONFIG,
    )
    return f'<div class="figure">{element}</div>', None


def plotly_script() -> str:
    """The plotly.js bundle of the installed plotly, as an inline script."""
    from plotly.offline import get_plotlyjs

    # A script element ends at the first "</script": none may appear inside it.
    bundle: str = get_plotlyjs()
    return "<script>" + bundle.replace("</script", SCRIPT_END) + "</script>"


def page(title: str, header: str, sections: Sequence[Section], figures: bool) -> str:
    """The whole page: head (style, plotly.js when there are figures), title, header, table of
    contents and sections."""
    contents = " ".join(f'<a href="#{s.ident}">{escape(s.heading)}</a>' for s in sections)
    body = "\n".join(
        f'<section id="{s.ident}"><h2>{escape(s.heading)}</h2>\n{s.body}\n</section>'
        for s in sections
    )
    return (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        f"<title>{escape(title)}</title>\n<style>{STYLE}</style>\n"
        f"{plotly_script() if figures else ''}\n</head>\n<body>\n"
        f"<h1>{escape(title)}</h1>\n{header}\n<nav>{contents}</nav>\n{body}\n</body>\n</html>\n"
    )
