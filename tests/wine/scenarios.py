#!/usr/bin/env python3
"""Scenarios run twice on identical inputs: by the native programs and by the Windows programs under
Wine (prepared by run.sh). Each compares the files both wrote byte for byte, their streams, exit
statuses and registry values, and checks the boxes against the expected ones.

    scenarios.py NATIVE_BIN_DIR WIN_BIN_DIR WORK_DIR [name-substring ...]

    scenarios.py --compare-locales WORK_DIR WORK_DIR

Prints one line per scenario and closes with "N passed, M failed". Each run leaves what the Windows
side produced in WORK_DIR/record; --compare-locales checks that two runs under different system
locales (ANSI code pages) left a person the same files, registry values, boxes and streams.
"""
import os
import pickle
import pty
import select
import random
import re
import shutil
import struct
import subprocess
import sys
import time
import traceback

COMPARING = sys.argv[1:2] == ['--compare-locales']
if not COMPARING:
    NATIVE_BIN, WIN_BIN, WORK = (os.path.abspath(p) for p in sys.argv[1:4])
    SELECTED = sys.argv[4:]
SIDES = ('native', 'wine')
# The system locale of this Wine run: its language names the buttons, its code page is the one the
# native side is told (VNAUDIO_ANSI_CODE_PAGE), so both write files for the same system.
LOCALE = os.environ.get('VNAUDIO_WINE_LOCALE', 'ja')
# The expected boxes are the Japanese texts: both sides show them under every locale (Wine passes
# the environment on). The English texts are checked natively against po/en.po, and under Wine by
# messages_in_the_locales_language, which leaves the choice to the locale.
os.environ['VNAUDIO_LANG'] = 'ja'
CODE_PAGE = os.environ.get('VNAUDIO_WINE_CODE_PAGE', '932')

# Button rows of the Windows boxes as Wine shows them in the locale's language, after the mark of
# the icon that the error and information styles add (yes/no questions have none).
BUTTON_ROWS = {
    'ja': ('(icon) [OK]', '(icon) [中止(&A)|再試行(&R)|無視(&I)]', '[はい(&Y)|いいえ(&N)]'),
    'en': ('(icon) [OK]', '(icon) [&Abort|&Retry|&Ignore]', '[&Yes|&No]'),
}
OK, ABORT_RETRY_IGNORE, YES_NO = BUTTON_ROWS.get(LOCALE, BUTTON_ROWS['en'])

# What the native boxes print after a question, once per asking.
NATIVE_PROMPTS = ('[a]bort, [r]etry, [i]gnore? ', '[y]es, [n]o? ')

# Exit statuses of boxdriver.exe that are its own, not the tool's.
BOXDRIVER_FAILURES = {90: 'unexpected box', 91: 'missing box', 92: 'no such button', 93: 'timeout',
                      94: 'cannot start the tool', 95: 'usage'}


def win_path(path):
    """The Windows name of a local path under Wine (drive Z: is the root)."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def u16(v):
    return struct.pack('<H', v)


def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


def ini(*lines):
    """A GAMEEXE.INI as the games ship it: Shift_JIS with CR LF."""
    return ''.join(line + '\r\n' for line in lines).encode('cp932')


def wav_header(rate, data_size, channels=2, bits=16, tag=1):
    align = channels * bits // 8
    return (b'RIFF' + u32(36 + data_size) + b'WAVE' + b'fmt ' + u32(16) + u16(tag) + u16(channels) +
            u32(rate) + u32(rate * align) + u16(align) + u16(bits) + b'data' + u32(data_size))


def nwa_header(rate, samples, channels=2, bits=16, per_block=1024):
    blocks = (samples + per_block - 1) // per_block
    last = samples - (blocks - 1) * per_block
    return (u16(channels) + u16(bits) + u32(rate) + u32(0) + u32(0) + u32(blocks) +
            u32(bits * samples // 8) + u32(0) + u32(samples) + u32(per_block) + u32(last) + u32(0))


def coded_block(rng, codes):
    """A delta-coded block of whole codes: plain nibbles 0..14 and escaped bytes, low nibble first."""
    nibbles = []
    for _ in range(codes):
        if rng.random() < 0.2:
            byte = rng.randrange(256)
            nibbles += [15, byte & 15, byte >> 4]
        else:
            nibbles.append(rng.randrange(15))
    if len(nibbles) % 2:
        nibbles.append(0)
    return bytes(nibbles[i] | nibbles[i + 1] << 4 for i in range(0, len(nibbles), 2))


def koepac(voices, sample_rate, seed):
    """A voice archive: voices is a list of (id, kinds) with kinds 'silent', 'raw' or a code count."""
    rng = random.Random(seed)
    header = b'KOEPAC\0' + bytes(9) + u32(len(voices)) + bytes(4) + u32(sample_rate) + bytes(4)
    index, data = b'', b''
    offset = len(header) + 8 * len(voices)
    for voice_id, kinds in voices:
        blocks = []
        for kind in kinds:
            if kind == 'silent':
                blocks.append(b'')
            elif kind == 'raw':
                blocks.append(bytes(rng.randrange(256) for _ in range(1024)))
            else:
                blocks.append(coded_block(rng, kind))
        body = b''.join(u16(len(b)) for b in blocks) + b''.join(blocks)
        index += u16(voice_id) + u16(len(blocks)) + u32(offset + len(data))
        data += body
    return header + index + data


def reg_file(keys, deletions=(), unicode=False):
    """The registry as a .reg file, after removing the keys named in deletions (a shared Wine prefix
    starts every scenario clean), for keys {path under HKCU: {name: value}}. With unicode, regedit's
    UTF-16 form, which carries Japanese names whatever the system's code page; else the native
    store's REGEDIT4 in CP932, where every 0x5C byte of a value is escaped, trail bytes too."""
    if unicode:
        out = 'Windows Registry Editor Version 5.00\r\n\r\n'
        for key in deletions:
            out += '[-HKEY_CURRENT_USER\\%s]\r\n\r\n' % key
        for key, values in keys.items():
            out += '[HKEY_CURRENT_USER\\%s]\r\n' % key
            for name, value in values.items():
                out += '"%s"="%s"\r\n' % (name, value.replace('\\', '\\\\').replace('"', '\\"'))
            out += '\r\n'
        return b'\xff\xfe' + out.encode('utf-16-le')
    escape = lambda text: text.encode('cp932').replace(b'\\', b'\\\\').replace(b'"', b'\\"')
    out = b'REGEDIT4\r\n\r\n'
    for key, values in keys.items():
        out += b'[HKEY_CURRENT_USER\\' + key.encode('cp932') + b']\r\n'
        for name, value in values.items():
            out += b'"' + escape(name) + b'"="' + escape(value) + b'"\r\n'
        out += b'\r\n'
    return out


def read_reg(raw):
    """A .reg file's text: regedit's UTF-16 form, or REGEDIT4 in CP932."""
    return raw.decode('utf-16') if raw[:2] in (b'\xff\xfe', b'\xfe\xff') else raw.decode('cp932')


def decode_native(raw):
    """A native stream as a person reads it: UTF-8 text, where CP932 names taken from a game's files
    or registry may stand as they are stored (read as CP932 there, a trail byte 0x5C included)."""
    out, i = [], 0
    while i < len(raw):
        b = raw[i]
        width = 1 if b < 0x80 else 2 if 0xC2 <= b <= 0xDF else 3 if 0xE0 <= b <= 0xEF else 4 if 0xF0 <= b <= 0xF4 else 0
        if width:
            try:
                out.append(raw[i:i + width].decode('utf-8'))
                i += width
                continue
            except UnicodeDecodeError:
                pass
        width = 2 if (0x81 <= b <= 0x9F or 0xE0 <= b <= 0xFC) and i + 1 < len(raw) else 1
        out.append(raw[i:i + width].decode('cp932', 'replace'))
        i += width
    return ''.join(out)


def box_text(log_line):
    """A logged box without its button row and answer: the part that reads the same in every language."""
    return re.sub(r' (\(icon\) )?\[[^\]]*\] -> \S+$', '', log_line)


def parse_reg(text):
    """{key path under HKCU (lower case): {value name (lower case): string}} of a .reg text."""
    keys, current = {}, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith('[') and line.endswith(']'):
            path = line[1:-1]
            prefix = 'HKEY_CURRENT_USER\\'
            current = keys.setdefault(path[len(prefix):].lower() if path.upper().startswith(prefix) else
                                      path.lower(), {})
            continue
        match = re.match(r'"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"$', line)
        if match and current is not None:
            unescape = lambda s: re.sub(r'\\(.)', r'\1', s)
            current[unescape(match.group(1)).lower()] = unescape(match.group(2))
    return keys


def parse_store(raw):
    """{key path under HKCU (lower case): {value name (lower case): CP932 bytes}} of the native store,
    read byte by byte as it escapes every 0x5C byte."""
    keys, current = {}, None
    unescape = lambda b: re.sub(rb'\\(.)', rb'\1', b, flags=re.S)
    for line in raw.splitlines():
        line = line.strip()
        if line.startswith(b'[') and line.endswith(b']'):
            path = line[1:-1].decode('cp932', 'replace')
            prefix = 'HKEY_CURRENT_USER\\'
            current = keys.setdefault(path[len(prefix):].lower() if path.upper().startswith(prefix) else
                                      path.lower(), {})
            continue
        match = re.match(rb'"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"$', line, re.S)
        if match and current is not None:
            current[unescape(match.group(1)).decode('cp932', 'replace').lower()] = unescape(match.group(2))
    return keys


def fake_payload(data):
    """What the stand-in encoder wrote into its MP3 (kept in the MP3's ID3v2 tag, before frames of
    silence as long as the voice); any other data as it is."""
    if len(data) < 10 or not data.startswith(b'ID3\x03\x00\x00'):
        return data
    n = 0
    for b in data[6:10]:
        n = n << 7 | (b & 0x7F)
    return data if len(data) - 10 < n else data[10:10 + n]


# drusel's question before it converts a folder that does not look like koewav (a pattern: the
# folder is named by its full path).
FOLDER_QUESTION = ('このフォルダ（.*）はplovenakで作成されたkoewavフォルダには見えません。\n'
                   '続けると、中の%d個のWAVファイルをMP3で置き換えます。元のWAVファイルは残りません。\n変換しますか？')


def snapshot(root):
    """Every file below root (relative name -> bytes), folders as name + '/' -> b''; the stand-in
    encoder's MP3 files as what it wrote into them."""
    tree = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        for d in dirs:
            tree[os.path.normpath(os.path.join(rel, d)) + '/'] = b''
        for f in files:
            with open(os.path.join(folder, f), 'rb') as stream:
                tree[os.path.normpath(os.path.join(rel, f))] = fake_payload(stream.read())
    return tree


def shorten(data, limit=120):
    text = repr(data)
    return text if len(text) <= limit else text[:limit] + '...'


def first_difference(a, b):
    """Where two byte strings part, with a little of each around it."""
    at = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
    start = max(0, at - 16)
    return 'at byte %d of %d/%d:\n      native %r\n      wine   %r' % (
        at, len(a), len(b), a[start:at + 24], b[start:at + 24])


class Box:
    """An expected message box: its text as the tool formats it, the buttons, the scripted answer."""

    def __init__(self, text, buttons, answer, pattern=False):
        """pattern: text is a regular expression (a box whose numbers the run decides)."""
        self.text, self.buttons, self.answer, self.pattern = text, buttons, answer, pattern

    def log_line(self, caption):
        if self.pattern:
            return re.compile(re.escape(caption + ': ') + self.text.replace('\n', r'\\n') +
                              re.escape(' %s -> %s' % (self.buttons, self.answer)))
        return '%s: %s %s -> %s' % (caption, self.text.replace('\n', '\\n'), self.buttons, self.answer)

    def terminal_text(self, caption):
        return '%s: %s\n' % (caption, self.text)


def boxes_match(shown, expected):
    return len(shown) == len(expected) and all(
        e.fullmatch(s) if isinstance(e, re.Pattern) else s == e for s, e in zip(shown, expected))


WINE_LOADER_CRASH = 'Inconsistency detected by ld.so'


class Case:
    """One scenario: a game tree per side built from the same inputs, runs and comparisons."""

    def __init__(self, name):
        self.name = name
        self.root = os.path.join(WORK, 'cases', name)
        self.problems = []
        self.folder = 'game'
        # What the Windows side left a person, for the comparison between locales.
        self.record = {'trees': [], 'registry': [], 'runs': [], 'restored': []}
        for side in SIDES:
            os.makedirs(self.tree(side))

    def move_to(self, folder):
        """Puts the game in another folder (a name the paths of every call will hold), before any file."""
        for side in SIDES:
            os.rename(self.tree(side), os.path.join(self.root, side, folder))
        self.folder = folder

    def tree(self, side):
        return os.path.join(self.root, side, self.folder)

    def side_file(self, side, name):
        return os.path.join(self.root, side, name)

    def write(self, rel, data):
        for side in SIDES:
            path = os.path.join(self.tree(side), rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if data is None:
                os.makedirs(path, exist_ok=True)
            else:
                with open(path, 'wb') as stream:
                    stream.write(data)

    def fail(self, message):
        self.problems.append(message)

    def registry(self, keys_by_side, absent=()):
        """Sets the registry on both sides: keys_by_side(side) gives {key: {name: value}}; the keys
        named in absent (and every key set) start empty."""
        for side in SIDES:
            keys = keys_by_side(side)
            if side == 'native':
                with open(self.side_file(side, 'registry.reg'), 'wb') as stream:
                    stream.write(reg_file(keys))
            else:
                script = self.side_file(side, 'setup.reg')
                with open(script, 'wb') as stream:
                    stream.write(reg_file(keys, deletions=list(absent) + list(keys), unicode=True))
                wine(['regedit', '/S', win_path(script)])

    def registry_values(self, side, key):
        """The values of one key as the side left them, as CP932 bytes."""
        if side == 'native':
            with open(self.side_file(side, 'registry.reg'), 'rb') as stream:
                return parse_store(stream.read()).get(key.lower())
        else:
            export = self.side_file(side, 'export.reg')
            if os.path.exists(export):
                os.remove(export)
            wine(['regedit', '/E', win_path(export), 'HKEY_CURRENT_USER\\' + key])
            if not os.path.exists(export):
                return None
            with open(export, 'rb') as stream:
                text = read_reg(stream.read())
        values = parse_reg(text).get(key.lower())
        values = None if values is None else {k: v.encode('cp932', 'backslashreplace') for k, v in values.items()}
        if side == 'wine':
            self.record['registry'].append((key.lower(), values))
        return values

    def run(self, tool, cwd='', args=(), boxes=(), status=None, plan=None, normalise=None, double_click=False,
            wine_only=False, calls_in_any_order=False, final_box=None, cancel_at=None):
        """Runs tool on both sides in cwd (relative to the game tree) and checks what each showed.
        double_click starts the Windows tool as Explorer does, without a console: it writes nothing
        anyone sees, shows the boxes and, where its progress window was up, final_box last (Windows
        only); the states of that window it logged are left in self.progress. cancel_at presses
        Cancel once the window's bar stands there. wine_only checks the Windows side alone, for what
        only Windows meets. calls_in_any_order: encoders ran side by side, so the order in which they
        logged their calls is theirs, not the tool's."""
        caption = tool + '.exe'
        results = {}
        for side in SIDES[1:] if wine_only else SIDES:
            log = self.side_file(side, 'encoder.log')
            plan_file = self.side_file(side, 'encoder.plan')
            with open(plan_file, 'w') as stream:
                stream.write(''.join('%s\n' % s for s in plan or ()))
            folder = os.path.join(self.tree(side), cwd)
            if side == 'native':
                program = os.path.join(NATIVE_BIN, tool)
                if not os.path.exists(program):
                    self.fail('%s is not built' % program)
                    return
                env = dict(os.environ, VNAUDIO_REGISTRY=self.side_file(side, 'registry.reg'),
                           FAKE_ENCODER_LOG=log, FAKE_ENCODER_PLAN=plan_file, LC_ALL='C.UTF-8',
                           VNAUDIO_ANSI_CODE_PAGE=CODE_PAGE)
                env.pop('LOCPATH', None)
                answers = ''.join(b.answer + '\n' for b in boxes if b.buttons != OK)
                proc = subprocess.run([program] + list(args), cwd=folder, input=answers.encode(),
                                      capture_output=True, env=env, timeout=60)
                out, err = decode_native(proc.stdout), decode_native(proc.stderr)
                shown = None
            else:
                program = os.path.join(WIN_BIN, caption)
                if not os.path.exists(program):
                    self.fail('%s is not built' % program)
                    return
                script = self.side_file(side, 'answers.txt')
                box_log = self.side_file(side, 'boxes.log')
                with open(script, 'w') as stream:
                    stream.write(''.join(b.answer + '\n' for b in list(boxes) + ([final_box] if final_box else [])))
                env = dict(os.environ, FAKE_ENCODER_LOG=win_path(log), FAKE_ENCODER_PLAN=win_path(plan_file))
                proc = subprocess.run(['wine', os.path.join(WIN_BIN, 'boxdriver.exe'), '--log', win_path(box_log),
                                       '--timeout', '30'] + (['--double-click'] if double_click else []) +
                                      (['--cancel-at', str(cancel_at)] if cancel_at is not None else []) +
                                      [win_path(script), win_path(program)] + list(args),
                                      cwd=folder, stdin=subprocess.DEVNULL, capture_output=True, env=env,
                                      timeout=90)
                # The Windows programs' streams are CP932 text streams: every line ends in CR LF.
                for stream_name, raw in (('output', proc.stdout), ('error', proc.stderr)):
                    if re.search(rb'(?<!\r)\n', raw):
                        self.fail('wine: standard %s has a line end without CR: %r' % (stream_name, raw[:200]))
                out = proc.stdout.decode('cp932', 'replace').replace('\r\n', '\n')
                err = proc.stderr.decode('cp932', 'replace').replace('\r\n', '\n')
                shown = []
                if os.path.exists(box_log):
                    with open(box_log, 'rb') as stream:
                        shown = stream.read().decode('utf-8', 'replace').splitlines()
                self.progress = [line for line in shown if line.startswith('progress: ')]
                shown = [line for line in shown if not line.startswith('progress: ')]
                for line in self.progress:
                    if 'a box outside the window' in line:
                        self.fail('wine: ' + line)
                if proc.returncode in BOXDRIVER_FAILURES:
                    self.fail('wine: boxdriver: %s: %s' % (BOXDRIVER_FAILURES[proc.returncode], err.strip()))
            if normalise:
                out, err = normalise(side, out), normalise(side, err)
            # The Windows stand-in encoder logs through a text stream.
            encoder_calls = open(log, 'rb').read().replace(b'\r\n', b'\n') if os.path.exists(log) else b''
            results[side] = (proc.returncode, out, err, shown, encoder_calls)

        if wine_only:
            results['native'] = (status, '', '', [], b'')
        n_status, n_out, n_err, _, n_calls = results['native']
        w_status, w_out, w_err, w_boxes, w_calls = results['wine']
        if calls_in_any_order:
            n_calls, w_calls = (b''.join(sorted(c.splitlines(True))) if c else c for c in (n_calls, w_calls))
        # A box may name a folder of the case, which lies below each locale's own work folder.
        home = win_path(os.path.dirname(self.tree('wine')))
        self.record['runs'].append((tool, w_status, w_out, w_err,
                                    [box_text(b).replace(home, '<case>') for b in w_boxes], w_calls))
        if status is not None and n_status != status:
            self.fail('native exit status %d, expected %d' % (n_status, status))
        if status is not None and w_status != status:
            self.fail('wine exit status %d, expected %d' % (w_status, status))
        expected_log = [b.log_line(caption) for b in list(boxes) + ([final_box] if final_box else [])]
        self.boxes_shown = w_boxes
        if not boxes_match(w_boxes, expected_log):
            self.fail('wine boxes differ:\n      got      %s\n      expected %s' %
                      ('\n               '.join(w_boxes) or '(none)',
                       '\n               '.join(getattr(e, 'pattern', e) for e in expected_log) or '(none)'))
        if wine_only:
            return
        # Natively each box is "caption: text" on standard error, among the tool's own notices, and
        # a question adds its prompt.
        rest, position = n_err, 0
        for box in boxes:
            text = box.terminal_text(caption)
            if box.pattern:
                match = re.compile(re.escape(caption + ': ') + box.text + '\n').search(rest, position)
                found, end = (match.start(), match.end()) if match else (-1, -1)
            else:
                found = rest.find(text, position)
                end = found + len(text)
            if found < 0:
                self.fail('native box missing from standard error: %r' % text)
                continue
            prompt = next((p for p in NATIVE_PROMPTS if rest.startswith(p, end)), None)
            if box.buttons != OK and prompt is None:
                self.fail('native question without its prompt: %r' % text)
            elif prompt is not None:
                end += len(prompt)
            rest = rest[:found] + rest[end:]
            position = found
        if double_click:
            # Nobody reads the streams of a run without a console: nothing reaches them, and the
            # native lines have no counterpart.
            if w_out or w_err:
                self.fail('wine: a run without a console wrote %r / %r' % (w_out, w_err))
            rest = n_out = ''
        if rest != w_err:
            self.fail('standard error differs (native without its boxes vs wine):\n      native %r\n      wine   %r'
                      % (rest, w_err))
        if n_out != w_out:
            self.fail('standard output differs:\n      native %r\n      wine   %r' % (n_out, w_out))
        if n_calls != w_calls:
            self.fail('the encoder was called differently:\n      native %r\n      wine   %r' % (n_calls, w_calls))

    def compare_trees(self, expected=None):
        """The files both sides wrote, byte for byte; and, if given, the tree both must hold."""
        native, wine_tree = snapshot(self.tree('native')), snapshot(self.tree('wine'))
        self.record['trees'].append(wine_tree)
        for name in sorted(set(native) | set(wine_tree)):
            if name not in wine_tree:
                self.fail('only native wrote %s' % name)
            elif name not in native:
                self.fail('only wine wrote %s' % name)
            elif native[name] != wine_tree[name]:
                self.fail('%s differs %s' % (name, first_difference(native[name], wine_tree[name])))
        if expected is not None and native != expected:
            missing = sorted(set(expected) - set(native))
            extra = sorted(set(native) - set(expected))
            changed = sorted(k for k in set(expected) & set(native) if expected[k] != native[k])
            self.fail('tree is not the expected one: missing %s, extra %s, changed %s' % (missing, extra, changed))
        return native

    def expect_file(self, rel, data):
        for side in SIDES:
            path = os.path.join(self.tree(side), rel)
            got = fake_payload(open(path, 'rb').read()) if os.path.exists(path) else None
            if got != data:
                self.fail('%s: %s is %s, expected %s' % (side, rel, shorten(got), shorten(data)))

    def compare_registry(self, key, expected):
        """Both sides' values of key equal expected ({name: CP932 bytes}, names in lower case)."""
        for side in SIDES:
            values = self.registry_values(side, key)
            if values != expected:
                self.fail('%s registry HKCU\\%s is %r, expected %r' % (side, key, values, expected))


# What a terminal gets besides the text: cursor and mode sequences; a move to the right stands for
# as many blanks.
TERMINAL_CONTROLS = re.compile(r'\x1b\[([0-9;?]*)([A-Za-z])|\x1b\][^\x07]*\x07|\r')


def terminal_text(raw):
    blanks = lambda m: ' ' * int(m.group(1) or 1) if m.group(2) == 'C' and (m.group(1) or '1').isdigit() else ''
    return TERMINAL_CONTROLS.sub(blanks, raw.decode('utf-8', 'replace'))


def run_in_console(folder, tool, env, timeout=60):
    """Runs the Windows tool with a terminal as its console, as a person who starts it from one:
    (exit status, the text the terminal shows), status None when it had to be stopped."""
    master, slave = pty.openpty()
    proc = subprocess.Popen(['wine', os.path.join(WIN_BIN, tool + '.exe')], cwd=folder,
                            stdin=slave, stdout=slave, stderr=slave, env=env)
    os.close(slave)
    shown, deadline = b'', time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        data = b''
        if ready:
            try:
                data = os.read(master, 65536)
            except OSError:  # the terminal's last reader and writer are gone
                pass
            shown += data
        if not data and proc.poll() is not None:
            break
        if ready and not data:
            time.sleep(0.05)
    status = proc.poll()
    if status is None:
        proc.kill()
        proc.wait()
    os.close(master)
    return status, terminal_text(shown)


def wine(args):
    proc = subprocess.run(['wine'] + args, capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
    if proc.returncode != 0:
        raise RuntimeError('wine %s failed (%d): %s' % (' '.join(args), proc.returncode,
                                                        proc.stderr.decode('cp932', 'replace').strip()))


# ---- drusel --------------------------------------------------------------------------------------

INMM_KEY = 'Software\\vurlo\\_inmm.dll'


def encoder_registry(side):
    path = os.path.join(NATIVE_BIN, 'fake_encoder') if side == 'native' else \
        win_path(os.path.join(WIN_BIN, 'fake_encoder.exe'))
    return {INMM_KEY: {'SMX_Path': path}}


def hide_encoder_path(side, text):
    path = encoder_registry(side)[INMM_KEY]['SMX_Path']
    return text.replace(path, '<encoder>')


def drusel_converts_every_voice(case):
    """Every WAV of the three-character folders, in search order, case-insensitive *.wav; dot folders,
    plain files and longer names skipped; a folder without WAVs gets its notice."""
    case.registry(encoder_registry)
    case.write('koewav/001/Z00100002.WAV', b'RIFF two')
    case.write('koewav/001/Z00100001.WAV', b'RIFF one')
    case.write('koewav/001/z00100003.wav', b'RIFF three, lower case')
    case.write('koewav/0a1/Z0a100001.WAV', b'RIFF code with a letter')
    case.write('koewav/002/notes.txt', b'not a voice')
    case.write('koewav/abc', b'a plain file named like a folder')
    case.write('koewav/.xy/Z.WAV', b'in a dot folder')
    case.write('koewav/long/Z.WAV', b'in a folder with a longer name')
    case.run('drusel', cwd='koewav', status=0, normalise=hide_encoder_path)
    case.compare_trees()
    case.expect_file('koewav/001/Z00100001.WAV', b'FAKEMP3:RIFF one')
    case.expect_file('koewav/002/notes.txt', b'not a voice')


def drusel_retry_ignore_abort(case):
    """Encoder failures answered Retry (same command again), Ignore (WAV kept) and Abort (run ends at
    once, later voices untouched)."""
    case.registry(encoder_registry)
    for n in range(1, 5):
        case.write('koewav/001/Z0010000%d.WAV' % n, b'voice %d' % n)
    case.write('koewav/002/Z00200001.WAV', b'voice of 002')
    message = '001\\Z0010000%d.WAV: scmpxを起動できないか、変換に失敗しました。'
    case.run('drusel', cwd='koewav', status=1, normalise=hide_encoder_path, plan=[1, 0, 0, 7, 3],
             boxes=[Box(message % 1, ABORT_RETRY_IGNORE, 'retry'),
                    Box(message % 3, ABORT_RETRY_IGNORE, 'ignore'),
                    Box(message % 4, ABORT_RETRY_IGNORE, 'abort')])
    case.compare_trees()
    case.expect_file('koewav/001/Z00100003.WAV', b'voice 3')
    case.expect_file('koewav/002/Z00200001.WAV', b'voice of 002')


def hide_not_found(side, text):
    """The command interpreter's own complaint differs by platform and language: one mark per call."""
    if side == 'native':
        return text.replace("'scmpx.exe' is not recognized as an internal or external command,\n"
                            "operable program or batch file.\n", '<not found>\n')
    text = re.sub(r"(?m)^Can't recognize 'scmpx\.exe .*' as an internal or external command, or batch script\.\n",
                  '<not found>\n', text)
    return re.sub(r'(?m)^scmpx\.exe .* を内部または外部コマンド、.*\n', '<not found>\n', text)


def drusel_without_an_encoder(case):
    """An empty SMX_Path leaves "scmpx.exe", which is nowhere: every file fails into the box; with
    Ignore each WAV stays and the run still ends with 0."""
    case.registry(lambda side: {INMM_KEY: {'SMX_Path': ''}})
    case.write('koewav/001/Z00100001.WAV', b'one')
    case.write('koewav/001/Z00100002.WAV', b'two')
    message = '001\\Z0010000%d.WAV: scmpxを起動できないか、変換に失敗しました。'
    case.run('drusel', cwd='koewav', status=0, normalise=hide_not_found,
             boxes=[Box(message % 1, ABORT_RETRY_IGNORE, 'ignore'), Box(message % 2, ABORT_RETRY_IGNORE, 'ignore')])
    case.compare_trees()
    case.expect_file('koewav/001/Z00100001.WAV', b'one')


def drusel_unreadable_encoder_value(case):
    """An SMX_Path too long for its 260-byte buffer cannot be read: the notice, then "scmpx.exe"."""
    case.registry(lambda side: {INMM_KEY: {'SMX_Path': 'C:\\' + 'e' * 300 + '.exe'}})
    case.write('koewav/001/Z00100001.WAV', b'one')
    case.run('drusel', cwd='koewav', status=0, normalise=hide_not_found, boxes=[
        Box('001\\Z00100001.WAV: scmpxを起動できないか、変換に失敗しました。', ABORT_RETRY_IGNORE, 'ignore')])
    case.compare_trees()


def drusel_encoder_path_without_cp932(case):
    """An SMX_Path with a character CP932 cannot hold (an accent in a profile folder) cannot be read:
    the notice names the character and its place, then "scmpx.exe" is tried (Windows only: the
    native store holds CP932 or UTF-8 text that always has a CP932 form)."""
    case.registry(lambda side: {INMM_KEY: {'SMX_Path': 'placeholder'}})
    # The harness's registry files are CP932: the value is set through Wine's own reg.exe.
    wine(['reg', 'add', 'HKCU\\' + INMM_KEY, '/v', 'SMX_Path', '/d', 'C:\\Users\\José\\scmpx.exe', '/f'])
    case.write('koewav/001/Z00100001.WAV', b'one')
    case.run('drusel', cwd='koewav', status=0, wine_only=True, normalise=hide_not_found, boxes=[
        Box('001\\Z00100001.WAV: scmpxを起動できないか、変換に失敗しました。', ABORT_RETRY_IGNORE, 'ignore')])
    err = case.record['runs'][-1][3]
    if not re.search('SMX_Pathの値の13文字目（U\\+00E9）はCP932で表せないため', err):
        case.fail('standard error %r: expected the notice naming character 13, U+00E9' % err)
    case.compare_trees()


def drusel_passes_over_names_without_cp932(case):
    """A voice whose name has a character CP932 lacks is passed over with a notice (Windows only: the
    name must not become a look-alike that names another file); the other voices are converted."""
    case.registry(encoder_registry)
    case.write('koewav/001/Z00100001.WAV', b'one')
    case.write('koewav/001/Zä0100002.WAV', b'not CP932')
    case.write('koewav/001/Za0100002.WAV', b'the look-alike')
    log = case.side_file('wine', 'encoder.log')
    # Names not of the voice form: drusel asks first whether this folder is to be converted.
    case.run('drusel', cwd='koewav', status=0, wine_only=True, boxes=[Box(FOLDER_QUESTION % 2, YES_NO, 'yes', pattern=True)])
    err = case.record['runs'][-1][3]
    notice = 'Z?0100002.WAV: 名前にCP932で表せない文字があるため飛ばします。\n'
    if notice not in err.replace('\r\n', '\n'):
        case.fail('standard error %r: expected the notice %r' % (err, notice))
    tree = snapshot(case.tree('wine'))
    expected = {'koewav/001/Z00100001.WAV': b'FAKEMP3:one', 'koewav/001/Zä0100002.WAV': b'not CP932',
                'koewav/001/Za0100002.WAV': b'FAKEMP3:the look-alike'}
    for name, data in expected.items():
        if tree.get(name) != data:
            case.fail('%s is %s, expected %r' % (name, shorten(tree.get(name)), data))
    calls = open(log, 'rb').read().count(b'\n') if os.path.exists(log) else 0
    if calls != 2:
        case.fail('the encoder was called %d times, expected 2' % calls)


def drusel_outside_koewav(case):
    """No voice folders: the notices of the missing key and of an empty folder, then the error box."""
    case.registry(lambda side: {}, absent=[INMM_KEY])
    case.write('game/music/track.wav', wav_header(44100, 0))
    case.write('game/SE1/click.ogg', b'OggS')
    case.run('drusel', cwd='game', status=1,
             boxes=[Box('plovenakで作成されたkoewavフォルダで実行してください。', OK, 'ok')])
    case.compare_trees()


# ---- tormel --------------------------------------------------------------------------------------

def game_registry(name, **values):
    return lambda side: {'Software\\' + name: values}


def tormel_avg32(case):
    """AVG32: settings lines rewritten, #DSTRACK entries replaced by #CDTRACK lines timed from the WAV
    headers (names matched without regard to case), _inmm.ini written, GAMEEXE.org kept."""
    case.registry(game_registry('vnaudio_wine_avg', BGM_FOLDER='BGM'))
    game = ini('; 音楽の設定 (AVG32)',
               '#REGNAME = "vnaudio_wine_avg"',
               '#MUSIC_TYPE = 001',
               '#KOE_DOUBLE_PAC=1 ; 二重パック',
               '#DSTRACK = 00000000 - 99999999 - 00000000 = "BGM01" = "オープニング"',
               '#DSTRACK = 00176400 - 30000000 - 00352800 = "bgm02" = "日常の風景"',
               '#DSTRACK = 0 - 99999999 - 0 = "BGM03" = "表示テスト"',
               '#BGM_MODE = 0',
               '  #MUSIC_TYPE = 2',
               '#SCREENSIZE_MOD=1')
    case.write('GAMEEXE.INI', game)
    case.write('AVG3216M.EXE', b'MZ')
    case.write('bgm/Bgm01.WAV', wav_header(44100, 10584000) + b'\0' * 16)
    case.write('bgm/BGM02.wav', wav_header(22050, 0) + b'\1' * 16)
    case.write('bgm/bgm03.wav', wav_header(44100, 0))
    case.run('tormel', status=0, boxes=[Box('成功しました。', OK, 'ok')])
    tree = case.compare_trees()
    if tree.get('GAMEEXE.org') != game:
        case.fail('GAMEEXE.org does not hold the game\'s own GAMEEXE.INI')
    case.expect_file('_inmm.ini', b'BGM\\BGM01.wav\r\nBGM\\bgm02.wav\r\nBGM\\BGM03.wav\r\n')


def tormel_reallive(case):
    """RealLive: NWA headers first, a broken NWA falls back to the WAV, the whole-track case needs no
    file; earlier backups push the new ones to GAMEEXE.org1 and _inmm.org."""
    case.registry(game_registry('vnaudio_wine_rl', BGM_FOLDER='bgm'))
    case.write('GAMEEXE.INI', ini('#REGNAME="vnaudio_wine_rl"',
                                  '#SYSCOM.011 = N : "ＢＧＭモード"',
                                  '#BGM_MODE = 0',
                                  '#CDDA_ABC_SETUP_NEED = 1',
                                  '#CDDA_AB_SETUP_NEED = 1',
                                  '#DSTRACK = 00000000 - 99999999 - 00000000 = "BGM01" = "テーマ"',
                                  '#DSTRACK = 00000000 - 99999999 - 00022050 = "BGM02" = "日常"',
                                  '#DSTRACK = 00044100 - 01323000 - 00044100 = "BGM03" = "夜"',
                                  '#DSTRACK = 0 - 2000000 - 0 = "BGM04" = "表"'))
    case.write('REALLIVE.EXE', b'MZ')
    case.write('GAMEEXE.org', b'an earlier backup')
    case.write('_inmm.ini', b'old\\track.wav\r\n')
    case.write('bgm/BGM02.nwa', nwa_header(44100, 2 * 2646000) + b'\0' * 8)
    case.write('bgm/BGM02.wav', b'never opened: the NWA comes first')
    case.write('bgm/BGM03.nwa', nwa_header(44100, 2 * 2646000)[:30])
    case.write('bgm/BGM03.wav', wav_header(22050, 4 * 22050 * 90))
    case.write('bgm/BGM04.WAV', wav_header(44100, 4 * 44100 * 60, channels=2))
    case.run('tormel', status=0, boxes=[
        Box('bgm\\BGM03.nwaは不正な、または未対応の形式のnwaファイルです。', OK, 'ok'),
        Box('成功しました。', OK, 'ok')])
    tree = case.compare_trees()
    for name, data in (('GAMEEXE.org', b'an earlier backup'), ('_inmm.org', b'old\\track.wav\r\n')):
        if tree.get(name) != data:
            case.fail('%s was not left as it was' % name)
    if 'GAMEEXE.org1' not in tree:
        case.fail('the game\'s GAMEEXE.INI was not moved to GAMEEXE.org1')


def tormel_names_in_other_case(case):
    """A game whose files are named in another case: found as Windows finds them, and the names the
    run leaves behind are the ones Windows gives them."""
    case.registry(game_registry('vnaudio_wine_case', BGM_FOLDER='Bgm'))
    game = ini('#REGNAME = "vnaudio_wine_case"', '#DSTRACK = 0 - 99999999 - 0 = "Track01" = "一"')
    case.write('Gameexe.ini', game)
    case.write('RealLive.exe', b'MZ')
    case.write('_INMM.INI', b'old table\r\n')
    case.write('gameexe.ORG', b'an old backup')
    case.write('BGM/TRACK01.WAV', wav_header(44100, 44100 * 4))
    case.run('tormel', status=0, boxes=[Box('成功しました。', OK, 'ok')])
    tree = case.compare_trees()
    if tree.get('gameexe.ORG') != b'an old backup':
        case.fail('the old backup was touched')


def tormel_unreadable_bgm_folder(case):
    """A BGM_FOLDER of 256 characters does not fit its buffer: the lookup's message, then "BGM"."""
    case.registry(game_registry('vnaudio_wine_long', BGM_FOLDER='m' * 256))
    case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_long"', '#DSTRACK = 0 - 99999999 - 0 = "t1" = "一"'))
    case.write('BGM/t1.wav', wav_header(44100, 1000))
    case.run('tormel', args=['--avg32'], status=0, boxes=[
        Box('BGMフォルダ名の取得に失敗:\nHKEY_CURRENT_USER\\Software\\vnaudio_wine_long\\BGM_FOLDER を読めません。',
            OK, 'ok'),
        Box('成功しました。', OK, 'ok')])
    case.compare_trees()
    case.expect_file('_inmm.ini', b'BGM\\t1.wav\r\n')


def tormel_bgm_folder_without_cp932(case):
    """Windows only: a BGM_FOLDER with a character CP932 lacks is reported as a value that cannot be
    read, and "BGM" is used, never the look-alike folder."""
    key = 'Software\\vnaudio_wine_nocp'
    case.registry(lambda side: {key: {'BGM_FOLDER': 'musïc'}} if side == 'wine' else {})
    case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_nocp"', '#DSTRACK = 0 - 99999999 - 0 = "t1" = "一"'))
    case.write('BGM/t1.wav', wav_header(44100, 1000))
    case.write('music/t1.wav', wav_header(22050, 1000))
    case.run('tormel', args=['--avg32'], status=0, wine_only=True, boxes=[
        Box('BGMフォルダ名の取得に失敗:\nHKEY_CURRENT_USER\\%s\\BGM_FOLDER を読めません。' % key, OK, 'ok'),
        Box('成功しました。', OK, 'ok')])
    table = snapshot(case.tree('wine')).get('_inmm.ini')
    if table != b'BGM\\t1.wav\r\n':
        case.fail('_inmm.ini is %r, expected the track in BGM' % table)


def tormel_text_stream_edges(case):
    """GAMEEXE.INI read and written through text streams: lines around the 1024-byte buffer (a CR LF
    split by it included), a lone CR, a bare LF, a last line without a line end and the 0x1A that
    ends a text file."""
    case.registry(game_registry('vnaudio_wine_text', BGM_FOLDER='BGM'))
    lines = [b'#REGNAME = "vnaudio_wine_text"\r\n']
    for length in (1021, 1022, 1023, 1024, 1025, 2045, 2046, 2047, 2048):
        lines.append(b'; ' + b'x' * (length - 2) + b'\r\n')
    lines += [b'a lone\rCR inside\r\n', b'a bare LF\n', b'#BGM_MODE = 0\r\n', b'\r\n', b'\r\r\n',
              b'#DSTRACK = 0 - 99999999 - 0 = "t1" = "' + '曲'.encode('cp932') * 20 + b'"\r\n',
              b'last line without a line end\x1aafter the end of the text']
    case.write('GAMEEXE.INI', b''.join(lines))
    case.write('REALLIVE.EXE', b'MZ')
    case.run('tormel', status=0, boxes=[Box('成功しました。', OK, 'ok')])
    written = case.compare_trees().get('GAMEEXE.INI', b'')
    if b'#BGM_MODE = 1\r\n' not in written or b'after the end' in written or b'x' * 2046 not in written:
        case.fail('GAMEEXE.INI was not rewritten as a text stream: %s' % shorten(written[-200:]))


def tormel_rolls_back_after_invalid_wav(case):
    """A WAV header that is not plain PCM stops the run: both new files removed, both backups back."""
    case.registry(game_registry('vnaudio_wine_bad', BGM_FOLDER='BGM'))
    case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_bad"',
                                  '#DSTRACK = 0 - 99999999 - 0 = "ok" = "一曲目"',
                                  '#DSTRACK = 0 - 99999999 - 0 = "float" = "二曲目"'))
    case.write('AVG3217D.EXE', b'MZ')
    case.write('_inmm.ini', b'previous table\r\n')
    case.write('BGM/ok.wav', wav_header(44100, 1000))
    case.write('BGM/float.wav', wav_header(44100, 1000, bits=32, tag=3))
    before = snapshot(case.tree('native'))
    case.run('tormel', status=1, boxes=[Box('BGM\\float.wavは無圧縮WAVE形式ではありません。', OK, 'ok')])
    case.compare_trees(expected=before)


def tormel_abort_retry_ignore(case):
    """A track file that cannot be opened: Retry asks again, Ignore takes the default timing and the
    run succeeds; in a second run Abort rolls everything back."""
    case.registry(game_registry('vnaudio_wine_ari', BGM_FOLDER='music'))
    case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_ari"',
                                  '#DSTRACK = 0 - 99999999 - 100 = "gone" = "消えた曲"',
                                  '#DSTRACK = 0 - 88200 - 44100 = "there" = "ある曲"'))
    case.write('music/there.wav', wav_header(44100, 88200))
    missing = 'music\\gone.wavのオープンに失敗しました。'
    case.run('tormel', args=['--reallive'], status=0,
             boxes=[Box(missing, ABORT_RETRY_IGNORE, 'retry'),
                    Box(missing, ABORT_RETRY_IGNORE, 'ignore'),
                    Box('成功しました。', OK, 'ok')])
    after_first = case.compare_trees()
    case.run('tormel', args=['--reallive'], status=1, boxes=[Box(missing, ABORT_RETRY_IGNORE, 'abort')])
    case.compare_trees(expected=after_first)


def tormel_refuses_unknown_folders(case):
    """No GAMEEXE.INI, then no engine: the driver's two messages (one of two lines); nothing changes."""
    case.write('GAMEEXE.TXT', b'not the file')
    case.run('tormel', args=['--reallive'], status=1,
             boxes=[Box('GAMEEXE.INIがあるフォルダで実行してください。', OK, 'ok')])
    case.write('GAMEEXE.INI', ini('#REGNAME = "none"'))
    case.run('tormel', args=['--AVG32'], status=1, boxes=[Box(
        'システムを特定できません。\nAVG321XX.EXEかREALLIVE.EXEのあるフォルダで実行するか、'
        '--avg32 または --reallive オプションをつけて実行してください。', OK, 'ok')])
    case.compare_trees(expected={'GAMEEXE.TXT': b'not the file', 'GAMEEXE.INI': ini('#REGNAME = "none"')})


# ---- plovenak ------------------------------------------------------------------------------------

KOE_KEY = 'Software\\vnaudio_wine_koe'


def voice_game(case, koe_folder):
    case.registry(lambda side: {KOE_KEY: {'KOE_FOLDER': koe_folder}})
    case.write('GAMEEXE.INI', ini('#CAPTION = "声のテスト"', '#REGNAME = "vnaudio_wine_koe"'))
    case.write('voice/KOE/Z001.KOE', koepac([(1, ['silent', 'raw', 300, 'silent']), (345, [77]), (2, []),
                                       (65535, [1, 'raw', 2000])], sample_rate=0, seed=1))
    case.write('voice/KOE/z002.koe', koepac([(7, [500, 'silent']), (8, ['raw'])], sample_rate=44100, seed=2))
    case.write('voice/KOE/Z003.KOE', koepac([], sample_rate=22050, seed=3))
    # Not Z01.KOE: Windows matches it ('?' before a dot may match nothing), Wine 8 does not.
    case.write('voice/KOE/Z0001.KOE', b'not matched: four characters')
    case.write('voice/KOE/readme.txt', b'not an archive')


def plovenak_unpacks_voices(case):
    """KOE_FOLDER switched to koewav, restore file written, every archive unpacked into its own folder
    (a relative voice folder, its names matched without regard to case)."""
    voice_game(case, 'Voice\\koe')
    case.run('plovenak', status=0)
    tree = case.compare_trees()
    voices = [name for name in tree if name.startswith('koewav/') and name.endswith('.WAV')]
    # Z001: four voices; z002: two; Z003: none.
    if len(voices) != 6:
        case.fail('expected 6 voices, got %s' % sorted(voices))
    case.expect_file('koe_restore.reg', b'REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\vnaudio_wine_koe]\r\n'
                                        b'"KOE_FOLDER"="Voice\\\\koe"\r\n')
    case.compare_registry(KOE_KEY, {'koe_folder': b'koewav'})


NOTHING = '\n何も変更していません。'


def restore_question(voices, value):
    return ('koewavには音声が全部（%d個）そろっています。\nKOE_FOLDERをkoe_restore.regに記録された元の値「%s」に戻しますか？'
            '\n「いいえ」なら何も変更しません。' % (voices, value))


def plovenak_second_run(case):
    """A second run finds every voice in koewav: it offers to put KOE_FOLDER back; No changes nothing,
    Yes sets the value koe_restore.reg records and says that koewav can go."""
    voice_game(case, 'voice\\KOE')
    case.run('plovenak', status=0)
    first = case.compare_trees()
    question = restore_question(6, 'voice\\KOE')
    case.run('plovenak', status=1, boxes=[Box(question, YES_NO, 'no')])
    case.compare_trees(expected=first)
    case.compare_registry(KOE_KEY, {'koe_folder': b'koewav'})
    # Any spelling of the same folder is the second run too: never a new restore file naming koewav.
    full = lambda side: (win_path(case.tree(side)) if side == 'wine' else case.tree(side)) + '\\KoeWav '
    for spelling in (lambda side: '.\\koewav', lambda side: 'KOEWAV  ', full):
        case.registry(lambda side: {KOE_KEY: {'KOE_FOLDER': spelling(side)}})
        case.run('plovenak', status=1, boxes=[Box(question, YES_NO, 'no')])
        case.compare_trees(expected=first)
    case.registry(lambda side: {KOE_KEY: {'KOE_FOLDER': 'koewav'}})
    case.run('plovenak', status=0, boxes=[Box(question, YES_NO, 'yes'), Box(
        'KOE_FOLDERを「voice\\KOE」に戻しました。koewavフォルダは削除してかまいません。', OK, 'ok')])
    case.compare_trees(expected=first)
    case.expect_file('koe_restore.reg', b'REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\vnaudio_wine_koe]\r\n'
                                        b'"KOE_FOLDER"="voice\\\\KOE"\r\n')
    case.compare_registry(KOE_KEY, {'koe_folder': b'voice\\KOE'})


def plovenak_finishes_a_cut_off_run(case):
    """KOE_FOLDER at koewav with voices missing and a voice's part left (a run cut off; in the work folder,
    and beside the voices where an earlier version wrote it): the second run offers to finish, writes only
    what is missing, removes the parts and the work folder, and the tree is that of a whole run."""
    voice_game(case, 'voice\\KOE')
    case.run('plovenak', status=0)
    whole = case.compare_trees()
    for side in SIDES:
        tree = case.tree(side)
        os.remove(os.path.join(tree, 'koewav', '001', 'Z00165535.WAV'))
        shutil.rmtree(os.path.join(tree, 'koewav', '002'))
        os.mkdir(os.path.join(tree, 'koewav', '~unpacking'))
        for part in (['~unpacking', 'Z00200007.WAV.part'], ['001', 'Z00165535.WAV.part']):
            with open(os.path.join(tree, 'koewav', *part), 'wb') as stream:
                stream.write(b'RIFF cut off')
    question = ('KOE_FOLDERは既にkoewavを指していますが、koewavには音声6個のうち3個しかありません（前の展開が途中で終わっています）。'
                '\n残りの3個を展開しますか？\n「いいえ」なら何も変更しません。元に戻すには、koe_restore.regを取り込んでから、'
                'koewavフォルダを削除してください。')
    case.run('plovenak', status=0, boxes=[Box(question, YES_NO, 'yes')])
    case.compare_trees(expected=whole)
    case.compare_registry(KOE_KEY, {'koe_folder': b'koewav'})


def plovenak_progress_in_a_console(case):
    """Started from a console, plovenak shows its progress lines there and ends without waiting for
    anyone; the files are those of a run with redirected streams."""
    case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_koe"'))
    case.write('voice/Z001.KOE', koepac([(1, [40]), (2, ['raw'])], sample_rate=0, seed=7))
    case.write('voice/Z002.KOE', koepac([(9, [30])], sample_rate=0, seed=8))
    console_game = os.path.join(case.root, 'console')
    shutil.copytree(case.tree('wine'), console_game)
    case.registry(lambda side: {KOE_KEY: {'KOE_FOLDER': 'voice'}})
    case.run('plovenak', status=0)
    redirected = case.compare_trees()
    case.registry(lambda side: {KOE_KEY: {'KOE_FOLDER': 'voice'}})
    status, shown = run_in_console(console_game, 'plovenak', dict(os.environ))
    if status != 0:
        case.fail('in a console: exit status %s, expected 0 (None: still running after 60 s)' % status)
    console = snapshot(console_game)
    if console != redirected:
        case.fail('the console run left other files: %s' % sorted(set(console.items()) ^ set(redirected.items())))
    lines = sorted(line for line in shown.split('\n') if line.strip())
    expected = sorted(['Z001.KOE -> 001\\Z00100001.WAV', 'Z001.KOE -> 001\\Z00100002.WAV', 'Z002.KOE -> 002\\Z00200009.WAV'])
    if lines != expected:
        case.fail('the console showed %r, expected the lines %r' % (shown, expected))


def double_clicked_runs(case):
    """The three steps double-clicked: tormel speaks only in boxes; plovenak finds a bad archive in
    its check before anything changed and says so in a box, before any window; drusel with no voices
    to convert shows only its box. No run waits for anyone."""
    case.registry(lambda side: {KOE_KEY: {'KOE_FOLDER': 'voice', 'BGM_FOLDER': 'BGM'}}, absent=[INMM_KEY])
    case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_koe"', '#DSTRACK = 0 - 99999999 - 0 = "t1" = "一"'))
    case.write('REALLIVE.EXE', b'MZ')
    case.write('BGM/t1.wav', wav_header(44100, 1000))
    case.write('voice/Z001.KOE', koepac([(1, [40]), (2, ['raw'])], sample_rate=0, seed=9))
    case.write('voice/Z002.KOE', b'KOEPAK' + bytes(40))
    case.run('tormel', status=0, boxes=[Box('成功しました。', OK, 'ok')], double_click=True)
    case.run('plovenak', status=1, boxes=[Box('voice\\Z002.KOEはKOE形式ではないようです。' + NOTHING, OK, 'ok')],
             double_click=True)
    case.run('drusel', cwd='voice', status=1, boxes=[Box('plovenakで作成されたkoewavフォルダで実行してください。', OK, 'ok')],
             double_click=True)
    case.compare_trees()


def plovenak_refuses_a_bad_archive_first(case):
    """An impossible index in the last of three archives is named in a box before anything changes."""
    case.registry(lambda side: {KOE_KEY: {'KOE_FOLDER': 'voice'}})
    case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_koe"'))
    case.write('voice/Z001.KOE', koepac([(1, [40])], sample_rate=0, seed=4))
    case.write('voice/Z002.KOE', koepac([(1, [40])], sample_rate=0, seed=5))
    case.write('voice/Z003.KOE', b'KOEPAC\0' + bytes(9) + u32(3) + bytes(12) + bytes(8))
    before = snapshot(case.tree('native'))
    case.run('plovenak', status=1, boxes=[Box(
        'voice\\Z003.KOEは壊れています。索引の項目数3がファイルに収まりません。' + NOTHING, OK, 'ok')])
    case.compare_trees(expected=before)
    case.compare_registry(KOE_KEY, {'koe_folder': b'voice'})


def plovenak_koewav_in_other_case(case):
    """A folder KoeWav already there is koewav to Windows: the run stops before changing anything."""
    voice_game(case, 'voice\\koe')
    case.write('KoeWav', None)
    case.run('plovenak', status=1, boxes=[Box('フォルダ koewav が既にあります。中身を確かめ、要らなければ削除してから、'
                                              'もう一度実行してください。何も変更していません。', OK, 'ok')])
    case.compare_trees()
    case.compare_registry(KOE_KEY, {'koe_folder': b'voice\\koe'})


def restore_file(key, value):
    """koe_restore.reg as regedit on this system reads it: REGEDIT4 in CP932 with each backslash and
    quote of its own escaped (a 0x5C trail byte is part of its character and stays single), or,
    where a name is not ASCII and the system's code page is not 932, regedit's UTF-16 form."""
    text = 'REGEDIT4\r\n[HKEY_CURRENT_USER\\%s]\r\n"KOE_FOLDER"="%s"\r\n' % (
        key, value.replace('\\', '\\\\').replace('"', '\\"'))
    if CODE_PAGE != '932' and not (key + value).isascii():
        return b'\xff\xfe' + text.replace('REGEDIT4', 'Windows Registry Editor Version 5.00').encode('utf-16-le')
    return text.encode('cp932')


def plovenak_restore_file_round_trip(case):
    """The restore file of a voice folder value with a 0x5C trail byte inside and at its end, and of a
    Japanese key path, in game folders whose names hold such characters: the file has the form this
    system's regedit reads, and `regedit /s` on it puts back exactly the old value."""
    for n, (name, folder) in enumerate((('vnaudio_wine_koe', '音声\\表示'), ('vnaudio_wine_koe', 'ボイス\\表'),
                                        ('KEY\\夏の日の物語', 'voice'), ('KEY\\夏の日の物語', '声ソ'))):
        key = 'Software\\' + name
        game = 'ソフト表%d' % n
        case.registry(lambda side: {key: {'KOE_FOLDER': folder}})
        case.write(game + '/GAMEEXE.INI', ini('#REGNAME = "%s"' % name))
        case.write(game + '/' + folder.replace('\\', '/') + '/Z001.KOE', koepac([(1, [40])], sample_rate=0, seed=n))
        case.run('plovenak', cwd=game, status=0)
        case.compare_trees()
        expected = restore_file(key, folder)
        case.expect_file(game + '/koe_restore.reg', expected)
        case.compare_registry(key, {'koe_folder': b'koewav'})
        # The second run reads the file back, in the form this system wrote it, and restores the value.
        case.run('plovenak', cwd=game, status=0, boxes=[
            Box(restore_question(1, folder), YES_NO, 'yes'),
            Box('KOE_FOLDERを「%s」に戻しました。koewavフォルダは削除してかまいません。' % folder, OK, 'ok')])
        for side in SIDES:
            # The native store keeps what the tools write in UTF-8.
            want = {'koe_folder': folder.encode('utf-8' if side == 'native' else 'cp932')}
            if case.registry_values(side, key) != want:
                case.fail('%s: the second run left HKCU\\%s %r, not the old value %r' %
                          (side, key, case.registry_values(side, key), folder))
        case.registry(lambda side: {key: {'KOE_FOLDER': 'koewav'}})
        restore = os.path.join(case.tree('wine'), game, 'koe_restore.reg')
        if os.path.exists(restore):
            wine(['regedit', '/S', win_path(restore)])
            values = case.registry_values('wine', key)
            case.record['restored'].append(values)
            if values != {'koe_folder': folder.encode('cp932')}:
                case.fail('regedit /s koe_restore.reg left HKCU\\%s %r, not the old value %r' % (key, values, folder))


def plovenak_japanese_game(case):
    """A game with a Japanese #REGNAME whose KOE_FOLDER names a Japanese folder, installed under a
    Japanese folder name: its voices are found, unpacked and the value switched."""
    key = 'Software\\KEY\\夏の日の物語'
    case.move_to('ゲーム表')
    case.registry(lambda side: {key: {'KOE_FOLDER': '音声表'}})
    case.write('GAMEEXE.INI', ini('#REGNAME = "KEY\\夏の日の物語"'))
    case.write('音声表/Z001.KOE', koepac([(1, [40]), (2, ['raw'])], sample_rate=0, seed=6))
    case.run('plovenak', status=0)
    tree = case.compare_trees()
    if 'koewav/001/Z00100001.WAV' not in tree or 'koewav/001/Z00100002.WAV' not in tree:
        case.fail('the voices were not unpacked: %s' % sorted(tree))
    case.expect_file('koe_restore.reg', restore_file(key, '音声表'))
    case.compare_registry(key, {'koe_folder': b'koewav'})


def tormel_japanese_game(case):
    """A game with a Japanese #REGNAME and a BGM_FOLDER whose last character ends in 0x5C, installed
    under a Japanese folder name: the tracks are found and timed, and _inmm.ini names them in CP932."""
    key = 'Software\\KEY\\夏の日の物語'
    case.move_to('ソフト表')
    case.registry(lambda side: {key: {'BGM_FOLDER': '曲表'}})
    case.write('GAMEEXE.INI', ini('#REGNAME = "KEY\\夏の日の物語"',
                                  '#DSTRACK = 0 - 99999999 - 0 = "BGM01" = "夏"',
                                  '#DSTRACK = 0 - 99999999 - 0 = "BGM02" = "表"'))
    case.write('REALLIVE.EXE', b'MZ')
    case.write('曲表/BGM01.wav', wav_header(44100, 4 * 44100 * 3))
    case.write('曲表/bgm02.WAV', wav_header(22050, 4 * 22050))
    case.run('tormel', status=0, boxes=[Box('成功しました。', OK, 'ok')])
    case.compare_trees()
    case.expect_file('_inmm.ini', '曲表\\BGM01.wav\r\n曲表\\BGM02.wav\r\n'.encode('cp932'))


WAY_BACK = ('GAMEEXE.INIは変換済みです。\nゲームの元のGAMEEXE.INI(GAMEEXE.org)と_inmm.iniに戻しますか?\n'
            '今のGAMEEXE.INIと_inmm.iniはバックアップとして残します。')
OWN_TABLE = b'[the game\'s own]\r\n'


def way_back(case, reallive, own_table):
    """A game copied from a CD (its files read-only) is converted; run again, No changes nothing, and
    Yes gives the game its own files back, each replaced one kept under its next backup name."""
    name = 'vnaudio_wine_back'
    case.registry(game_registry(name, BGM_FOLDER='BGM'))
    game = ini('#REGNAME = "%s"' % name, '#MUSIC_TYPE = 000', '#BGM_MODE = 0',
               '#DSTRACK = 0 - 99999999 - 0 = "BGM01" = "一"', '#DSTRACK = 0 - 88200 - 0 = "BGM02" = "二"')
    case.write('GAMEEXE.INI', game)
    case.write('REALLIVE.EXE' if reallive else 'AVG3216M.EXE', b'MZ')
    case.write('BGM/BGM01.wav', wav_header(44100, 4 * 44100 * 3))
    case.write('BGM/BGM02.wav', wav_header(44100, 4 * 44100 * 3))
    if own_table:
        case.write('_inmm.ini', OWN_TABLE)
    for side in SIDES:
        for rel in ('GAMEEXE.INI', '_inmm.ini') if own_table else ('GAMEEXE.INI',):
            os.chmod(os.path.join(case.tree(side), rel), 0o444)
    case.run('tormel', status=0, boxes=[Box('成功しました。', OK, 'ok')])
    converted = case.compare_trees()
    if converted.get('GAMEEXE.org') != game or converted.get('_inmm.org') != (OWN_TABLE if own_table else None):
        case.fail('the backups do not hold the game\'s own files')
    case.run('tormel', status=1, boxes=[Box(WAY_BACK, YES_NO, 'no')])
    if case.compare_trees() != converted:
        case.fail('No changed the folder')
    case.run('tormel', status=0, boxes=[Box(WAY_BACK, YES_NO, 'yes'),
                                        Box('ゲームの元のGAMEEXE.INIと_inmm.iniに戻しました。', OK, 'ok')])
    tree = case.compare_trees()
    case.expect_file('GAMEEXE.INI', game)
    case.expect_file('_inmm.ini', OWN_TABLE if own_table else None)
    if tree.get('GAMEEXE.org1') != converted['GAMEEXE.INI']:
        case.fail('the converted GAMEEXE.INI is not kept as GAMEEXE.org1')
    if tree.get('_inmm.org1' if own_table else '_inmm.org') != converted['_inmm.ini']:
        case.fail('the converted _inmm.ini is not kept')


def tormel_way_back_avg32(case):
    way_back(case, False, False)


def tormel_way_back_reallive(case):
    way_back(case, True, True)

def messages_in_the_locales_language(case):
    """Left to choose, the Windows programs speak the language of the user interface: Japanese under
    ja_JP, the English of po/en.po under en_US (the other scenarios pin Japanese). What they write
    is the same under both: the locales are compared on files and registry alone."""
    case.registry(game_registry('vnaudio_wine_lang', BGM_FOLDER='BGM'))
    case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_lang"', '#MUSIC_TYPE = 001'))
    case.write('AVG3216M.EXE', b'MZ')
    case.write('BGM/readme.txt', b'no voices here')
    texts = {'ja': ('GAMEEXE.INIに#DSTRACKの行がありません。変更はしていません。',
                    'plovenakで作成されたkoewavフォルダで実行してください。'),
             'en': ('GAMEEXE.INI has no #DSTRACK lines. Nothing has been changed.',
                    'Run this in the koewav folder that plovenak made.')}
    tormel_box, drusel_box = texts['ja' if LOCALE == 'ja' else 'en']
    pinned = os.environ.pop('VNAUDIO_LANG')
    try:
        case.run('tormel', status=1, wine_only=True, boxes=[Box(tormel_box, OK, 'ok')])
        case.run('drusel', cwd='BGM', status=1, wine_only=True, boxes=[Box(drusel_box, OK, 'ok')])
    finally:
        os.environ['VNAUDIO_LANG'] = pinned
    case.record['runs'] = []
    case.compare_trees()


SCENARIOS = [
    messages_in_the_locales_language,
    drusel_converts_every_voice,
    drusel_retry_ignore_abort,
    drusel_without_an_encoder,
    drusel_unreadable_encoder_value,
    drusel_outside_koewav,
    drusel_passes_over_names_without_cp932,
    drusel_encoder_path_without_cp932,
    tormel_avg32,
    tormel_reallive,
    tormel_names_in_other_case,
    tormel_unreadable_bgm_folder,
    tormel_text_stream_edges,
    tormel_bgm_folder_without_cp932,
    tormel_rolls_back_after_invalid_wav,
    tormel_abort_retry_ignore,
    tormel_refuses_unknown_folders,
    plovenak_unpacks_voices,
    plovenak_second_run,
    plovenak_finishes_a_cut_off_run,
    plovenak_refuses_a_bad_archive_first,
    plovenak_progress_in_a_console,
    double_clicked_runs,
    plovenak_koewav_in_other_case,
    plovenak_restore_file_round_trip,
    plovenak_japanese_game,
    tormel_japanese_game,
    tormel_way_back_avg32,
    tormel_way_back_reallive,
]

import scenarios_drusel  # noqa: E402 (its scenarios use the helpers above)
SCENARIOS += scenarios_drusel.make(sys.modules[__name__])
import scenarios_progress  # noqa: E402
SCENARIOS += scenarios_progress.make(sys.modules[__name__])


def comparable(tree):
    """A tree as a person finds it: a restore file by the values it restores, as its form follows the
    system's code page; every other file byte for byte."""
    return {name: parse_reg(read_reg(data)) if name.endswith('koe_restore.reg') else data
            for name, data in tree.items()}


def compare_locales(first, second):
    """Each scenario's record of one locale's run against the other's."""
    passed = failed = 0
    names = sorted(os.listdir(os.path.join(first, 'record')))
    for name in names:
        records = []
        for work in (first, second):
            path = os.path.join(work, 'record', name)
            records.append(pickle.load(open(path, 'rb')) if os.path.exists(path) else None)
        a, b = records
        problems = []
        if b is None:
            problems.append('not run under %s' % os.path.basename(second))
        else:
            if len(a['trees']) != len(b['trees']):
                problems.append('the trees were compared %d and %d times' % (len(a['trees']), len(b['trees'])))
            for i, (ta, tb) in enumerate(zip(a['trees'], b['trees'])):
                ta, tb = comparable(ta), comparable(tb)
                for f in sorted(set(ta) | set(tb)):
                    if ta.get(f) != tb.get(f):
                        problems.append('tree %d: %s differs: %s / %s' % (i + 1, f, shorten(ta.get(f)), shorten(tb.get(f))))
            for what in ('registry', 'runs', 'restored'):
                if a[what] != b[what]:
                    problems.append('%s differ:\n      %s\n      %s' % (what, shorten(a[what], 400), shorten(b[what], 400)))
        label = '%s (%s vs %s)' % (name[:-len('.pickle')], os.path.basename(first), os.path.basename(second))
        if problems:
            failed += 1
            print('FAIL  same for a person under both locales: ' + label)
            for problem in problems:
                print('      ' + problem)
        else:
            passed += 1
            print('ok    same for a person under both locales: ' + label)
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


def main():
    if COMPARING:
        return compare_locales(*sys.argv[2:4])
    os.makedirs(os.path.join(WORK, 'record'), exist_ok=True)
    # Checks that run.sh made before the scenarios count in the closing line too.
    passed, failed = (int(n) for n in os.environ.get('VNAUDIO_WINE_PRIOR', '0 0').split())
    for scenario in SCENARIOS:
        name = scenario.__name__
        if SELECTED and not any(s in name for s in SELECTED):
            continue
        started = time.monotonic()
        for attempt in (1, 2):
            case = Case(name)
            try:
                scenario(case)
            except Exception:
                case.fail('crashed:\n' + traceback.format_exc())
            # Wine's own loader sometimes dies at a process's exit on a busy machine, before the
            # program under test has done anything: that one failure is tried once more, and said.
            if attempt == 2 or not any(WINE_LOADER_CRASH in p for p in case.problems):
                break
            print('note  %s [%s]: Wine\'s loader crashed (%s); trying once more' % (name, LOCALE, WINE_LOADER_CRASH))
            shutil.rmtree(case.root, ignore_errors=True)
        seconds = time.monotonic() - started
        with open(os.path.join(WORK, 'record', name + '.pickle'), 'wb') as stream:
            pickle.dump(case.record, stream)
        if case.problems:
            failed += 1
            print('FAIL  %s [%s] (%.1f s)' % (name, LOCALE, seconds))
            for problem in case.problems:
                print('      ' + problem)
        else:
            passed += 1
            print('ok    %s [%s] (%.1f s)' % (name, LOCALE, seconds))
        sys.stdout.flush()
    if not any(not SELECTED or any(s in f.__name__ for s in SELECTED) for f in SCENARIOS):
        print('FAIL  no scenario matches %s' % ' '.join(SELECTED))
        failed += 1
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
