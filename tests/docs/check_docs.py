"""The README is a front door and docs/ the rest: every relative link in
them must reach a file (and, with an anchor, a heading of that file), and
the README must stay short enough to read at a glance."""
import os
import re
import sys

MAX_README_LINES = 150


def anchors(path):
    """GitHub's anchors of a Markdown file's headings."""
    found = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"#+\s+(.*)", line)
            if m:
                text = re.sub(r"[^\w\- ]", "", m.group(1).strip().lower())
                found.add(text.replace(" ", "-"))
    return found


def problems(root):
    pages = [os.path.join(root, "README.md")]
    docs = os.path.join(root, "docs")
    pages += [os.path.join(docs, n) for n in sorted(os.listdir(docs)) if n.endswith(".md")]
    for page in pages:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        # Code blocks hold shell and Python, not links.
        text = re.sub(r"```.*?```", "", text, flags=re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not os.path.exists(resolved):
                yield f"{os.path.relpath(page, root)}: link to {target}: no such file"
            elif anchor and resolved.endswith(".md") and anchor not in anchors(resolved):
                yield f"{os.path.relpath(page, root)}: link to {target}: no such heading"
    with open(pages[0], encoding="utf-8") as f:
        lines = sum(1 for _ in f)
    if lines > MAX_README_LINES:
        yield f"README.md has {lines} lines; keep it under {MAX_README_LINES} and move the rest to docs/"


if __name__ == "__main__":
    found = list(problems(sys.argv[1]))
    for p in found:
        print(p)
    sys.exit(1 if found else 0)
