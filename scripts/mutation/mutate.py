#!/usr/bin/env python3
"""A fixed random sample of mutants of the portable core, and their run against the unit tests.

  mutate.py generate [--seed N] [--count K] [--out FILE] [--check-build DIR [--jobs N]]
      Enumerates every candidate mutant of the core's sources in a fixed order, shuffles them
      with a random generator seeded with N, and writes the first K to sample.tsv; with
      --check-build, the first K whose object file compiles in that ninja build.
  mutate.py list
      Prints every candidate mutant.
  mutate.py run --build-dir DIR [--jobs N] [--timeout S] [--filter GTEST_FILTER]
                [--sample FILE] [--path-map FILE] [--only ID,ID...] [--out results.tsv]
      Applies each mutant of the sample to the source tree in place, rebuilds the unit-test
      binary, runs it, restores the file, and writes one outcome a mutant: killed, survived,
      build-failed (not counted) or missing (its original line is gone; not counted).
  mutate.py compare BEFORE.tsv AFTER.tsv
      The mutants killed in BEFORE that AFTER lets survive; exit 1 when there is any.

A mutant is one changed line. The sample keeps the line's exact text before and after, so that
it can be applied again after the code has moved: the run looks for the original text in the
file (the occurrence nearest the recorded line number), through an optional path map for files
that have moved. In sample.tsv and the results, a backslash in a field is written \\\\ and a tab
\\t; nothing else is escaped.

Standard library only.
"""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
HERE = os.path.join(ROOT, "scripts", "mutation")

# The code whose mutants are sampled, by part: folders (every .cpp in them) and single files.
# "core": the portable core; "platform": what the POSIX backend does where a fault costs the
# user most: the crash report's writer, the ring of the mapped stack log, the settings store
# and the spawner of the library's programs.
PARTS = {
    "core": ["tracing", "bughandling", "report", "support",
             "runtime/text.cpp", "runtime/host_error.cpp"],
    "platform": ["platform/posix/crash/crash_catcher.cpp", "platform/posix/ring_log.cpp",
                 "platform/posix/settings/sqlite_registry.cpp", "platform/posix/spawn.cpp"],
}
SOURCES = PARTS["core"]

# The suites left out of the fast run: the desktop windows under Xvfb (and the programs that
# stand in for a broken window program), and the eight-process stress test of the settings
# store, which is platform code and takes two seconds alone.
DEFAULT_FILTER = "-Desktop.*:DesktopFailure.*:BrokenProgram.*:SqliteRegistryProcesses.*"
# The fast test programs (the desktop's, under Xvfb, is left out), built and run in turn: the
# first that fails kills the mutant.
TARGETS = ["cobaltmoth_core_tests", "cobaltmoth_posix_tests", "cobaltmoth_settings_tests",
           "cobaltmoth_shell_tests"]

HEADER = ["id", "kind", "file", "line", "original", "mutated"]
RESULT_HEADER = ["id", "kind", "file", "line", "outcome", "detail"]

# ------------------------------------------------------------------------------------------
# Fields


def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t")


def unescape(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append("\t" if nxt == "t" else nxt)
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def read_tsv(path):
    rows = []
    with open(path, encoding="utf-8", newline="\n") as f:
        for raw in f:
            raw = raw.rstrip("\n")
            if not raw or raw.startswith("#"):
                continue
            fields = raw.split("\t")
            if fields[0] == "id":
                header = fields
                continue
            rows.append(dict(zip(header, (unescape(x) for x in fields))))
    return rows


# ------------------------------------------------------------------------------------------
# Reading C++: each line's code with comments and the insides of literals blanked out


def source_files():
    files = []
    for entry in SOURCES:
        path = os.path.join(ROOT, entry)
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                if name.endswith(".cpp"):
                    files.append(entry + "/" + name)
        elif os.path.isfile(path):
            files.append(entry)
    return sorted(files)


def mask_lines(lines):
    """For each line: (masked code, is_preprocessor). The masked code has the line's length;
    comments are spaces, and a string or character literal keeps its quotes (and prefix) with
    spaces inside, so that no operator or number inside it is seen."""
    out = []
    in_block = False
    raw_end = None  # the closing sequence of a raw string literal still open
    continued_pp = False
    for line in lines:
        chars = list(line)
        n = len(line)
        stripped = line.lstrip()
        is_pp = continued_pp or (not in_block and raw_end is None and stripped.startswith("#"))
        continued_pp = is_pp and line.endswith("\\")
        if is_pp:
            out.append((" " * n, True))
            continue
        i = 0
        while i < n:
            if raw_end is not None:
                j = line.find(raw_end, i)
                stop = n if j < 0 else j + len(raw_end) - 1
                for k in range(i, stop):
                    chars[k] = " "
                if j < 0:
                    i = n
                else:
                    i = j + len(raw_end)
                    raw_end = None
                continue
            if in_block:
                j = line.find("*/", i)
                stop = n if j < 0 else j + 2
                for k in range(i, stop):
                    chars[k] = " "
                if j < 0:
                    i = n
                else:
                    i = j + 2
                    in_block = False
                continue
            c = line[i]
            if line.startswith("//", i):
                for k in range(i, n):
                    chars[k] = " "
                break
            if line.startswith("/*", i):
                in_block = True
                continue
            if c.isdigit() or (c == "." and i + 1 < n and line[i + 1].isdigit()):
                # A number, with digit separators; it may not start inside an identifier.
                if i > 0 and (line[i - 1].isalnum() or line[i - 1] == "_"):
                    i += 1
                    continue
                j = i + 1
                while j < n and (line[j].isalnum() or line[j] in "_.'" or
                                 (line[j] in "+-" and line[j - 1] in "eEpP")):
                    j += 1
                i = j
                continue
            if c == '"' or c == "'":
                m = re.match(r'R"([^()\\ ]{0,16})\(', line[i - 1:]) if i > 0 and line[i - 1] == "R" \
                    else None
                if c == '"' and m:
                    raw_end = ")" + m.group(1) + '"'
                    i += 1 + len(m.group(1)) + 1
                    continue
                j = i + 1
                while j < n and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                for k in range(i + 1, min(j, n)):
                    chars[k] = " "
                i = j + 1
                continue
            i += 1
        out.append(("".join(chars), False))
    return out


# ------------------------------------------------------------------------------------------
# Candidate mutants

RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
EQUALITY = {"==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}
ARITHMETIC = {"+": "-", "-": "+", "*": "/", "/": "*", "%": "*", "+=": "-=", "-=": "+="}

# Words that begin a statement which is not a plain expression statement.
STATEMENT_KEYWORDS = {
    "return", "break", "continue", "goto", "throw", "delete", "case", "default", "using",
    "typedef", "namespace", "template", "friend", "public", "private", "protected",
    "static_assert", "co_return", "co_yield", "co_await", "else", "do", "if", "for", "while",
    "switch", "try", "catch", "const", "constexpr", "static", "auto", "thread_local", "volatile",
    "unsigned", "signed", "long", "short", "struct", "class", "enum", "union", "typename",
    "inline", "extern", "explicit", "virtual", "operator", "new", "sizeof", "this"}
# What may stand before a '{' that opens a block of statements.
BLOCK_OPENERS = ("else", "do", "try", "const", "noexcept", "override", "final", "mutable")
# A declaration: a type (with scopes, template arguments, pointers, references) and a name.
DECLARATION = re.compile(
    r"^[A-Za-z_][\w:]*(?:<.*>)?(?:\s*[*&]+\s*(?:const\s+)?|\s+)[A-Za-z_]\w*\s*(?:=|\{|\(|;|\[|,)")
DATA_ROW = re.compile(r"^[\s\d,{};xXa-fA-FuUlL'\".-]*$")
INTEGER = re.compile(r"(?<![\w.'])(0[xX][0-9A-Fa-f']+|\d[\d']*)([uUlLzZ]*)(?![\w.'])")


def int_variants(literal, suffix):
    """n + 1, and 0 (1 when n is 0): n -> 1 for a larger n would mostly repeat n -> 0."""
    body = literal.replace("'", "")
    is_hex = body[:2].lower() == "0x"
    value = int(body, 16) if is_hex else int(body, 8 if len(body) > 1 and body[0] == "0"
                                             else 10)
    out = []
    for v in (value + 1, 0 if value else 1):
        if v == value or v in [x for x, _ in out]:
            continue
        if is_hex:
            text = body[:2] + format(v, "X" if any(ch.isupper() for ch in body[2:]) else "x")
        else:
            text = str(v)
        out.append((v, text + suffix))
    return [t for _, t in out]


def operator_sites(code):
    """(start, end, operator, kind) of the binary operators written with a space each side."""
    sites = []
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|&&|\|\||\+=|-=|<|>|\+|-|\*|/|%)(?=\s)", code):
        op = m.group(1)
        if op in RELATIONAL:
            kind = "ror"
        elif op in EQUALITY:
            kind = "eor"
        elif op in LOGICAL:
            kind = "lor"
        else:
            kind = "aor"
        sites.append((m.start(1), m.end(1), op, kind))
    return sites


def string_operand_nearby(code, start, end):
    """Whether an arithmetic operator joins a string or character literal (its change could
    not compile)."""
    before = code[:start].rstrip()
    after = code[end:].lstrip()
    return before.endswith(('"', "'")) or after.startswith(('"', "'", 'u"', "u'", 'u8"', 'L"'))


def matching_paren(code, open_at):
    depth = 0
    for k in range(open_at, len(code)):
        if code[k] == "(":
            depth += 1
        elif code[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def balanced(code):
    depth = 0
    for c in code:
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth < 0:
                return False
    return depth == 0


class Scanner:
    """Follows the brackets across lines, to tell where a line starts a new statement inside a
    block (a function body or a statement's braces)."""

    def __init__(self):
        self.stack = []      # '(' / '[' / 'block' / 'brace' (a class, namespace, initialiser)
        self.pending = ""    # code of the statement begun but not yet ended

    def at_statement_start(self):
        return bool(self.stack) and self.stack[-1] == "block" and not self.pending.strip()

    def feed(self, code):
        stripped = code.strip()
        if re.match(r"^(case\b.*|default\s*|public\s*|private\s*|protected\s*):$", stripped):
            self.pending = ""
            return
        for c in code:
            if c in "([":
                self.stack.append(c)
                self.pending += c
            elif c in ")]":
                if self.stack and self.stack[-1] in "([":
                    self.stack.pop()
                self.pending += c
            elif c == "{":
                before = self.pending.rstrip()
                inner = not self.stack or self.stack[-1] in ("block", "brace")
                is_block = inner and (
                    before.endswith((")", "]")) or
                    re.search(r"(^|\W)(%s)$" % "|".join(BLOCK_OPENERS), before) is not None or
                    (not before and self.stack and self.stack[-1] == "block"))
                self.stack.append("block" if is_block else "brace")
                if inner:
                    self.pending = ""
                else:
                    self.pending += c
            elif c == "}":
                if self.stack and self.stack[-1] in ("block", "brace"):
                    self.stack.pop()
                inner = not self.stack or self.stack[-1] in ("block", "brace")
                if inner:
                    self.pending = ""
                else:
                    self.pending += c
            elif c == ";":
                if not self.stack or self.stack[-1] in ("block", "brace"):
                    self.pending = ""
                else:
                    self.pending += c
            else:
                self.pending += c


def deletable(line, code):
    stripped = code.strip()
    if not stripped.endswith(";") or stripped == ";" or not balanced(stripped):
        return False
    if stripped.startswith(("{", "}", "[", ":")):
        return False
    first = re.match(r"[A-Za-z_]\w*", stripped)
    if first and first.group(0) in STATEMENT_KEYWORDS:
        return False
    if DECLARATION.match(stripped):
        return False
    return True


def line_mutants(path, number, line, code, at_statement_start):
    """The mutants of one line: (kind, mutated line)."""
    found = []
    stripped = code.strip()
    if not stripped or re.match(r"^(template|static_assert|using|namespace)\b", stripped):
        return found

    for start, end, op, kind in operator_sites(code):
        if kind == "aor" and string_operand_nearby(code, start, end):
            continue
        table = {"ror": RELATIONAL, "eor": EQUALITY, "lor": LOGICAL, "aor": ARITHMETIC}[kind]
        found.append((kind, line[:start] + table[op] + line[end:]))

    if not DATA_ROW.match(stripped):
        for m in INTEGER.finditer(code):
            for text in int_variants(m.group(1), m.group(2)):
                found.append(("const", line[:m.start()] + text + line[m.end():]))
    for m in re.finditer(r"\b(true|false)\b", code):
        other = "false" if m.group(1) == "true" else "true"
        found.append(("const", line[:m.start()] + other + line[m.end():]))

    for m in re.finditer(r"\b(if|while)\s*\(", code):
        open_at = m.end() - 1
        close = matching_paren(code, open_at)
        if close < 0:
            continue
        inner = code[open_at + 1:close]
        if ";" in inner or not inner.strip():
            continue
        found.append(("neg", line[:open_at + 1] + "!(" + line[open_at + 1:close] + ")" +
                      line[close:]))

    if at_statement_start and deletable(line, code):
        indent = line[:len(line) - len(line.lstrip())]
        found.append(("del", indent + ";"))
    return found


def enumerate_mutants():
    mutants = []
    for path in source_files():
        with open(os.path.join(ROOT, path), encoding="utf-8", newline="") as f:
            lines = f.read().split("\n")
        scanner = Scanner()
        for index, (line, (code, is_pp)) in enumerate(zip(lines, mask_lines(lines))):
            if is_pp:
                continue
            start = scanner.at_statement_start()
            for kind, mutated in line_mutants(path, index + 1, line, code, start):
                if mutated != line:
                    mutants.append({"kind": kind, "file": path, "line": str(index + 1),
                                    "original": line, "mutated": mutated})
            scanner.feed(code)
    return mutants


def object_targets(build_dir):
    """The object file ninja builds from each source file of the tree: {source path: object}."""
    targets = {}
    with open(os.path.join(build_dir, "build.ninja"), encoding="utf-8") as f:
        for line in f:
            m = re.match(r"build (\S+\.o): \S+ (\S+)", line)
            if m:
                source = os.path.relpath(m.group(2).replace("$:", ":"), ROOT)
                targets.setdefault(source, m.group(1))
    return targets


def compiles(build_dir, obj, jobs):
    return ninja(build_dir, jobs, obj)[0] == 0


def cmd_generate(args):
    mutants = enumerate_mutants()
    order = list(range(len(mutants)))
    random.Random(args.seed).shuffle(order)
    if args.check_build:
        build_dir = os.path.abspath(args.check_build)
        targets = object_targets(build_dir)
        files = sorted({m["file"] for m in mutants})
        missing = [f for f in files if f not in targets]
        if missing:
            sys.exit("no object file in %s for %s" % (build_dir, ", ".join(missing)))
        require_clean(files)
        install_term_handler()
        for f in files:
            if not compiles(build_dir, targets[f], args.jobs):
                sys.exit("the unchanged %s does not compile" % f)
        chosen, rejected = [], []
        try:
            for index in order:
                if len(chosen) == args.count:
                    break
                m = mutants[index]
                full = os.path.join(ROOT, m["file"])
                with open(full, "rb") as f:
                    saved = f.read()
                lines = saved.decode("utf-8").split("\n")
                lines[int(m["line"]) - 1] = m["mutated"]
                with Applied(full, saved, "\n".join(lines).encode("utf-8")):
                    ok = compiles(build_dir, targets[m["file"]], args.jobs)
                (chosen if ok else rejected).append(index)
                print("%4d compile, %3d do not: %s:%s %s%s" % (
                    len(chosen), len(rejected), m["file"], m["line"], m["kind"],
                    "" if ok else " (does not compile)"), flush=True)
        finally:
            # Leave the objects as the unchanged sources make them.
            for f in files:
                compiles(build_dir, targets[f], args.jobs)
            check_restored(files)
        if len(chosen) < args.count:
            sys.exit("only %d candidates compile" % len(chosen))
        note = ("the first %d that compile of %d candidates in the seeded order (%d of those "
                "tried did not compile)" % (args.count, len(mutants), len(rejected)))
    else:
        if args.count > len(mutants):
            sys.exit("only %d candidates" % len(mutants))
        chosen = order[:args.count]
        note = "%d of %d candidates" % (args.count, len(mutants))
    chosen.sort()
    commit = git("rev-parse", "--short", "HEAD").stdout.strip()
    out = args.out or os.path.join(HERE, "sample.tsv")
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write("# mutate.py generate --seed %d --count %d%s at %s: %s\n"
                % (args.seed, args.count, " --check-build" if args.check_build else "", commit,
                   note))
        f.write("\t".join(HEADER) + "\n")
        for number, index in enumerate(chosen, 1):
            m = dict(mutants[index], id="M%03d" % number)
            f.write("\t".join(escape(m[k]) for k in HEADER) + "\n")
    kinds = {}
    for index in chosen:
        kinds[mutants[index]["kind"]] = kinds.get(mutants[index]["kind"], 0) + 1
    all_kinds = {}
    for m in mutants:
        all_kinds[m["kind"]] = all_kinds.get(m["kind"], 0) + 1
    print("%s; written to %s" % (note, os.path.relpath(out, ROOT)))
    for kind in sorted(all_kinds):
        print("  %-6s %5d candidates, %4d sampled" % (kind, all_kinds[kind], kinds.get(kind, 0)))


def cmd_list(args):
    for m in enumerate_mutants():
        print("%s:%s\t%s\n\t- %s\n\t+ %s" % (m["file"], m["line"], m["kind"],
                                              m["original"].strip(), m["mutated"].strip()))


# ------------------------------------------------------------------------------------------
# Running


def read_path_map(path):
    """Lines 'old new' or 'old<TAB>new' (a file, or a folder ending in '/'); '#' comments."""
    mapping = []
    if not path:
        return mapping
    with open(path, encoding="utf-8") as f:
        for raw in f:
            raw = raw.split("#", 1)[0].strip()
            if not raw:
                continue
            parts = raw.replace("->", " ").split()
            if len(parts) != 2:
                sys.exit("path map: cannot read %r" % raw)
            mapping.append((parts[0], parts[1]))
    return mapping


def map_path(path, mapping):
    for old, new in mapping:
        if path == old:
            return new
    best = None
    for old, new in mapping:
        if old.endswith("/") and path.startswith(old) and (best is None or len(old) > len(best[0])):
            best = (old, new)
    return best[1] + path[len(best[0]):] if best else path


def locate(lines, original, recorded):
    """The index of the line equal to `original` nearest the recorded line number, or None."""
    hits = [i for i, line in enumerate(lines) if line == original]
    if not hits:
        return None
    return min(hits, key=lambda i: (abs(i + 1 - recorded), i))


def git(*args):
    return subprocess.run(["git", "-C", ROOT] + list(args), capture_output=True, text=True)


def run_tests(build_dir, gtest_filter, timeout):
    """('passed'|'failed'|'timeout', detail) of the test programs in turn, up to the first that
    does not pass."""
    for target in TARGETS:
        status, detail = run_program(os.path.join(build_dir, "tests", target), gtest_filter,
                                     timeout)
        if status != "passed":
            return status, detail
    return "passed", ""


def run_program(binary, gtest_filter, timeout):
    """('passed'|'failed'|'timeout', detail). The tests run in a process group of their own,
    which a timeout ends as a whole (some tests start children)."""
    command = [binary, "--gtest_brief=1", "--gtest_filter=" + gtest_filter]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            cwd=os.path.dirname(binary), start_new_session=True)
    try:
        output, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return "timeout", "timeout after %g s" % timeout
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    finally:
        # Children a test left in the group (none should be left).
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    text = output.decode("utf-8", "replace")
    if proc.returncode == 0:
        return "passed", ""
    failed = re.findall(r"^\[  FAILED  \] (\S+\.\S+)", text, re.M)
    if failed:
        names = list(dict.fromkeys(failed))
        return "failed", " ".join(names[:3]) + (" +%d" % (len(names) - 3) if len(names) > 3
                                                 else "")
    if proc.returncode < 0:
        return "failed", "signal %d" % -proc.returncode
    return "failed", "exit status %d" % proc.returncode


def ninja(build_dir, jobs, target):
    """(exit status, output) of ninja building one target. Ninja and its compilers run in a
    process group of their own, which an interruption ends as a whole before the caller
    restores the source: no compiler may write an object of the mutant after that."""
    proc = subprocess.Popen(["ninja", "-C", build_dir, "-j", str(jobs), target],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        output, _ = proc.communicate()
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    return proc.returncode, output.decode("utf-8", "replace")


def build(build_dir, jobs):
    status, output = 0, ""
    for target in TARGETS:
        status, output = ninja(build_dir, jobs, target)
        if status != 0:
            break
    if status == 0:
        return True, ""
    errors = [line for line in output.splitlines() if ": error:" in line]
    first = errors[0] if errors else (output.strip().splitlines() or ["?"])[-1]
    return False, first[:200]


class Interrupted(Exception):
    pass


def install_term_handler():
    """A SIGTERM ends a run the way Ctrl-C does: through the restoring `finally` blocks."""
    def on_term(signum, frame):
        raise Interrupted()
    signal.signal(signal.SIGTERM, on_term)


class Applied:
    """The mutated text written over a source file for the time of a `with`; the saved text is
    written back at its end whatever happens, with Ctrl-C and SIGTERM held back meanwhile. The
    restored file is newer than the objects built from the mutant, so the next build compiles
    it again."""

    SIGNALS = {signal.SIGINT, signal.SIGTERM}

    def __init__(self, path, saved, mutated):
        self.path, self.saved, self.mutated = path, saved, mutated

    def __enter__(self):
        self.write(self.mutated)
        return self

    def __exit__(self, *exc):
        self.write(self.saved)
        return False

    def write(self, data):
        old = signal.pthread_sigmask(signal.SIG_BLOCK, self.SIGNALS)
        try:
            with open(self.path, "wb") as f:
                f.write(data)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)


def require_clean(files):
    dirty = [f for f in files if os.path.isfile(os.path.join(ROOT, f)) and
             git("diff", "--quiet", "HEAD", "--", f).returncode != 0]
    if dirty:
        sys.exit("uncommitted changes in %s: commit or stash them first" % ", ".join(dirty))


def check_restored(files):
    """The files that differ from the commit (there should be none); said on stderr."""
    unrestored = [f for f in files if os.path.isfile(os.path.join(ROOT, f)) and
                  git("diff", "--quiet", "HEAD", "--", f).returncode != 0]
    if unrestored:
        print("NOT RESTORED: %s" % ", ".join(unrestored), file=sys.stderr)
    else:
        print("every mutated file is restored (git diff --quiet)", flush=True)
    return unrestored


def cmd_run(args):
    build_dir = os.path.abspath(args.build_dir)
    mapping = read_path_map(args.path_map)
    sample = read_tsv(args.sample)
    if args.only:
        wanted = set(args.only.split(","))
        sample = [m for m in sample if m["id"] in wanted]
    files = sorted({map_path(m["file"], mapping) for m in sample})
    require_clean(files)
    install_term_handler()

    print("Unchanged tree: building and running the tests once", flush=True)
    ok, detail = build(build_dir, args.jobs)
    if not ok:
        sys.exit("the unchanged tree does not build: " + detail)
    started = time.monotonic()
    status, detail = run_tests(build_dir, args.filter, args.timeout)
    clean_seconds = time.monotonic() - started
    if status != "passed":
        sys.exit("the unchanged tree fails its tests (%s): %s" % (status, detail))
    print("  tests pass in %.1f s; filter %s" % (clean_seconds, args.filter), flush=True)

    out_path = args.out
    results = []
    run_started = time.monotonic()
    interrupted = False
    with open(out_path, "w", encoding="utf-8", newline="\n") as out:
        out.write("\t".join(RESULT_HEADER) + "\n")
        try:
            for m in sample:
                path = map_path(m["file"], mapping)
                full = os.path.join(ROOT, path)
                outcome, detail, found_line = "missing", "", ""
                t0 = time.monotonic()
                if os.path.isfile(full):
                    with open(full, "rb") as f:
                        saved = f.read()
                    lines = saved.decode("utf-8").split("\n")
                    index = locate(lines, m["original"], int(m["line"]))
                    if index is None:
                        detail = "original line not found"
                    else:
                        found_line = str(index + 1)
                        lines[index] = m["mutated"]
                        with Applied(full, saved, "\n".join(lines).encode("utf-8")):
                            ok, detail = build(build_dir, args.jobs)
                            if not ok:
                                outcome = "build-failed"
                            else:
                                status, detail = run_tests(build_dir, args.filter, args.timeout)
                                outcome = "survived" if status == "passed" else "killed"
                else:
                    detail = "file not found"
                row = {"id": m["id"], "kind": m["kind"], "file": path,
                       "line": found_line or m["line"], "outcome": outcome, "detail": detail}
                results.append(row)
                out.write("\t".join(escape(row[k]) for k in RESULT_HEADER) + "\n")
                out.flush()
                print("%s %-6s %-28s %5s  %-12s %5.1f s  %s" % (
                    m["id"], m["kind"], path, row["line"], outcome, time.monotonic() - t0,
                    detail), flush=True)
        except (KeyboardInterrupt, Interrupted):
            interrupted = True
            print("\ninterrupted: the mutated file is restored", flush=True)
        finally:
            unrestored = check_restored(files)
        summary = summarise(results, time.monotonic() - run_started, args.filter)
        if interrupted:
            summary.insert(0, "interrupted after %d of %d mutants" % (len(results), len(sample)))
        for line in summary:
            out.write("# " + line + "\n")
    print("\n".join(summary))
    if unrestored:
        return 2
    return 130 if interrupted else 0


def summarise(results, seconds, gtest_filter):
    counts = {}
    for r in results:
        counts[r["outcome"]] = counts.get(r["outcome"], 0) + 1
    killed = counts.get("killed", 0)
    valid = killed + counts.get("survived", 0)
    lines = [
        "filter: %s" % gtest_filter,
        "mutants: %d; build-failed: %d; missing: %d; valid: %d"
        % (len(results), counts.get("build-failed", 0), counts.get("missing", 0), valid),
        "killed: %d of %d valid (%.1f%%); survived: %d"
        % (killed, valid, 100.0 * killed / valid if valid else 0.0, counts.get("survived", 0)),
        "time: %.0f s (%.1f s a mutant)" % (seconds, seconds / len(results) if results else 0),
    ]
    missing = [r["id"] for r in results if r["outcome"] == "missing"]
    if missing:
        lines.append("missing: " + " ".join(missing))
    return lines


def cmd_compare(args):
    before = {r["id"]: r for r in read_tsv(args.before)}
    after = {r["id"]: r for r in read_tsv(args.after)}
    lost = [i for i, r in before.items()
            if r["outcome"] == "killed" and after.get(i, {}).get("outcome") != "killed"]
    for name, rows in (("before", before), ("after", after)):
        killed = sum(r["outcome"] == "killed" for r in rows.values())
        valid = killed + sum(r["outcome"] == "survived" for r in rows.values())
        print("%-6s killed %d of %d valid (%.1f%%)" % (name, killed, valid,
                                                      100.0 * killed / valid if valid else 0))
    for i in lost:
        print("killed before, now %s: %s %s %s:%s" % (
            after.get(i, {}).get("outcome", "absent"), i, before[i]["kind"], before[i]["file"],
            before[i]["line"]))
    return 1 if lost else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    g = sub.add_parser("generate", help="write the sample")
    g.add_argument("--seed", type=int, default=1)
    g.add_argument("--count", type=int, default=200)
    g.add_argument("--out", help="default: scripts/mutation/sample.tsv")
    g.add_argument("--check-build", metavar="DIR",
                   help="keep only mutants whose object file compiles in this ninja build "
                        "(the first COUNT in the seeded order)")
    g.add_argument("--jobs", type=int, default=2)
    g.add_argument("--part", choices=sorted(PARTS), default="core",
                   help="which code to sample (default: core)")
    lst = sub.add_parser("list", help="print every candidate mutant")
    lst.add_argument("--part", choices=sorted(PARTS), default="core")
    r = sub.add_parser("run", help="run the sample against the unit tests")
    r.add_argument("--build-dir", required=True)
    r.add_argument("--jobs", type=int, default=2, help="ninja's -j (default 2)")
    r.add_argument("--timeout", type=float, default=30.0,
                   help="seconds for one test run; a timeout kills the mutant (default 30)")
    r.add_argument("--filter", default=DEFAULT_FILTER, help="gtest filter (default: %(default)s)")
    r.add_argument("--sample", default=os.path.join(HERE, "sample.tsv"))
    r.add_argument("--path-map", help="file of 'old-path new-path' lines for moved files")
    r.add_argument("--only", help="comma-separated mutant ids")
    r.add_argument("--out", default="results.tsv")
    c = sub.add_parser("compare", help="mutants killed before and not after")
    c.add_argument("before")
    c.add_argument("after")
    args = parser.parse_args()
    global SOURCES
    SOURCES = PARTS[getattr(args, "part", "core")]
    if args.command == "generate":
        cmd_generate(args)
    elif args.command == "list":
        cmd_list(args)
    elif args.command == "run":
        sys.exit(cmd_run(args))
    else:
        sys.exit(cmd_compare(args))


if __name__ == "__main__":
    main()
