#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Compares what a shared library exports with what its headers declare.

    exported_symbols.py LIBRARY --public HEADER... [--sibling HEADER...]
                        [--bound PREFIX]

The public headers are run through the compiler's preprocessor and only their
own lines are kept (not what they include); the functions and variables they
declare at namespace scope are read from that text, qualified by their
namespace.  A --sibling header is one of the core's private headers: only the
declarations marked KOV_SIBLING_API in it count (routines the sibling
libraries call).  With --bound, every C routine of the public headers is also
exported under PREFIX + its name (the name the libraries call it by), and
nothing else under that prefix.  The dynamic symbols the library defines (nm -D) are
demangled and reduced to their qualified names.  Any exported name that no
header declares, and any declared name the library does not export, fails.

Instantiations of the standard library's templates (namespace std and
__gnu_cxx) are left aside: libstdc++ gives them default visibility, so any
shared C++ library that uses them carries such weak copies.
"""
import argparse
import functools
import re
import subprocess
import sys

TOKEN = re.compile(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'|[A-Za-z_]\w*|::|\S')
IDENT = re.compile(r'[A-Za-z_]\w*$')
SKIPPED_STATEMENTS = {"typedef", "using", "template", "static_assert", "static", "friend", "enum",
                      "struct", "union", "class", "inline", "constexpr"}


def own_lines(header, language, includes=()):
    """The header's own text after preprocessing, without what it includes."""
    compiler = ["cc", "-x", "c", "-std=c11"] if language == "c" else ["c++", "-x", "c++",
                                                                        "-std=c++20"]
    text = subprocess.run(compiler + ["-E"] + [f"-I{d}" for d in includes] + [header],
                          check=True, capture_output=True, text=True).stdout
    keep, current = [], None
    for line in text.splitlines():
        marker = re.match(r'# \d+ "([^"]*)"', line)
        if marker:
            current = marker.group(1)
            continue
        if line.startswith("#"):  # pragmas
            continue
        if current is not None and current.endswith(header_tail(header)):
            keep.append(line)
    return "\n".join(keep)


def header_tail(header):
    return "/".join(header.split("/")[-2:])


def strip_attributes(tokens):
    """Drops __attribute__((...)) and __extension__ from a token list."""
    out, i = [], 0
    while i < len(tokens):
        if tokens[i] == "__attribute__":
            depth, i = 0, i + 1
            while i < len(tokens):
                depth += tokens[i] == "("
                depth -= tokens[i] == ")"
                i += 1
                if depth == 0:
                    break
            continue
        if tokens[i] != "__extension__":
            out.append(tokens[i])
        i += 1
    return out


def is_marked(statement):
    """Whether a declaration carries KOV_SIBLING_API (default visibility)."""
    return any(statement[i:i + 4] == ["visibility", "(", '"default"', ")"]
               for i in range(len(statement)))


def declared_name(statement, marked_only):
    """The name a namespace-scope declaration introduces, or None."""
    if marked_only and not is_marked(statement):
        return None
    statement = strip_attributes(statement)
    if not statement or statement[0] in SKIPPED_STATEMENTS or "typedef" in statement:
        return None
    depth, first_paren = 0, None
    for i, token in enumerate(statement):
        if token == "<":
            depth += 1
        elif token == ">":
            depth -= 1
        elif token == "(" and depth == 0:
            first_paren = i
            break
    if first_paren is None:  # a variable: only an extern declaration defines nothing here
        if statement[0] != "extern":
            return None
        names = [t for t in statement if IDENT.match(t) and t != "extern"]
        ends = [i for i, t in enumerate(statement) if t in ("[", "=")]
        end = ends[0] if ends else len(statement)
        names = [t for t in statement[:end] if IDENT.match(t) and t != "extern"]
        return names[-1] if names else None
    if statement[first_paren + 1:first_paren + 2] == ["*"]:  # pointer to function variable
        return statement[first_paren + 2] if statement[0] == "extern" else None
    name = statement[first_paren - 1] if first_paren > 0 else None
    if name is None or not IDENT.match(name):
        return None
    if first_paren >= 2 and statement[first_paren - 2] == "operator":
        return None
    return name


def declarations(text, marked_only=False):
    """Qualified names declared at namespace scope in preprocessed C or C++ text."""
    tokens = TOKEN.findall(text)
    names, scopes, statement, classes = set(), [], [], set()
    i = 0
    while i < len(tokens):
        token = tokens[i]
        i += 1
        if token == ";":
            name = declared_name(statement, marked_only)
            if name:
                names.add("::".join([s for s in scopes if s] + [name]))
            statement = []
        elif token == "{":
            if statement[:1] == ["namespace"]:
                scopes.append("".join(statement[1:]) or "")
                statement = []
                continue
            if statement == ["extern", '"C"']:
                scopes.append("")
                statement = []
                continue
            # A class, enum or function body: skip it whole.
            if marked_only and statement[:1] == ["class"] and is_marked(statement):
                name = strip_attributes(statement)[1]
                classes.add("::".join([s for s in scopes if s] + [name]))
            depth = 1
            while i < len(tokens) and depth:
                depth += tokens[i] == "{"
                depth -= tokens[i] == "}"
                i += 1
            head = strip_attributes(statement)
            is_function = "(" in head and not set(head) & {"class", "struct", "enum", "union",
                                                            "typedef"}
            if is_function or (head[:1] == ["template"] and tokens[i:i + 1] != [";"]):
                statement = []
            else:
                statement = ["struct"]  # what follows up to ';' declares no routine
        elif token == "}":
            if scopes:
                scopes.pop()
            statement = []
        elif token.startswith("#"):
            continue
        else:
            statement.append(token)
    return names, classes


@functools.lru_cache
def variables(library):
    """The names of the variables (nm: B, D or R) a library exports."""
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True, capture_output=True,
                         text=True).stdout
    return {line.split()[2] for line in out.splitlines()
            if len(line.split()) == 3 and line.split()[1] in "BDRbdr"}


def exported(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True, capture_output=True,
                         text=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines()
               if len(line.split()) == 3 and line.split()[1] not in "Aa"]
    demangled = subprocess.run(["c++filt"], input="\n".join(symbols), check=True,
                               capture_output=True, text=True).stdout.splitlines()
    names = set()
    for symbol in demangled:
        symbol = re.sub(r"\[abi:\w+\]", "", symbol)
        if re.match(r"(typeinfo|typeinfo name|vtable|VTT|guard variable) for ", symbol):
            symbol = symbol.split(" for ", 1)[1]
        # Drop the return type of a function template and the parameter list.
        depth, cut = 0, len(symbol)
        for i, c in enumerate(symbol):
            depth += c == "<"
            depth -= c == ">"
            if c == "(" and depth == 0:
                cut = i
                break
        if re.search(r"(^|[\s<])(std|__gnu_cxx)::", symbol[:cut]):
            continue
        name = symbol[:cut].split(" ")[-1]
        names.add(name)
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("library")
    parser.add_argument("--public", nargs="+", required=True)
    parser.add_argument("--sibling", nargs="*", default=[])
    parser.add_argument("--include", nargs="*", default=[])
    parser.add_argument("--bound")
    args = parser.parse_args()

    declared, classes = set(), set()
    for header in args.public:
        language = "c" if header.endswith(".h") else "c++"
        declared |= declarations(own_lines(header, language, args.include))[0]
    if args.bound:
        declared |= {args.bound + n for n in declared if "::" not in n and n not in variables(args.library)}
    for header in args.sibling:
        names, marked_classes = declarations(own_lines(header, "c++", args.include),
                                             marked_only=True)
        declared |= names
        classes |= marked_classes
    if not declared:
        sys.exit(f"no declarations found in {args.public}")

    exports = exported(args.library)
    undeclared = sorted(n for n in exports - declared
                        if not any(n.startswith(c + "::") or n == c for c in classes))
    missing = sorted(declared - exports)
    for name in undeclared:
        print(f"{args.library}: exports {name}, which no public header declares")
    for name in missing:
        print(f"{args.library}: does not export {name}, which a header declares")
    print(f"{args.library}: {len(exports)} exported names, {len(declared)} declared")
    sys.exit(1 if undeclared or missing else 0)


if __name__ == "__main__":
    main()
