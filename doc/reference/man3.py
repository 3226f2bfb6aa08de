#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes one section-3 manual page per routine of the public headers.

Doxygen's own manual pages are one page per group, with a link page for
every member pointing at it: `man 3 getch` showed the whole group, without
the header to include, the library to link, or what the routine returns.
This script reads Doxygen's XML output instead and writes, for every
routine (an overloaded C++ name is one routine), a page of its own:

  NAME         the routine and its brief description (what whatis shows)
  SYNOPSIS     the #include, the declaration(s), the link line
  DESCRIPTION  the routine's description, its parameters, the conventions
               of its family (the group's description)
  RETURN VALUE what the documentation says it returns
  ERRORS       how the routine fails, by the conventions of its library
  SEE ALSO     the other routines of its family and the family's page

The pages replace Doxygen's link pages of the same names; the group pages,
types and constants stay as Doxygen wrote them.

Usage: man3.py <Doxygen XML dir> <man3 dir> <version>
"""
import pathlib
import re
import sys
import xml.etree.ElementTree as ET

# What each public header needs: the include line, the library and its
# pkg-config module, and how failures are reported in that layer.
LIBRARIES = {
    "kov/kovlib.h": ("kov/kovlib.h", "-lkov", "kov",
                     "Conditions this page calls fatal end the program through "
                     "\\fBkoverr\\fP(3): the program's name and the message on standard "
                     "error (and standard output), exit status 23.  Other failures are "
                     "reported by the return value, as described above; a failed system "
                     "call is named with the system's error text."),
    "kov/kov3d.h": ("kov/kov3d.h", "-lkov3d", "kov3d",
                    "The routine returns a failure status (see RETURN VALUE) for a tag, "
                    "key or index it does not know, with a message on standard error; "
                    "conditions this page calls fatal end the program through "
                    "\\fBkoverr\\fP(3) with exit status 23."),
    "kov/kov.hpp": ("kov/kov.hpp", "-lkovtyped", "kov-typed",
                    "The typed layer never returns an error: a missing value without a "
                    "default, a value that cannot be converted or a transfer that fails "
                    "ends the program through \\fBkoverr\\fP(3) with exit status 23."),
}


def roff_text(text):
    """Escapes the backslashes of a text for roff."""
    return text.replace("\\", "\\e")


def roff_line(text):
    """A whole line of text: a dot or quote that starts it is not a request."""
    return "\\&" + text if text[:1] in (".", "'") else text


class Writer:
    """Turns a Doxygen description element into roff paragraphs and sections."""

    def __init__(self):
        self.params = []   # (name, roff text)
        self.returns = []  # roff paragraphs
        self.retvals = []  # (value, roff text)
        self.errors = []   # (name, roff text)
        self.see = []      # roff paragraphs

    def inline(self, node):
        """The text of an element, with code and emphasis marked."""
        out = [roff_text(node.text or "")]
        for child in node:
            inner = self.inline(child)
            if child.tag in ("computeroutput", "bold"):
                out.append("\\fB" + inner + "\\fP")
            elif child.tag == "emphasis":
                out.append("\\fI" + inner + "\\fP")
            elif child.tag in ("parameterlist", "simplesect", "itemizedlist",
                               "orderedlist", "programlisting"):
                self.block(child)
            elif child.tag == "linebreak":
                out.append("\n.br\n")
            elif child.tag == "sp":
                out.append(" ")
            else:
                out.append(inner)
            out.append(roff_text(child.tail or ""))
        return "".join(out)

    def block(self, node):
        """Side sections collected from inside a paragraph."""
        if node.tag == "parameterlist":
            for item in node.findall("parameteritem"):
                names = ", ".join(self.inline(n) for n in item.iter("parametername"))
                text = " ".join(self.paragraphs(item.find("parameterdescription")))
                kind = node.get("kind")
                if kind == "param":
                    self.params.append((names, text))
                elif kind == "retval":
                    self.retvals.append((names, text))
                else:
                    self.errors.append((names, text))
        elif node.tag == "simplesect":
            text = "\n.PP\n".join(self.paragraphs(node))
            kind = node.get("kind")
            if kind == "return":
                self.returns.append(text)
            elif kind == "see":
                self.see.append(text)
            else:
                self.extra.append(text)
        elif node.tag in ("itemizedlist", "orderedlist"):
            items = []
            for item in node.findall("listitem"):
                items.append(".IP \\(bu 2\n" + " ".join(self.paragraphs(item)))
            self.extra.append("\n".join(items))
        elif node.tag == "programlisting":
            lines = []
            for line in node.findall("codeline"):
                lines.append(roff_line(roff_text("".join(line.itertext()))))
            self.extra.append(".PP\n.nf\n.RS 4\n" + "\n".join(lines) + "\n.RE\n.fi")

    def paragraphs(self, node):
        """The paragraphs of a description, side sections taken out."""
        if node is None:
            return []
        out = []
        for para in node.findall("para"):
            self.extra = []
            text = " ".join(self.inline(para).split())
            if text:
                out.append(roff_line(text))
            out.extend(self.extra)
        return out


def declaration(member):
    """The C or C++ declaration of a member, as in the header."""
    templ = member.find("templateparamlist")
    head = ""
    if templ is not None:
        params = []
        for p in templ.findall("param"):
            t = "".join(p.find("type").itertext()) if p.find("type") is not None else ""
            n = p.findtext("declname") or ""
            params.append((t + " " + n).strip())
        head = "template <" + ", ".join(params) + ">\n"
    text = (member.findtext("definition") or "") + (member.findtext("argsstring") or "")
    text = re.sub(r"\bkov::", "", text) if "namespace" in text else text
    return head + " ".join(text.split()) + ";"


def page(name, members, group, header, version, siblings):
    include, link, pkg, errors_text = LIBRARIES[header]
    writer = Writer()
    brief = ""
    description = []
    for m in members:
        b = " ".join(writer.paragraphs(m.find("briefdescription")))
        if not brief:
            brief = b
        d = writer.paragraphs(m.find("detaileddescription"))
        if len(members) > 1 and b:
            d.insert(0, b)
        description.extend(d)
    if not brief:
        brief = "routine of the kov library"
    brief_plain = re.sub(r"\\f[BIP]", "", brief).rstrip(".")
    forwarded = re.fullmatch(r"(\w+)\(\)", brief_plain)
    if forwarded:  # an entry point of the blank-padded callers: "finitpar()."
        brief_plain = "%s() for callers that pass blank-padded texts" % forwarded.group(1)
        brief = brief_plain + "."
    group_title = group.findtext("title") or ""
    group_text = writer.paragraphs(group.find("detaileddescription"))

    out = []
    out.append('.\\" SPDX-License-Identifier: Apache-2.0')
    out.append('.\\" Generated from the documentation of <%s>.' % include)
    out.append('.TH "%s" 3 "" "kov %s" "kov library"' % (name.upper(), version))
    out.append(".SH NAME")
    out.append("%s \\- %s" % (roff_text(name), brief_plain))
    out.append(".SH SYNOPSIS")
    out.append(".nf")
    out.append(".B #include <%s>" % include)
    out.append(".PP")
    for m in members:
        for line in declaration(m).split("\n"):
            out.append(".B " + roff_text(line))
    out.append(".fi")
    out.append(".PP")
    out.append("Link with \\fI%s\\fP (\\fBpkg-config --libs %s\\fP)." % (link, pkg))
    out.append(".SH DESCRIPTION")
    out.append(brief if len(members) == 1 else brief)
    for d in description:
        out.append(".PP" if not d.startswith(".") else "")
        out.append(d)
    if writer.params:
        out.append(".SS Parameters")
        for pname, text in writer.params:
            out.append(".TP")
            out.append(".I " + pname)
            out.append(text)
    if group_text:
        out.append(".SS %s" % roff_text(group_title or "The family"))
        for d in group_text:
            out.append(".PP" if not d.startswith(".") else "")
            out.append(d)
    out.append(".SH RETURN VALUE")
    if writer.returns or writer.retvals:
        for r in writer.returns:
            out.append(r[0].upper() + r[1:] if r else r)
            out.append(".PP")
        for value, text in writer.retvals:
            out.append(".TP")
            out.append(".B " + value)
            out.append(text)
    else:
        types = {(m.findtext("type") or "").strip() for m in members}
        out.append("None." if types <= {"void", "KOV_NORETURN void", ""} else
                   "As described above.")
    out.append(".SH ERRORS")
    for ename, text in writer.errors:
        out.append(".TP")
        out.append(".B " + ename)
        out.append(text)
    if writer.errors:
        out.append(".PP")
    out.append(errors_text)
    out.append(".SH SEE ALSO")
    refs = ["\\fB%s\\fP(3)" % roff_text(s) for s in siblings if s != name][:12]
    refs.append("\\fB%s\\fP(3)" % roff_text(group.findtext("compoundname")))
    out.append(",\n".join(refs))
    for s in writer.see:
        out.append(".PP")
        out.append(s)
    out.append(".SH COPYRIGHT")
    out.append("Copyright The kov developers.  Licensed under the Apache License, Version 2.0.")
    text = "\n".join(line for line in out if line != "")
    return re.sub(r"\n\.PP\n\.PP\n", "\n.PP\n", text) + "\n"


def main():
    xml_dir, man_dir, version = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]
    written = 0
    for path in sorted(xml_dir.glob("group__*.xml")):
        group = ET.parse(path).getroot().find("compounddef")
        if group.findtext("compoundname", "").endswith("_internal"):
            continue
        routines = {}
        order = []
        header = None
        for member in group.iter("memberdef"):
            if member.get("kind") != "function":
                continue
            name = member.findtext("name")
            location = member.find("location").get("declfile") or member.find("location").get("file")
            header = next((h for h in LIBRARIES if location.endswith(h)), None)
            if header is None:
                continue
            if name not in routines:
                routines[name] = (header, [])
                order.append(name)
            routines[name][1].append(member)
        for name in order:
            header, members = routines[name]
            if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", name):
                continue
            (man_dir / (name + ".3")).write_text(page(name, members, group, header, version, order))
            written += 1
    if written < 100:
        sys.exit("man3.py: only %d routines found in %s" % (written, xml_dir))


if __name__ == "__main__":
    main()
