#!/usr/bin/env python3
"""Doxygen's INPUT_FILTER for the public headers: hands their plain // comments to Doxygen as
documentation. Usage: doxygen-filter.py HEADER (the filtered text on standard output).

  - The comment that opens a header ("// cobaltmoth/x.hpp - what it is") documents the file.
  - A comment on lines of its own documents the declarations right below it; the second and
    later declarations of the same name (overloads, a property's getter and setter) are
    marked as overloads of the first.
  - A comment after a declaration on its line (an enumerator's, an accessor's) documents it.
  - Lines indented by three blanks, as the headers set out examples of texts and code, are
    shown as they are, together with the lines indented deeper and the blank lines between
    them. (A list item's lines after its first are indented by four.)
Every line keeps its number, so that Doxygen's messages point into the header."""
import re
import sys

COMMENT = re.compile(r"^(\s*)//(.*)$")
TRAILING = re.compile(r"^(\s*[^\s/#}].*?[,;{}]\s+)// (.*)$")
OPENING = re.compile(r"^ (\S+) - (.*)$")
NAME = re.compile(r"(~?\w+|operator\W+)\s*\(")


def example(text, first):
    """Whether a comment's text (after the //) is a line of an example: three blanks first (at
    least, after the example's first line)."""
    return text.startswith("   ") and text.strip() != "" and not (first and text[3] == " ")


def comment_block(lines, start, end, out):
    """Writes the comment lines [start, end) as one /** */ block, in place."""
    verbatim = False
    for number in range(start, end):
        indent, text = COMMENT.match(lines[number]).groups()
        following = COMMENT.match(lines[number + 1]) if number + 1 < end else None
        inside = example(text, not verbatim) or (
            verbatim and text.strip() == "" and following is not None and
            example(following.group(2), False))
        if verbatim and not inside:
            out[-1] += " \\endverbatim"
            verbatim = False
        if inside and not verbatim:
            out[-1] += " \\verbatim"
            verbatim = True
        if number == start == 0 and OPENING.match(text):
            text = " \\file %s %s" % OPENING.match(text).groups()
        out.append(indent + ("/**" if number == start else "  ") + text)
    out[-1] += (" \\endverbatim" if verbatim else "") + " */"


def declarations(lines, start, out):
    """Copies the declarations below a comment, up to a blank line, a comment or the end of a
    class; returns where they end."""
    first_indent = len(lines[start]) - len(lines[start].lstrip())
    first_name = None
    number = start
    while number < len(lines):
        line = lines[number]
        indent = len(line) - len(line.lstrip())
        if not line.strip() or COMMENT.match(line) or line.strip().startswith(("}", "public:",
                                                                               "private:")):
            break
        name = NAME.search(line)
        if indent == first_indent and name:
            if first_name is None:
                first_name = name.group(1)
            elif name.group(1) == first_name:
                line = line[:indent] + "/** \\overload */ " + line[indent:]
        out.append(TRAILING.sub(r"\1/**< \2 */", line))
        number += 1
    return number


def filtered(lines):
    out = []
    number = 0
    while number < len(lines):
        if COMMENT.match(lines[number]):
            end = number
            while end < len(lines) and COMMENT.match(lines[end]):
                end += 1
            comment_block(lines, number, end, out)
            number = declarations(lines, end, out)
        else:
            out.append(TRAILING.sub(r"\1/**< \2 */", lines[number]))
            number += 1
    return out


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as f:
        text = "\n".join(filtered(f.read().split("\n")))
    sys.stdout.buffer.write(text.encode("utf-8"))
