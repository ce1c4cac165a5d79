"""Checks that every translation is complete and safe to ship.

Usage: check_translations.py TEMPLATE.ts TRANSLATION.ts...  (the translations the build compiles)

A message left unfinished shows English in the middle of a translated help text; a lost %1 drops
the version from the rollback notification; a lost line break runs the action list into the
option's first line. lrelease accepts all of these silently.
"""

import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

PLACEHOLDER = re.compile(r"%L?\d+")


def messages(path):
    """{(context, source): (translation element, text)} of one .ts file."""
    found = {}
    for context in ET.parse(path).getroot().iter("context"):
        name = context.findtext("name")
        for message in context.iter("message"):
            element = message.find("translation")
            found[(name, message.findtext("source"))] = (element, element.text or "")
    return found


def problems(template, path):
    language = path.stem.split("_", 1)[1]
    declared = ET.parse(path).getroot().get("language")
    # lupdate writes it_IT into a new kiv-recovery-tool_it.ts; a copy of another language's file
    # still declaring that language is the mistake to catch.
    if declared != language and not (declared or "").startswith(language + "_"):
        yield f'declares language "{declared}", its name says "{language}"'
    translated = messages(path)
    for key in sorted(template.keys() - translated.keys()):
        yield f"missing {key}"
    for key in sorted(translated.keys() - template.keys()):
        yield f"not in the template {key}"
    for key in sorted(template.keys() & translated.keys()):
        element, text = translated[key]
        source = key[1]
        if element.get("type"):
            yield f'{key} is marked "{element.get("type")}"'
        if not text.strip():
            yield f"{key} has no translation"
        if sorted(PLACEHOLDER.findall(source)) != sorted(PLACEHOLDER.findall(text)):
            yield f"{key} changes the place markers: {text!r}"
        if source.count("\n") != text.count("\n") or source.endswith("\n") != text.endswith("\n"):
            yield f"{key} changes the line breaks: {text!r}"


def main(template_path, *paths):
    template_path = Path(template_path)
    template = messages(template_path)
    compiled = {Path(p).resolve() for p in paths}
    failures = []
    present = {p.resolve() for p in template_path.parent.glob(template_path.stem + "_*.ts")}
    for path in sorted(present | compiled):
        if path not in compiled:
            failures.append(f"{path.name}: not in KIV_TS_FILES, so never compiled or installed")
            continue
        failures += [f"{path.name}: {problem}" for problem in problems(template, path)]
    if not template or not compiled:
        failures.append("nothing to check")
    print("\n".join(failures) or f"{len(compiled)} translations complete")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
