"""Every line that the programs can write to their log is in docs/log.md, and
every line there is one they can write. The lines are read from the sources:
the format of each LogLine and LogFailure call in lib/, setup/ and cleanup/
(literals joined, each choice of a ?: its own format), with each narrow-text
argument that is a constant written out: a literal, a named constant, a text
parameter that every caller fills with constants, or the static texts of a
function that returns one for each case (only the cases that the branch
leading to the call lets through). docs/log.md holds them as the first column
of its tables, one line each, with <placeholders> for values. Needs no Wine;
MENUTOOLS_SOURCE_DIR names the source tree."""

import bisect
import glob
import os
import re
import unittest

SOURCE_DIR = os.environ["MENUTOOLS_SOURCE_DIR"]
SOURCE_FOLDERS = ("lib", "setup", "cleanup")
REFERENCE = os.path.join(SOURCE_DIR, "docs", "log.md")
LOG_FUNCTIONS = ("LogLine", "LogFailure")

STRING = r'"(?:\\.|[^"\\\n])*"'
CHARACTER = r"'(?:\\.|[^'\\\n])*'"
TOKEN = re.compile(STRING + "|" + CHARACTER + r"|\w+|==|!=|&&|\|\||->|::|\S")
COMMENT = re.compile(STRING + "|" + CHARACTER + r"|//[^\n]*|/\*.*?\*/", re.S)
# A conversion (see lib/log.h), or a macro between literals: %{NAME}.
PIECE = re.compile(r"%(\{\w+\}|[1-9]?u|[sSx%])")
PLACEHOLDER = r"<[^<>]+>"
# What a conversion may stand for in a reference line: a placeholder or the
# value itself. A LogFailure line ends in ": " and the error's description.
VALUE = {"s": r".*?", "S": r".*?", "u": r"(?:%s|\d+)" % PLACEHOLDER,
         "x": r"(?:%s|[0-9A-F]{8})" % PLACEHOLDER, "%": "%", "}": r"(?:%s|\S+)" % PLACEHOLDER}
FAILURE_TAIL = r": (?:%s|error .+)" % PLACEHOLDER
REFERENCE_LINE = re.compile(r"^\| `([^`]+)` \|", re.M)

# Lines the sources can form that no run writes, each with the reason.
NEVER_WRITTEN = {
    "Folder kept: %s is not there":
        "a walk that stops at a missing level is not a refusal: that level is not removed",
    "Folder kept: %s is a folder": "the levels are judged as folders",
    "Folder kept: %s has more than one name (hard links)": "only a file is judged for its names",
    "Shortcut refused: %s has more than one name (hard links)":
        "the levels are folders, and menucleanup's shortcut is judged as a file of any names",
    "Log file %s not used: it is not there": "a missing log file is made",
    "Log file %s not used: it is not a folder": "the log file is judged as a file",
}


def tokenize(path):
    """The file's tokens and the line of each, comments left out."""
    with open(path, encoding="utf-8") as source:
        text = COMMENT.sub(lambda m: m.group(0) if m.group(0)[0] in "\"'"
                           else re.sub(r"[^\n]", " ", m.group(0)), source.read())
    starts = [m.start() for m in re.finditer(r"^", text, re.M)]
    found = list(TOKEN.finditer(text))
    return [m.group(0) for m in found], [bisect.bisect(starts, m.start()) for m in found]


def literal(token):
    return token[0] == '"'


def decode(tokens):
    return "".join(t[1:-1].encode().decode("unicode_escape") for t in tokens if literal(t))


def matching(words, at, step=1):
    """The index of the bracket that closes (step 1) or opens (step -1) the
    one at `at`."""
    depth = 0
    for i in range(at, len(words) if step > 0 else -1, step):
        depth += ((words[i] in "([{") - (words[i] in ")]}")) * step
        if depth == 0:
            return i
    raise ValueError("unbalanced brackets")


def split(words, separator):
    """`words` split at each `separator` outside brackets."""
    parts, depth = [[]], 0
    for word in words:
        depth += (word in "([{") - (word in ")]}")
        if word == separator and depth == 0:
            parts.append([])
        else:
            parts[-1].append(word)
    return parts


def is_declaration(argument):
    """Whether a parenthesised item declares a parameter (BOOL judge, const
    char* refusal) rather than passing a value."""
    return (len(argument) >= 2 and re.fullmatch(r"\w+", argument[0]) is not None and
            re.fullmatch(r"\w+", argument[-1]) is not None and
            (re.fullmatch(r"\w+", argument[-2]) is not None or argument[-2] in "*&"))


class Sources:
    """What the log calls' narrow-text arguments can hold, across all files:
    named constants, the text parameters and what their callers pass, and the
    static texts of functions that return one for each case."""

    def __init__(self, files):
        self.files = {path: tokenize(path) for path in files}
        self.constants, self.parameters, self.cases, self.calls = {}, {}, {}, {}
        for words, _ in self.files.values():
            for i, word in enumerate(words):
                if words[i:i + 2] == ["constexpr", "char"] and words[i + 3:i + 6] == ["[", "]", "="]:
                    self.constants[words[i + 2]] = decode(words[i + 6:words.index(";", i)])
                if word != "(" or i == 0 or re.fullmatch(r"\w+", words[i - 1]) is None:
                    continue
                function, close = words[i - 1], matching(words, i)
                arguments = split(words[i + 1:close], ",")
                if not any(is_declaration(argument) for argument in arguments):
                    self.calls.setdefault(function, []).append(arguments)
                    continue
                for index, argument in enumerate(arguments):
                    if argument[:3] == ["const", "char", "*"]:
                        self.parameters.setdefault(argument[3], []).append((function, index))
                if words[i - 3:i - 1] == ["char", "*"] and words[close + 1] == "{":
                    body = words[close + 1:matching(words, close + 1)]
                    for at in (j for j, w in enumerate(body) if w == "case"):
                        if body[at + 2:at + 4] == [":", "return"]:
                            self.cases.setdefault(function, {})[body[at + 1]] = decode(
                                body[at + 4:body.index(";", at)])

    def values(self, argument, branch, seen=()):
        """The texts that a narrow-text argument can hold, or None when it is
        not made of constants."""
        if argument and all(literal(t) for t in argument):
            return [decode(argument)]
        if len(argument) == 1 and argument[0] in self.constants:
            return [self.constants[argument[0]]]
        if len(argument) == 1 and argument[0] in self.parameters:
            if argument[0] in seen:
                return []
            found = []
            for function, index in self.parameters[argument[0]]:
                for call in self.calls.get(function, []):
                    values = self.values(call[index], None, seen + (argument[0],)) \
                        if index < len(call) else None
                    if values is None:
                        return None
                    found += [value for value in values if value not in found]
            return found or None
        if len(argument) == 4 and argument[0] in self.cases and argument[1] == "(":
            return [text for case, text in self.cases[argument[0]].items()
                    if branch(argument[2], case)]
        return None


def evaluate(condition, variable, case):
    """True or False when `condition` depends only on how `variable`, holding
    `case`, compares with named values; None otherwise."""
    out, i = [], 0
    while i < len(condition):
        if condition[i] == variable and condition[i + 1:i + 2] in (["=="], ["!="]):
            out.append(str((condition[i + 2] == case) == (condition[i + 1] == "==")))
            i += 3
            continue
        out.append({"&&": "and", "||": "or", "!": "not"}.get(condition[i], condition[i]))
        i += 1
    if not all(word in ("True", "False", "and", "or", "not", "(", ")") for word in out):
        return None
    return eval(" ".join(out))  # nothing but the words checked above


def branch_at(words, at):
    """A test of whether the chain of ifs and elses whose branch holds the
    word at `at` can be taken with `variable` holding `case`: the branch's own
    condition must not be false for it, nor an earlier one of the chain true."""
    start = at
    while words[start] != "{" or matching(words, start) < at:
        start -= 1
    conditions = []  # (condition, the result that rules the case out)
    excluding = False
    while True:
        if words[start - 1] == ")" and words[matching(words, start - 1, -1) - 1] == "if":
            opening = matching(words, start - 1, -1)
            conditions.append((words[opening + 1:start - 1], excluding))
            head = opening - 1
        elif words[start - 1] == "else":
            head = start
        else:
            break
        if words[head - 2:head] != ["}", "else"]:
            break
        excluding = True
        start = matching(words, head - 2, -1)
    return lambda variable, case: all(evaluate(condition, variable, case) is not result
                                      for condition, result in conditions)


def log_formats(sources):
    """(file, line, function, format) for every line that the log calls can
    form, constant narrow-text arguments written out; the format is None where
    it is not made of literals."""
    for path, (words, lines) in sorted(sources.files.items()):
        for i, word in enumerate(words):
            if word not in LOG_FUNCTIONS or words[i + 1] != "(" or words[i - 1] == "void":
                continue
            arguments = split(words[i + 2:matching(words, i + 1)], ",")[word == "LogFailure":]
            choices = split(split(arguments[0], "?")[-1], ":") if "?" in arguments[0] \
                else [arguments[0]]
            for choice in choices:
                for form in expand(sources, choice, arguments[1:], branch_at(words, i)):
                    yield path, lines[i], word, form


def expand(sources, choice, arguments, branch):
    if not any(literal(t) for t in choice):
        return [None]
    text = "".join(decode([t]) if literal(t) else "%{" + t + "}" for t in choice)
    pieces = PIECE.split(text)
    forms = [pieces[0]]
    remaining = iter(arguments)
    for conversion, following in zip(pieces[1::2], pieces[2::2]):
        texts = None
        if conversion in "sSxu" or conversion[-1] == "u":
            argument = next(remaining, [])
            texts = sources.values(argument, branch) if conversion == "S" else None
        if texts is None:
            forms = [form + "%" + conversion + following for form in forms]
        else:
            forms = [form + t.replace("%", "%%") + following for form in forms for t in texts]
    return forms


def pattern(form, function):
    pieces = PIECE.split(form)
    expression = "".join(re.escape(piece) if index % 2 == 0 else VALUE[piece[-1]]
                         for index, piece in enumerate(pieces))
    return re.compile(expression + (FAILURE_TAIL if function == "LogFailure" else ""))


class LogReferenceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        files = [path for folder in SOURCE_FOLDERS
                 for path in glob.glob(os.path.join(SOURCE_DIR, folder, "*.[ch]*"))]
        cls.formats = list(log_formats(Sources(files)))
        cls.written = [(form, function) for _, _, function, form in cls.formats
                       if form is not None and form not in NEVER_WRITTEN]
        with open(REFERENCE, encoding="utf-8") as reference:
            cls.reference = REFERENCE_LINE.findall(reference.read())

    def test_every_source_folder_is_read(self):
        self.assertEqual({os.path.relpath(path, SOURCE_DIR).split(os.sep)[0]
                          for path, *_ in self.formats}, set(SOURCE_FOLDERS))

    def test_every_line_the_programs_can_write_is_in_the_reference(self):
        missing = ["%s:%d: %s(\"%s\")" % (os.path.relpath(path, SOURCE_DIR), line, function,
                                         form if form is not None else "<not a literal>")
                   for path, line, function, form in self.formats
                   if form not in NEVER_WRITTEN and (form is None or not any(
                       pattern(form, function).fullmatch(r) for r in self.reference))]
        if missing:
            self.fail("docs/log.md has no line for these formats; add each whole, with "
                      "<placeholders> for the values:\n" + "\n".join(missing))

    def test_every_line_in_the_reference_can_be_written(self):
        stale = [r for r in self.reference
                 if not any(pattern(form, function).fullmatch(r) for form, function in self.written)]
        if stale:
            self.fail("docs/log.md holds lines that no log call forms:\n" + "\n".join(stale))

    def test_lines_never_written_are_still_formed(self):
        self.assertLessEqual(set(NEVER_WRITTEN), {form for *_, form in self.formats})


if __name__ == "__main__":
    unittest.main()
