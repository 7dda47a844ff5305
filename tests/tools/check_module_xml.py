#!/usr/bin/env python3
"""Checks the module description of voluna-filter --xml.

    check_module_xml.py VOLUNA_FILTER SAMPLE_VOLUME

First against the rules of the command-line module format that 3D Slicer and
CTK read (well-formed XML, elements in the order the format gives, names and
flags that their parsers accept, every image with a channel), then against
the program itself: every flag is one it takes, every limit is its own, and
the defaults, passed back the way Slicer passes them with INPUT OUTPUT, give
the bytes of a plain run. Prints every problem found and exits 1 if any.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

IDENTIFIER = re.compile(r"[_a-zA-Z][_a-zA-Z0-9]*\Z")
FLAG = re.compile(r"-?[a-zA-Z]\Z")
LONGFLAG = re.compile(r"-?-?[_a-zA-Z][_a-zA-Z0-9]*\Z")
HEADER = ["category", "title", "description", "version", "documentation-url", "license", "contributor",
          "acknowledgements"]
SCALARS = {"integer", "float", "double"}
ENUMERATIONS = {"integer-enumeration", "float-enumeration", "double-enumeration", "string-enumeration"}
FILES = {"file", "image", "geometry", "directory", "transform", "table", "point", "pointfile", "region"}
PARAMETERS = SCALARS | ENUMERATIONS | FILES | {"boolean", "string", "integer-vector", "float-vector",
                                               "double-vector", "string-vector", "measurement"}
# name, then flag [longflag] | longflag | index, description, label, default?, channel?, then what the type adds.
PARAMETER_ORDER = re.compile(r"name (flag (longflag )?|longflag |index )description label (default )?(channel )?"
                             r"(constraints |(element )+)?\Z")


class Checker:
    def __init__(self):
        self.problems = []

    def require(self, condition, message):
        if not condition:
            self.problems.append(message)
        return condition


def text(element, tag):
    child = element.find(tag)
    return None if child is None else (child.text or "").strip()


def check_format(xml, check):
    check.require(xml.startswith("<?xml "), "Slicer reads only a description that starts with '<?xml '")
    if shutil.which("xmllint"):
        lint = subprocess.run(["xmllint", "--noout", "-"], input=xml, text=True, capture_output=True)
        check.require(lint.returncode == 0, "xmllint: " + lint.stderr.strip())
    try:
        root = ET.fromstring(xml)
    except ET.ParseError as error:
        check.require(False, "not well-formed: %s" % error)
        return None
    check.require(root.tag == "executable", "the root is <%s>, not <executable>" % root.tag)
    tags = [child.tag for child in root]
    header = [tag for tag in tags if tag != "parameters"]
    check.require(tags == header + ["parameters"] * (len(tags) - len(header)),
                  "every <parameters> must follow the module's own elements: %s" % tags)
    check.require(header == [tag for tag in HEADER if tag in header] and len(set(header)) == len(header),
                  "the module's elements are out of order or repeated: %s" % header)
    for tag in ("title", "description"):
        check.require(text(root, tag), "the module has no %s" % tag)
    check.require(text(root, "category") == "Filtering.Denoising", "category is %r" % text(root, "category"))
    for tag in ("version", "contributor"):
        check.require(text(root, tag), "the module has no %s" % tag)

    names, flags, indices = set(), set(), []
    for group in root.findall("parameters"):
        check.require(group.get("advanced", "false") in ("true", "false"), "advanced must be true or false")
        children = list(group)
        check.require([c.tag for c in children[:2]] == ["label", "description"],
                      "a group starts with <label> and <description>")
        check.require(all((c.text or "").strip() for c in children[:2]), "a group's label or description is empty")
        parameters = children[2:]
        check.require(parameters, "the group %r holds no parameter" % text(group, "label"))
        for p in parameters:
            where = "parameter %r" % text(p, "name")
            check.require(p.tag in PARAMETERS, "%s: <%s> is no parameter type" % (where, p.tag))
            order = "".join(child.tag + " " for child in p)
            check.require(PARAMETER_ORDER.match(order), "%s: elements out of the format's order: %s" % (where, order))
            name = text(p, "name") or ""
            check.require(IDENTIFIER.match(name), "%s: the name must be an identifier" % where)
            check.require(name not in names, "%s: the name is used twice" % where)
            names.add(name)
            check.require(text(p, "label"), "%s has no label" % where)
            check.require(text(p, "description"), "%s has no description" % where)
            check.require(p.get("hidden", "false") in ("true", "false"), "%s: hidden must be true or false" % where)
            flag, longflag, index = text(p, "flag"), text(p, "longflag"), text(p, "index")
            check.require(flag is not None or longflag is not None or index is not None,
                          "%s has neither a flag, a long flag nor an index" % where)
            if flag is not None:
                check.require(FLAG.match(flag), "%s: flag %r is not one letter" % (where, flag))
            if longflag is not None:
                check.require(LONGFLAG.match(longflag),
                              "%s: long flag %r may hold only letters, digits and underscores" % (where, longflag))
            for f in (flag, longflag):
                if f is not None:
                    check.require(f.lstrip("-") not in flags, "%s: flag %r is used twice" % (where, f))
                    flags.add(f.lstrip("-"))
            if index is not None:
                check.require(index.isdigit(), "%s: index %r is not a whole number" % (where, index))
                indices.append(int(index) if index.isdigit() else -1)
            channel = text(p, "channel")
            if p.tag in FILES:
                check.require(channel in ("input", "output"), "%s: an image or file needs a channel" % where)
            default = text(p, "default")
            if p.tag == "boolean":
                check.require(default in ("true", "false"), "%s: a boolean's default is true or false" % where)
            if p.tag in ENUMERATIONS:
                elements = [e.text for e in p.findall("element")]
                check.require(default in elements, "%s: the default %r is not among %s" % (where, default, elements))
            constraints = p.find("constraints")
            if constraints is not None:
                check.require(p.tag in SCALARS, "%s: only numbers take constraints" % where)
                check.require(constraints.find("step") is not None, "%s: constraints need a step" % where)
                low, high = text(constraints, "minimum"), text(constraints, "maximum")
                if default is not None and low is not None:
                    check.require(float(low) <= float(default), "%s: the default is below the minimum" % where)
                if default is not None and high is not None:
                    check.require(float(default) <= float(high), "%s: the default is above the maximum" % where)
    check.require(sorted(indices) == list(range(len(indices))), "indices must run from 0 without gaps: %s" % indices)
    images = [p for p in root.iter("image")]
    check.require([text(p, "index") for p in images if text(p, "channel") == "input"] == ["0"],
                  "the input image must be at index 0")
    check.require([text(p, "index") for p in images if text(p, "channel") == "output"] == ["1"],
                  "the output image must be at index 1")
    return root


def run(binary, arguments, folder):
    return subprocess.run([binary] + arguments, cwd=folder, capture_output=True, text=True)


def slicer_arguments(parameter, value):
    """What Slicer puts on the command line for one flagged parameter."""
    flag = "--" + text(parameter, "longflag").lstrip("-")
    if parameter.tag == "boolean":
        return [flag] if value == "true" else []
    return [flag, value]


def check_program(root, binary, sample, check):
    with tempfile.TemporaryDirectory(prefix="voluna-module-") as folder:
        missing = os.path.join(folder, "missing.nrrd")
        flagged = [p for g in root.findall("parameters") for p in list(g)[2:] if text(p, "longflag") is not None]

        def accepted(parameter, value):
            # A value the program takes gets as far as the missing input (1);
            # one it refuses ends as bad usage (2) before any work.
            result = run(binary, slicer_arguments(parameter, value) + [missing], folder)
            return result.returncode, result.stderr.strip()

        for p in flagged:
            where = "parameter %r" % text(p, "name")
            values = [text(p, "default")] + [e.text for e in p.findall("element")]
            if p.tag == "boolean":
                values = ["true"]
            for value in values:
                code, err = accepted(p, value)
                check.require(code == 1, "%s: the program does not take %r (%d: %s)" % (where, value, code, err))
            constraints = p.find("constraints")
            if p.tag in ENUMERATIONS:
                code, _ = accepted(p, "no-such-choice")
                check.require(code == 2, "%s: the program takes a value outside the elements" % where)
            if constraints is None:
                continue
            for bound, step in (("minimum", -1), ("maximum", 1)):
                limit = text(constraints, bound)
                if limit is None:
                    continue
                code, err = accepted(p, limit)
                check.require(code == 1, "%s: the program refuses its own %s %s (%s)" % (where, bound, limit, err))
                code, _ = accepted(p, str(int(limit) + step))
                check.require(code == 2, "%s: the program takes a value beyond the %s %s" % (where, bound, limit))

        # The whole module run as Slicer starts it, against a plain run.
        arguments = []
        for p in flagged:
            arguments += slicer_arguments(p, text(p, "default"))
        module = run(binary, arguments + [sample, os.path.join(folder, "module.nrrd")], folder)
        plain = run(binary, ["-o", os.path.join(folder, "plain.nrrd"), sample], folder)
        if check.require(module.returncode == 0 and plain.returncode == 0,
                         "the runs failed: %s %s" % (module.stderr, plain.stderr)):
            with open(os.path.join(folder, "module.nrrd"), "rb") as a, open(os.path.join(folder, "plain.nrrd"), "rb") as b:
                check.require(a.read() == b.read(), "the module run with the defaults differs from the plain run")
            check.require("<filter-progress>" in module.stdout, "the module run reports no progress for Slicer")
            check.require(module.stderr == "", "the module run wrote on standard error: " + module.stderr)


def main():
    binary, sample = sys.argv[1], sys.argv[2]
    described = subprocess.run([binary, "--xml"], capture_output=True, text=True)
    check = Checker()
    check.require(described.returncode == 0, "--xml exited with %d" % described.returncode)
    root = check_format(described.stdout, check)
    if root is not None:
        check_program(root, binary, sample, check)
    for problem in check.problems:
        print("module description: " + problem)
    print("module description: %d problems" % len(check.problems))
    return 1 if check.problems else 0


if __name__ == "__main__":
    sys.exit(main())
