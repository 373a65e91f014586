"""po/ against the sentences the sources mark: the template as the build makes it, then one table of what each
catalogue must not have. Usage: catalogues_test.py SOURCE TEMPLATE-COMMAND... (the file to write is appended)."""
import ast, os, re, subprocess, sys, tempfile

source, make_template = sys.argv[1], sys.argv[2:]
po = os.path.join(source, 'po')


def entries(path):
    """Each entry but the header: msgid -> (msgstr, its flags' line, whether obsolete), strings on one line each."""
    text = subprocess.run(['msgcat', '--no-wrap', path], capture_output=True, text=True, check=True).stdout
    found = {}
    for block in text.split('\n\n'):
        fields = dict(line.removeprefix('#~ ').split(' ', 1) for line in block.splitlines() if ' "' in line)
        if fields.get('msgid', '""') != '""':
            flags = ''.join(line for line in block.splitlines() if line.startswith(('#,', '#~,')))
            found[ast.literal_eval(fields['msgid'])] = (ast.literal_eval(fields['msgstr']), flags, '#~ ' in block)
    return found


def directives(text):
    return re.findall(r'%[0-9$#.+ -]*[a-zA-Z%]', text)


# What a catalogue must not have, each row a name and the sentences it finds given the catalogue and the template.
rows = [
    ('missing', lambda found, template: [id for id in template if id not in found]),
    ('not in the template', lambda found, template: [id for id in found if id not in template and not found[id][2]]),
    ('obsolete (#~)', lambda found, template: [id for id in found if found[id][2]]),
    ('fuzzy', lambda found, template: [id for id in found if 'fuzzy' in found[id][1]]),
    ('untranslated', lambda found, template: [id for id in found if not found[id][0]]),
    ('placeholders other than the English ones',
     lambda found, template: [id for id in found if found[id][0] and directives(found[id][0]) != directives(id)]),
]

failures = []
with tempfile.TemporaryDirectory() as folder:
    made = os.path.join(folder, 'dorvanel.pot')
    subprocess.run(make_template + [made], check=True)
    paths = made, os.path.join(po, 'dorvanel.pot')
    template, kept = map(entries, paths)
    undated = [re.sub('"POT-Creation-Date: .*', '', open(path, encoding='utf-8').read()) for path in paths]
failures += [f'po/dorvanel.pot: a sentence the sources mark is missing: {id!r}' for id in template if id not in kept]
failures += [f'po/dorvanel.pot: a sentence no source marks: {id!r}' for id in kept if id not in template]
if not failures and undated[0] != undated[1]:
    failures.append('po/dorvanel.pot: not the template the build makes (comments, flags or files differ)')
languages = set(re.findall(r'^[^#\s]\S*', open(os.path.join(po, 'LINGUAS'), encoding='utf-8').read(), re.M))
catalogues = {name[:-3] for name in os.listdir(po) if name.endswith('.po')}
failures += [f'po/LINGUAS and po/*.po differ: {sorted(languages ^ catalogues)}'] if languages != catalogues else []
for language in sorted(catalogues):
    found = entries(os.path.join(po, language + '.po'))
    said = {id: f' as {found[id][0]!r}' if found[id][0] else '' for id in found}
    for what, check in rows:
        failures += [f'po/{language}.po: {what}: {id!r}{said.get(id, "")}' for id in check(found, template)]
print('\n'.join(failures) or f'{len(catalogues)} catalogues complete against the template of {len(template)} sentences')
sys.exit(1 if failures else 0)
