#!/usr/bin/env python3
"""Every relative link and image in the given Markdown files resolves: the
file or folder exists, and a #anchor names a heading of the Markdown file it
points into. Links with a scheme (https:, mailto:) are left alone; so is text
inside code blocks and code spans. Prints one line; exits 1 on any broken
link.

    check_links.py README.md docs/*.md
"""
import os
import re
import sys
import urllib.parse

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*(<[^>]*>|[^)\s]+)(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*(\S+)", re.M)
FENCE = re.compile(r"^\s*(```|~~~)")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1")


def prose(text):
    """The text outside fenced and indented code blocks and code spans."""
    lines, fenced, previous_blank = [], False, True
    for line in text.splitlines():
        if FENCE.match(line):
            fenced = not fenced
            lines.append("")
            continue
        indented = line.startswith("    ") and previous_blank and not line.lstrip().startswith(("-", "*", "|"))
        if fenced or indented:
            lines.append("")
            previous_blank = previous_blank if indented else False
            continue
        previous_blank = not line.strip()
        lines.append(CODE_SPAN.sub("", line))
    return "\n".join(lines)


def anchors(text):
    """GitHub's anchors for the headings of a Markdown text."""
    found, seen = set(), {}
    for line in prose(text).splitlines():
        match = re.match(r"^\s{0,3}#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not match:
            continue
        slug = re.sub(r"[^\w\- ]", "", match.group(1).strip().lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else "%s-%d" % (slug, count))
    return found


def targets(text):
    body = prose(text)
    for match in LINK.finditer(body):
        yield match.group(1).strip("<>")
    for match in REFERENCE.finditer(body):
        yield match.group(1).strip("<>")


def broken_links(path, text, read=None):
    """The links of one file that do not resolve, as 'file: target (why)'."""
    read = read or (lambda name: open(name, encoding="utf-8").read())
    problems = []
    for target in targets(text):
        if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target) or target.startswith("//"):
            continue  # another site: not ours to check
        name, _, anchor = target.partition("#")
        name = urllib.parse.unquote(name)
        resolved = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
        if name and not os.path.exists(resolved):
            problems.append("%s: %s (no such file)" % (path, target))
        elif anchor and (not name or (resolved.endswith(".md") and os.path.isfile(resolved))):
            if urllib.parse.unquote(anchor).lower() not in anchors(read(resolved) if name else text):
                problems.append("%s: %s (no such heading)" % (path, target))
    return problems


def self_check():
    """The check itself finds a missing file and a missing heading."""
    sample = "# Here\n[ok](#here) [gone](no-such-file.md) [bad](#nowhere) `[code](x.md)`\n"
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.md")
    found = broken_links(here, sample, read=lambda name: sample)
    return len(found) == 2


def main(paths):
    if not self_check():
        print("links: the check misses broken links in its own sample")
        return 1
    problems, count = [], 0
    for path in paths:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        count += sum(1 for target in targets(text) if not re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target))
        problems += broken_links(path, text)
    for problem in problems:
        print("broken link: " + problem)
    if problems:
        print("links: %d of %d relative links in %d files do not resolve" % (len(problems), count, len(paths)))
        return 1
    print("links: all %d relative links in %d files resolve" % (count, len(paths)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
