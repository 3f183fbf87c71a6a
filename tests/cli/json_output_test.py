#!/usr/bin/env python3
"""--json of status, apply, history and undo: each output one document that the
schema accepts, whose exit status is the process's and the worst verdict, with
nothing else on either stream; apply's changes are the bytes the file then holds.
Usage: json_output_test.py CLI MAKE_DEMO_VOICE SCHEMA"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

import jsonschema

cli, make_demo, schema_path = sys.argv[1:4]
schema = json.load(open(schema_path))
validator = jsonschema.Draft202012Validator(schema, format_checker=jsonschema.FormatChecker())
work = tempfile.mkdtemp()
env = dict(os.environ, HOME=work, XDG_DATA_HOME=os.path.join(work, 'data'))
demo = os.path.join(work, 'demo.vpm')
subprocess.run([make_demo, demo], check=True, capture_output=True)
rgn = os.path.join(work, 'demo.rgn')
subprocess.run([make_demo, '--rgn', rgn], check=True, capture_output=True)
text = os.path.join(work, 'notes.vpm')
open(text, 'w').write('not a voice\n' * 20)
missing = os.path.join(work, 'missing.vpm')
verdict_codes = {'done': 0, 'nothing_to_do': 1, 'refused': 2}
failures = []


def copy(path, name):
    target = os.path.join(work, name)
    shutil.copyfile(path, target)
    return target


def run(what, args, expected_status, check=None):
    done = subprocess.run([cli, args[0], '--json', *args[1:]], capture_output=True, env=env)
    try:
        document = json.loads(done.stdout)
        errors = [error.message for error in validator.iter_errors(document)]
        assert not errors, f'schema: {errors[:3]}'
        assert done.returncode == expected_status, f'exit {done.returncode}, expected {expected_status}'
        assert document['exit_status'] == done.returncode, 'exit_status is not the exit status'
        worst = max(verdict_codes[entry['verdict']] for entry in document['files'])
        assert worst == done.returncode, 'the exit status is not the worst verdict'
        assert done.stderr == b'', f'standard error: {done.stderr!r}'
        if check:
            check(document)
    except (AssertionError, ValueError) as error:
        failures.append(f'{what}: {error}')
        print(f'FAIL {what}: {error}\n{done.stdout.decode()[:2000]}')
        return
    print(f'ok   {what}')


def changes_are_on_disk(path, original):
    def check(document):
        entry = document['files'][0]
        assert entry['saved'] and entry['changes'], 'nothing saved'
        now = open(path, 'rb').read()
        for change in entry['changes']:
            at, was, new = change['offset'], bytes.fromhex(change['was']), bytes.fromhex(change['now'])
            assert original[at:at + len(was)] == was, f'"was" at {at} is not the original'
            assert now[at:at + len(new)] == new, f'"now" at {at} is not on disk'
    return check


def files(field, expected):
    def check(document):
        found = [field(entry) for entry in document['files']]
        assert found == expected, f'{found}, expected {expected}'
    return check


original = open(demo, 'rb').read()
patched = copy(demo, 'patched.vpm')
run('apply to a voice', ['apply', '--options', '1,3', patched], 0, changes_are_on_disk(patched, original))
run('apply again: nothing left to patch', ['apply', '--options', '1,3', patched], 1,
    files(lambda f: [o['state'] for o in f['options']], [['already_changed'] * 2]))
run('apply --dry-run, a .rgn and bad files', ['apply', '--all', '--dry-run', rgn, text, missing], 2,
    files(lambda f: (f['verdict'], f.get('kind', '-'), f.get('saved')),
          [('done', 'rgn', False), ('refused', None, None), ('refused', '-', None)]))
run('status of a patched voice and the original', ['status', patched, demo], 0,
    files(lambda f: (len(f['options']), f['last_save'] and [o['number'] for o in f['last_save']['options']]),
          [(20, [1, 3]), (20, None)]))
run('status of bad files', ['status', text, missing], 2)
run('history of a patched voice', ['history', patched], 0, files(lambda f: [s['kind'] for s in f['saves']], [['patch']]))
run('history with nothing recorded', ['history', demo], 1)
run('history of bad files', ['history', text, missing], 2)
run('undo --dry-run', ['undo', '--dry-run', patched], 0, files(lambda f: f['taken_back']['kind'], ['patch']))
run('undo', ['undo', patched], 0, files(lambda f: open(f['file'], 'rb').read() == original, [True]))
run('undo with nothing to take back, and bad files', ['undo', patched, text, missing], 2,
    files(lambda f: f['verdict'], ['nothing_to_do', 'refused', 'refused']))
shutil.rmtree(work)
sys.exit(1 if failures else 0)
