"""po/ against the sentences the sources mark: the template made again as the build makes it, then one table of what
no catalogue may have. Usage: catalogues_test.py SOURCE TEMPLATE-COMMAND... (the file to write is appended)."""
import os, re, subprocess, sys, tempfile

po, made = os.path.join(sys.argv[1], 'po'), tempfile.mkstemp(suffix='.pot')[1]
subprocess.run(sys.argv[2:] + [made], check=True)
read = lambda path: subprocess.run(['msgcat', '--no-wrap', path], capture_output=True, text=True, check=True).stdout
pairs = lambda text: dict(re.findall(r'^msgid (".+")\nmsgstr (".*")$', text, re.M))  # each sentence, as quoted
directives = lambda text: re.findall(r'%[0-9$#.+ -]*[a-zA-Z%]', text)
template = pairs(read(made))
rows = [  # a name, and the sentences it finds in a catalogue's text
    ('missing a sentence the sources mark', lambda text: [id for id in template if id not in pairs(text)]),
    ('a sentence no source marks', lambda text: [id for id in pairs(text) if id not in template]),
    ('obsolete (#~)', lambda text: re.findall(r'^#~ msgid (".*")$', text, re.M)),
    ('fuzzy', lambda text: re.findall(r'^#,.*\bfuzzy\b.*\n(?:#\|.*\n)*msgid (".*")$', text, re.M)),
    ('untranslated', lambda text: [id for id, said in pairs(text).items() if said == '""']),
    ('placeholders other than the English ones', lambda text: [
        f'{id} as {said}' for id, said in pairs(text).items() if said != '""' and directives(said) != directives(id)]),
]
failures = [f'po/dorvanel.pot: {what}: {id}' for what, find in rows[:2] for id in find(read(f'{po}/dorvanel.pot'))]
entries = lambda path: open(path, encoding='utf-8').read().split('\n\n', 1)[1]  # the header is gettext's own
if not failures and entries(made) != entries(f'{po}/dorvanel.pot'):
    failures.append('po/dorvanel.pot: not the template the build makes (comments, flags or files differ)')
languages = set(re.findall(r'^[^#\s]\S*', open(f'{po}/LINGUAS', encoding='utf-8').read(), re.M))
catalogues = {name[:-3] for name in os.listdir(po) if name.endswith('.po')}
failures += [f'po/LINGUAS and po/*.po differ: {sorted(languages ^ catalogues)}'] if languages != catalogues else []
for language in sorted(catalogues):
    text = read(f'{po}/{language}.po')
    failures += [f'po/{language}.po: {what}: {id}' for what, find in rows for id in find(text)]
os.remove(made)
print('\n'.join(failures) or f'{len(catalogues)} catalogues complete against the template of {len(template)} sentences')
sys.exit(1 if failures else 0)
