"""The documentation: every relative link resolves, and the README's example runs."""

import re
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
FENCED = re.compile(r"^```.*?^```", re.S | re.M)


def anchors(page):
    """The heading anchors a Markdown page gets on GitHub."""
    headings = re.findall(r"^#+ (.+)$", FENCED.sub("", page.read_text()), re.M)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


def test_relative_links_resolve():
    broken = []
    for page in PAGES:
        for target in re.findall(r"\]\(([^)\s]+)\)", FENCED.sub("", page.read_text())):
            if "://" in target:
                continue
            path, _, anchor = target.partition("#")
            linked = (page.parent / path) if path else page
            if not linked.exists() or (anchor and anchor not in anchors(linked)):
                broken.append(f"{page.relative_to(REPO)}: {target}")
    assert not broken


def test_readme_example_runs(capsys):
    example = re.search(r"^```python\n(.*?)^```", (REPO / "README.md").read_text(), re.S | re.M).group(1)
    exec(compile(example, "README.md", "exec"), {})
    assert "KesraNNS(method=" in capsys.readouterr().out
