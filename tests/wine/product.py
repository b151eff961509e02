#!/usr/bin/env python3
"""The product check: the main job of each program, done under Wine by the i686 programs players get
and by a 64-bit build of the same sources, each in a prefix of its own. What each left a person (files,
registry values, box texts, streams, exit statuses, the encoder's calls) is recorded, and the two
records must be the same. Nothing is expected here but sameness, so the check follows the programs
as they change; the scenarios of scenarios.py hold them to their expected results.

    product.py NATIVE_BIN WIN_BIN WORK_DIR      runs the scenarios, the record in WORK_DIR/record
    product.py --compare WORK_DIR WORK_DIR

Prints one line per scenario and closes with "N passed, M failed".
"""
import os
import pickle
import shutil
import struct
import subprocess
import sys
import time
import traceback

import scenarios as s

# Under emulation a Wine process takes seconds where it natively takes a fraction of one.
TIMEOUT = 900
# The test's own programs (the box driver and the stand-in encoder) come from the 64-bit build on
# both sides: only the programs under test differ, and only they pay for emulation.
HELPER_BIN = os.environ.get('VNAUDIO_HELPER_BIN') or s.WIN_BIN
DEMO_KEY = 'Software\\VNAUDIO\\SAKURAZAKA'


class Run:
    """One scenario's game folder and what the Windows programs did to it, step by step."""

    def __init__(self, name):
        self.root = os.path.join(s.WORK, 'cases', name)
        self.game = os.path.join(self.root, 'game')
        self.steps = []
        os.makedirs(self.root)

    def hide_paths(self, data):
        """The work folder differs between the two runs: one mark for it in every text."""
        for form in (s.win_path(s.WORK), s.win_path(s.WORK).lower()):
            data = data.replace(form.encode('cp932'), b'<work>')
        return data

    def wine(self, args, cwd=None):
        return subprocess.run(['wine'] + args, cwd=cwd or self.root, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=TIMEOUT)

    def import_registry(self, text):
        """Sets HKCU keys from regedit text (the keys start empty: "[-key]" lines first)."""
        script = os.path.join(self.root, 'setup.reg')
        with open(script, 'wb') as stream:
            stream.write(b'\xff\xfe' + ('Windows Registry Editor Version 5.00\r\n\r\n' + text).encode('utf-16-le'))
        proc = self.wine(['regedit', '/S', s.win_path(script)])
        if proc.returncode != 0:
            raise RuntimeError('regedit /S setup.reg failed: %r' % proc.stderr[-300:])

    def run(self, tool, cwd='', args=()):
        """Runs the tool as the person would, every box answered OK, and records what it did."""
        log, box_log = os.path.join(self.root, 'encoder.log'), os.path.join(self.root, 'boxes.log')
        answers = os.path.join(self.root, 'answers.txt')
        for path in (log, box_log):
            if os.path.exists(path):
                os.remove(path)
        with open(answers, 'w') as stream:
            stream.write('ok*\n')
        env = dict(os.environ, FAKE_ENCODER_LOG=s.win_path(log))
        started = time.monotonic()
        proc = subprocess.run(['wine', os.path.join(HELPER_BIN, 'boxdriver.exe'), '--log', s.win_path(box_log),
                               '--timeout', str(TIMEOUT - 60), s.win_path(answers),
                               os.path.join(s.WIN_BIN, tool + '.exe')] + list(args),
                              cwd=os.path.join(self.game, cwd), stdin=subprocess.DEVNULL, capture_output=True,
                              env=env, timeout=TIMEOUT)
        boxes = open(box_log, 'rb').read() if os.path.exists(box_log) else b''
        # Encoders run side by side under -j: the order of their calls is theirs.
        calls = sorted(open(log, 'rb').read().splitlines()) if os.path.exists(log) else []
        self.steps.append(('%s %s' % (tool, ' '.join(args)), {
            'exit status': proc.returncode, 'standard output': self.hide_paths(proc.stdout),
            'standard error': self.hide_paths(proc.stderr), 'boxes': self.hide_paths(boxes),
            'encoder calls': [self.hide_paths(c) for c in calls], 'files': s.snapshot(self.game),
            'seconds': round(time.monotonic() - started)}))

    def registry(self, label):
        """Records every value under HKCU\\Software that the tools or the scenario set."""
        export = os.path.join(self.root, 'export.reg')
        proc = self.wine(['regedit', '/E', s.win_path(export), 'HKEY_CURRENT_USER\\Software'])
        raw = open(export, 'rb').read() if os.path.exists(export) else b''
        keys = s.parse_reg(s.read_reg(raw)) if raw else {}
        work = s.win_path(s.WORK).lower()
        ours = {k: {n: v.lower().replace(work, '<work>') if v.lower().startswith(work) else v for n, v in values.items()}
                for k, values in keys.items() if k.startswith(('software\\vnaudio', 'software\\key', 'software\\vurlo'))}
        self.steps.append((label, {'exit status': proc.returncode, 'registry': ours}))


def encoder_value(run):
    """The stand-in encoder, copied into the case folder so that both runs name it alike."""
    folder = os.path.join(run.root, 'encoder')
    os.makedirs(folder)
    shutil.copy(os.path.join(HELPER_BIN, 'fake_encoder.exe'), folder)
    return '[HKEY_CURRENT_USER\\%s]\r\n"SMX_Path"="%s"\r\n\r\n' % (
        s.INMM_KEY, s.win_path(os.path.join(folder, 'fake_encoder.exe')).replace('\\', '\\\\'))


def demo_game(run):
    """The demo's sample game, its registry imported (the demo's store, turned into regedit's text)."""
    subprocess.run([os.path.join(s.NATIVE_BIN, 'make_sample_game'), run.game], check=True, capture_output=True)
    store = os.path.join(run.game, 'registry.reg')
    text = open(store, encoding='utf-8').read()
    os.remove(store)
    body = text.split('\n', 1)[1].replace('\r\n', '\n').replace('\n', '\r\n')
    run.import_registry('[-HKEY_CURRENT_USER\\%s]\r\n\r\n' % DEMO_KEY + body + '\r\n' + encoder_value(run))


def demo_reallive(run):
    """The whole job on the demo game as its engine says (RealLive), drusel with two encoders."""
    demo_game(run)
    run.run('tormel')
    run.run('plovenak')
    run.run('drusel', cwd='koewav', args=['-j', '2'])
    run.registry('registry')


def demo_avg32(run):
    """The whole job on the demo game taken as AVG32 (its music as WAV, as AVG32 games keep it), drusel
    one encoder at a time."""
    demo_game(run)
    music = os.path.join(run.game, 'BGM')
    for name in sorted(os.listdir(music)):
        if name.lower().endswith('.nwa'):
            with open(os.path.join(music, name), 'rb') as stream:
                channels, bits, rate = struct.unpack('<HHI', stream.read(8))
                stream.seek(24)
                size, = struct.unpack('<I', stream.read(4))
            with open(os.path.join(music, name[:-4] + '.wav'), 'wb') as stream:
                stream.write(s.wav_header(rate, size, channels, bits) + bytes(size))
            os.remove(os.path.join(music, name))
    run.run('tormel', args=['--avg32'])
    run.run('plovenak')
    run.run('drusel', cwd='koewav')
    run.registry('registry')


def japanese_game(run):
    """A Japanese #REGNAME whose music and voice folders have Japanese names (one ending in a 0x5C
    trail byte), installed in a Japanese folder; koe_restore.reg taken back in with regedit."""
    key = 'Software\\KEY\\夏の日の物語'
    run.game = os.path.join(run.root, 'ソフト表')
    files = {
        'GAMEEXE.INI': s.ini('#REGNAME = "KEY\\夏の日の物語"', '#DSTRACK = 0 - 99999999 - 0 = "BGM01" = "夏"',
                             '#DSTRACK = 00000000 - 99999999 - 00022050 = "BGM02" = "表"'),
        'REALLIVE.EXE': b'MZ',
        '曲表/BGM01.wav': s.wav_header(44100, 4 * 44100 * 3),
        '曲表/bgm02.WAV': s.wav_header(22050, 4 * 22050),
        '音声表/Z001.KOE': s.koepac([(1, [40]), (2, ['raw']), (7, [500, 'silent'])], sample_rate=0, seed=6),
    }
    for name, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(run.game, name)), exist_ok=True)
        with open(os.path.join(run.game, name), 'wb') as stream:
            stream.write(data)
    run.import_registry('[-HKEY_CURRENT_USER\\%s]\r\n\r\n[HKEY_CURRENT_USER\\%s]\r\n"BGM_FOLDER"="曲表"\r\n'
                        '"KOE_FOLDER"="音声表"\r\n\r\n' % (key, key))
    run.run('tormel')
    run.run('plovenak')
    run.registry('registry after plovenak')
    proc = run.wine(['regedit', '/S', s.win_path(os.path.join(run.game, 'koe_restore.reg'))])
    run.steps.append(('regedit /s koe_restore.reg', {'exit status': proc.returncode}))
    run.registry('registry after the restore')


SCENARIOS = [demo_reallive, demo_avg32, japanese_game]


def compare(first, second):
    passed = failed = 0
    first_name, second_name = (os.path.basename(os.path.dirname(os.path.abspath(w))) for w in (first, second))
    for scenario in SCENARIOS:
        name = scenario.__name__
        records = []
        for work in (first, second):
            path = os.path.join(work, 'record', name + '.pickle')
            records.append(pickle.load(open(path, 'rb')) if os.path.exists(path) else None)
        a, b = records
        problems = []
        if a is None or b is None:
            problems.append('not recorded by %s' % ' and '.join(n for n, r in zip((first_name, second_name), records) if r is None))
        elif a['crash'] or b['crash']:
            problems += [c for c in (a['crash'], b['crash']) if c]
        elif [label for label, _ in a['steps']] != [label for label, _ in b['steps']]:
            problems.append('other steps: %r / %r' % ([l for l, _ in a['steps']], [l for l, _ in b['steps']]))
        else:
            # Sameness alone would pass two builds that fail alike: every step must have succeeded.
            problems += ['%s: exit status %s' % (label, st['exit status']) for label, st in a['steps'] + b['steps']
                         if st['exit status'] != 0]
            for (label, sa), (_, sb) in zip(a['steps'], b['steps']):
                for what in sorted(set(sa) - {'seconds'}):
                    x, y = sa[what], sb.get(what)
                    if what == 'files':
                        for f in sorted(set(x) | set(y)):
                            if f not in y or f not in x:
                                problems.append('%s: only %s has %s' % (label, first_name if f in x else second_name, f))
                            elif x[f] != y[f]:
                                problems.append('%s: %s differs %s' % (label, f, s.first_difference(x[f], y[f])))
                    elif x != y:
                        problems.append('%s: %s differs:\n      %s %s\n      %s %s' % (
                            label, what, first_name, s.shorten(x, 400), second_name,
                            s.shorten(y, 400)))
        label = '%s (%s vs %s)' % (name, first_name, second_name)
        if problems:
            failed += 1
            print('FAIL  product: ' + label)
            for problem in problems:
                print('      ' + problem.replace('\n      native ', '\n      %s ' % first_name)
                      .replace('\n      wine   ', '\n      %s ' % second_name))
        else:
            passed += 1
            print('ok    product: ' + label)
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


def main():
    if sys.argv[1:2] == ['--compare']:
        return compare(*sys.argv[2:4])
    os.makedirs(os.path.join(s.WORK, 'record'), exist_ok=True)
    for scenario in SCENARIOS:
        run, crash, started = Run(scenario.__name__), None, time.monotonic()
        try:
            scenario(run)
        except Exception:
            crash = '%s crashed:\n%s' % (scenario.__name__, traceback.format_exc())
        with open(os.path.join(s.WORK, 'record', scenario.__name__ + '.pickle'), 'wb') as stream:
            pickle.dump({'steps': run.steps, 'crash': crash}, stream)
        print('ran   %s (%.0f s: %s)' % (scenario.__name__, time.monotonic() - started,
                                        ', '.join('%s %s s' % (l, st['seconds']) for l, st in run.steps if 'seconds' in st)))
        sys.stdout.flush()
    return 0


if __name__ == '__main__':
    sys.exit(main())
