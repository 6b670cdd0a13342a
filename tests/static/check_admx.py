#!/usr/bin/env python3
"""Checks of the administrative templates against the program:

  check_admx.py ADMX ADML MANAGED_POLICY_HEADER

Both files well-formed; a namespace of their own and the category "Ventrix";
every policy of class Both with an explain text; every string and
presentation reference resolves, and every element has its presentation
control; the values declared (key, name, registry type) are exactly those in
the program's one list of values it reads (ManagedValues in the header).
Keys are compared as the registry compares them, without regard to case.
"""
import re
import sys
import xml.etree.ElementTree as ET

NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
REG_SZ, REG_DWORD = "REG_SZ", "REG_DWORD"
TYPES = {"RegSz": REG_SZ, "RegDword": REG_DWORD}
LIST = "(list)"  # the name a list's values go by: 1, 2, ...
REFERENCE = re.compile(r"^\$\((string|presentation)\.([A-Za-z0-9_]+)\)$")
CONTROLS = {"text": "textBox", "decimal": "decimalTextBox", "list": "listBox"}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def program_values(header):
    """{(key lowered, name): type} from the ManagedValues table."""
    text = open(header, encoding="utf-8").read()
    table = re.search(r"ManagedValues\[\]\s*=\s*\{(.*?)\n\};", text, re.S)
    check(table, "no ManagedValues table in %s" % header)
    rows = re.findall(r'\{"(\w+)",\s*"([^"]+)",\s*(\w+),\s*ManagedKind::(\w+)\}', table.group(1))
    check(rows, "the ManagedValues table has no rows")
    values = {}
    for name, key, rtype, kind in rows:
        key = key.replace("\\\\", "\\").lower()
        values[(key, LIST if kind == "MediaList" else name)] = TYPES[rtype]
    return values


def tag(element):
    return element.tag.split("}")[1]


def main(admx_path, adml_path, header):
    admx = ET.parse(admx_path).getroot()
    adml = ET.parse(adml_path).getroot()
    strings = {s.get("id"): (s.text or "") for s in adml.iterfind(".//p:stringTable/p:string", NS)}
    presentations = {p.get("id"): p for p in adml.iterfind(".//p:presentationTable/p:presentation", NS)}

    def resolve(reference, kind, where):
        match = REFERENCE.match(reference or "")
        check(match and match[1] == kind, "%s: %r is no %s reference" % (where, reference, kind))
        table = strings if kind == "string" else presentations
        check(match[2] in table, "%s: %s %r is not in the .adml" % (where, kind, match[2]))
        return table[match[2]]

    target = admx.find("p:policyNamespaces/p:target", NS)
    check(target is not None and not target.get("namespace", "").startswith("Microsoft."),
          "the templates need a namespace of their own")
    for reference in admx.iter():
        for attribute in ("displayName", "explainText"):
            if attribute in reference.attrib:
                resolve(reference.get(attribute), "string", reference.get("name"))
    categories = {c.get("name"): c for c in admx.iterfind("p:categories/p:category", NS)}
    check(set(categories) == {"Ventrix"} and resolve(categories["Ventrix"].get("displayName"), "string",
                                                      "category") == "Ventrix", "the category is not \"Ventrix\"")

    declared, used_presentations = {}, set()
    for policy in admx.iterfind("p:policies/p:policy", NS):
        name = policy.get("name")
        check(policy.get("class") == "Both", "%s is not of class Both" % name)
        check(resolve(policy.get("explainText"), "string", name).strip(), "%s explains nothing" % name)
        parent = policy.find("p:parentCategory", NS)
        check(parent is not None and parent.get("ref") in categories, "%s is in no category of ours" % name)
        key = policy.get("key", "")
        if policy.get("valueName"):
            enabled = policy.find("p:enabledValue/*", NS)
            check(enabled is not None, "%s sets no value when enabled" % name)
            rtype = REG_DWORD if tag(enabled) == "decimal" else REG_SZ
            declared[(key.lower(), policy.get("valueName"))] = rtype
        elements = list(policy.find("p:elements", NS) or [])
        controls = {}
        if elements:
            presentation = resolve(policy.get("presentation"), "presentation", name)
            used_presentations.add(presentation.get("id"))
            controls = {c.get("refId"): tag(c) for c in presentation}
            check(set(controls) == {e.get("id") for e in elements},
                  "%s: presentation controls %s for elements %s" % (name, sorted(controls),
                                                                    sorted(e.get("id") for e in elements)))
        for element in elements:
            kind, where = tag(element), "%s/%s" % (name, element.get("id"))
            check(kind in CONTROLS and controls[element.get("id")] == CONTROLS[kind],
                  "%s: a %s shown as %s" % (where, kind, controls.get(element.get("id"))))
            element_key = element.get("key", key).lower()
            if kind == "list":
                check(element.get("valuePrefix") == "" and element.get("explicitValue", "false") == "false"
                      and element.get("expandable", "false") == "false",
                      "%s: list values must be REG_SZ named 1, 2, ..." % where)
                declared[(element_key, LIST)] = REG_SZ
            elif kind == "decimal":
                check(element.get("storeAsText", "false") == "false", "%s is stored as text" % where)
                declared[(element_key, element.get("valueName"))] = REG_DWORD
            else:
                check(element.get("expandable", "false") == "false", "%s is an expandable string" % where)
                declared[(element_key, element.get("valueName"))] = REG_SZ
    check(used_presentations == set(presentations),
          "presentations no policy uses: %s" % sorted(set(presentations) - used_presentations))

    wanted = program_values(header)
    missing = sorted("%s\\%s %s" % (k, n, t) for (k, n), t in wanted.items() if declared.get((k, n)) != t)
    extra = sorted("%s\\%s %s" % (k, n, t) for (k, n), t in declared.items() if wanted.get((k, n)) != t)
    check(not missing, "not declared as the program reads them: %s" % ", ".join(missing))
    check(not extra, "declared but not read by the program: %s" % ", ".join(extra))
    print("%s: %d values, as the program reads them; strings and presentations resolve" % (admx_path, len(wanted)))


if __name__ == "__main__":
    try:
        main(*sys.argv[1:4])
    except (Failure, ET.ParseError, OSError, KeyError, TypeError) as error:
        print("%s: %s" % (sys.argv[1], error))
        sys.exit(1)
