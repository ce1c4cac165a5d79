"""Checks that every translation the build compiles is complete and keeps the source's %1 place
markers and line breaks (a lost %1 drops the version from the notification, a lost line break runs
the action list into the option's line); lrelease accepts all of these silently.
Usage: check_translations.py TEMPLATE.ts TRANSLATION.ts..."""
import re
import sys
import xml.etree.ElementTree as ET


def messages(path):
    return {(context.findtext('name'), message.findtext('source')): message.find('translation')
            for context in ET.parse(path).getroot().iter('context')
            for message in context.iter('message')}


template, failures = messages(sys.argv[1]), []
for path in sys.argv[2:]:
    translated = messages(path)
    for key in template.keys() | translated.keys():
        element, source = translated.get(key), key[1] or ''
        text = '' if element is None or element.get('type') else element.text or ''
        if not text.strip() or re.findall(r'%\d', source) != re.findall(r'%\d', text) or \
                [source.count('\n'), source.endswith('\n')] != [text.count('\n'), text.endswith('\n')]:
            failures.append(f'{path}: {key}: {text!r}')
print('\n'.join(failures) or f'{len(sys.argv) - 2} translations complete')
sys.exit(bool(failures) or len(sys.argv) < 3)
