"""Checks the translations the build compiles: each is complete, keeps the source's %1 markers and
line breaks (lrelease lets all of these pass) and declares the language its file name gives; no
translation beside the template is left out.
Usage: check_translations.py TEMPLATE.ts TRANSLATION.ts..."""
import glob
import os
import re
import sys
import xml.etree.ElementTree as ET


def translations(root):
    found = {}
    for context in root.iter('context'):
        for message in context.iter('message'):
            key = (context.findtext('name'), message.findtext('source') or '')
            found[key] = message.find('translation')
    return found


def shape(text):
    return re.findall(r'%\d', text), text.count('\n'), text.endswith('\n')


template = os.path.abspath(sys.argv[1])
built = [os.path.abspath(path) for path in sys.argv[2:]]
prefix = template[:-len('.ts')] + '_'
stray = set(glob.glob(prefix + '*.ts')) - set(built)
failures = [f'{path}: left out of the build' for path in sorted(stray)]
sources = translations(ET.parse(template).getroot())
for path in built:
    root = ET.parse(path).getroot()
    locale = path[len(prefix):-len('.ts')]
    if root.get('language') != locale:
        failures.append(f'{path}: language is not {locale}')
    found = translations(root)
    for key in sources:
        element = found.get(key)
        text = ''
        if element is not None and not element.get('type'):
            text = element.text or ''
        if not text.strip() or shape(text) != shape(key[1]):
            failures.append(f'{path}: {key}: {text!r}')
print('\n'.join(failures) or f'{len(built)} translations complete')
sys.exit(bool(failures) or not built)
