"""drusel scenarios of the Wine comparison: names that a command interpreter would interpret,
streams that must stay in order, the game folder refused and the re-run after an interrupted one.
scenarios.py passes itself to make() and runs what it returns."""
import os
import shutil
import subprocess
import time


def make(s):
    INMM_KEY = s.INMM_KEY

    def encoder_in_a_folder_with_a_blank(case):
        """The stand-in encoder copied to a folder whose name has a blank, as SMX_Path."""
        paths = {}
        for side in s.SIDES:
            folder = case.side_file(side, 'my encoder')
            os.makedirs(folder, exist_ok=True)
            name = 'fake_encoder' if side == 'native' else 'fake_encoder.exe'
            bin_dir = s.NATIVE_BIN if side == 'native' else s.WIN_BIN
            shutil.copy(os.path.join(bin_dir, name), folder)
            paths[side] = os.path.join(folder, name) if side == 'native' else s.win_path(os.path.join(folder, name))
        case.registry(lambda side: {INMM_KEY: {'SMX_Path': paths[side]}})
        return lambda side, text: text.replace(paths[side], '<encoder>')

    def drusel_names_reach_the_encoder_as_they_are(case):
        """Voice names with &, %, ^, blanks and quotes, and an encoder path with a blank: every name
        reaches the encoder unchanged and nothing of it is run as a command."""
        hide = encoder_in_a_folder_with_a_blank(case)
        names = ['x&md PWNED&.WAV', 'a%PATH%b.WAV', "c^d e'f.WAV", 'g`h (1) !x!.WAV']
        for n, name in enumerate(names):
            case.write('koewav/001/' + name, b'RIFF voice %d' % n)
        case.run('drusel', cwd='koewav', status=0, normalise=hide,
                 boxes=[s.Box(s.FOLDER_QUESTION % len(names), s.YES_NO, 'yes', pattern=True)])
        expected = {'koewav/': b'', 'koewav/001/': b''}
        expected.update({'koewav/001/' + name: b'FAKEMP3:RIFF voice %d' % n for n, name in enumerate(names)})
        case.compare_trees(expected)
        for side in s.SIDES:
            log = open(case.side_file(side, 'encoder.log'), 'rb').read().decode('cp932').splitlines()
            got = sorted(line for line in log)
            want = sorted('-e -w 001\\%s 001\\%s.mp3' % (name, name) for name in names)
            if got != want:
                case.fail('%s: the encoder got %r, expected %r' % (side, got, want))

    def drusel_progress_in_order(case):
        """On redirected streams the command lines and the encoders' own lines come in the order they
        were written, one encoder at a time; with -j 2 the files end the same."""
        hide = encoder_in_a_folder_with_a_blank(case)
        for name in ('001/Z00100001', '001/Z00100002', '001/Z00100003', '002/Z00200001', '002/Z00200002'):
            case.write('koewav/%s.WAV' % name, b'RIFF ' + name.encode())
        os.environ['FAKE_ENCODER_SAY'] = '1'
        try:
            case.run('drusel', cwd='koewav', status=0, normalise=hide)
        finally:
            del os.environ['FAKE_ENCODER_SAY']
        native = case.compare_trees()
        for side in s.SIDES:
            os.remove(case.side_file(side, 'encoder.log'))
        for name, data in native.items():
            if data.startswith(b'FAKEMP3:'):
                case.write(name, data[len('FAKEMP3:'):])
        case.run('drusel', cwd='koewav', args=['-j', '2'], status=0, normalise=hide, calls_in_any_order=True)
        if case.compare_trees() != native:
            case.fail('-j 2 left other files than one encoder at a time')

    def drusel_refuses_the_game_folder(case):
        """Started where GAMEEXE.INI is, drusel touches nothing: one box, exit 1."""
        case.registry(s.encoder_registry)
        case.write('GAMEEXE.INI', s.ini('#REGNAME = "x"'))
        case.write('BGM/BGM01.WAV', s.wav_header(44100, 0))
        case.write('001/Z00100001.WAV', b'RIFF one')
        case.run('drusel', status=1, boxes=[s.Box('GAMEEXE.INIのあるフォルダでは実行できません。'
                                                 'plovenakで作成されたkoewavフォルダで実行してください。', s.OK, 'ok')])
        case.expect_file('BGM/BGM01.WAV', s.wav_header(44100, 0))
        case.expect_file('001/Z00100001.WAV', b'RIFF one')

    def drusel_finishes_an_interrupted_run(case):
        """A voice left only as X.WAV.mp3 takes its name back, voices already MP3 are passed over, a
        stale MP3 beside its WAV is replaced by the encoder's new one."""
        case.registry(s.encoder_registry)
        # Whole MP3 data (two frames of silence, MPEG-1 layer III at 128 kbit/s and 44.1 kHz): a
        # voice converted before, and one left only under its work name.
        whole = (b'\xff\xfb\x90\xc0' + bytes(413)) * 2
        case.write('koewav/001/Z00100001.WAV.mp3', whole)
        case.write('koewav/001/Z00100002.WAV', whole)
        case.write('koewav/001/Z00100003.WAV', b'RIFF three')
        case.write('koewav/001/Z00100003.WAV.mp3', b'ID3 stale')
        case.run('drusel', cwd='koewav', status=0, normalise=s.hide_encoder_path)
        case.compare_trees({'koewav/': b'', 'koewav/001/': b'', 'koewav/001/Z00100001.WAV': whole,
                            'koewav/001/Z00100002.WAV': whole,
                            'koewav/001/Z00100003.WAV': b'FAKEMP3:RIFF three'})

    def fresh_voices(case, count):
        """The voices of 001 as WAVs again, on both sides, with nothing beside them."""
        for side in s.SIDES:
            shutil.rmtree(os.path.join(case.tree(side), 'koewav'), ignore_errors=True)
            if os.path.exists(case.side_file(side, 'encoder.log')):
                os.remove(case.side_file(side, 'encoder.log'))
        for n in range(1, count + 1):
            case.write('koewav/001/Z0010000%d.WAV' % n, b'voice %d' % n)

    def hanging_encoder_tree(count, converted, left_mp3=None, mark=b'FAKEMP3:'):
        tree = {'koewav/': b'', 'koewav/001/': b''}
        for n in range(1, count + 1):
            tree['koewav/001/Z0010000%d.WAV' % n] = (mark if n in converted else b'') + b'voice %d' % n
        if left_mp3:
            tree['koewav/001/Z0010000%d.WAV.mp3' % left_mp3] = b'FAKEMP3:part'
        return tree

    def drusel_hanging_encoder(case):
        """An encoder that never ends, on the second voice. Its time limit (shortened for the test)
        ends it and its voice is asked about like any failure: Ignore goes on. With -j 3, an Abort
        about the first voice ends it while it hangs, with every other encoder, and removes what they
        wrote: the files are those of one encoder. Cancel in the progress window ends it too."""
        case.registry(s.encoder_registry)
        failed = '001\\Z0010000%d.WAV: scmpxを起動できないか、変換に失敗しました。'
        os.environ['FAKE_ENCODER_HANG'] = 'Z00100002.WAV'
        try:
            os.environ['VNAUDIO_ENCODER_LIMIT_MS'] = '1500'
            for args in ([], ['-j', '3']):
                fresh_voices(case, 4)
                case.run('drusel', cwd='koewav', args=args, status=0, normalise=s.hide_encoder_path,
                         calls_in_any_order=bool(args), boxes=[s.Box(failed % 2, s.ABORT_RETRY_IGNORE, 'ignore')])
                case.compare_trees(hanging_encoder_tree(4, (1, 3, 4)))
            # Without the shortened limit nothing but the Abort or Cancel can end the hang in time.
            # The first voice fails late enough for every encoder to have started.
            del os.environ['VNAUDIO_ENCODER_LIMIT_MS']
            os.environ['FAKE_ENCODER_MS'] = '1500'
            fresh_voices(case, 3)
            case.run('drusel', cwd='koewav', args=['-j', '3'], status=1, plan=['Z00100001.WAV 1'],
                     normalise=s.hide_encoder_path, calls_in_any_order=True,
                     boxes=[s.Box(failed % 1, s.ABORT_RETRY_IGNORE, 'abort')])
            del os.environ['FAKE_ENCODER_MS']
            case.compare_trees(hanging_encoder_tree(3, ()))
            fresh_voices(case, 4)
            case.run('drusel', cwd='koewav', status=1, double_click=True, cancel_at=1, wine_only=True,
                     final_box=s.Box('キャンセルしました。1 / 4 個の音声を処理したところで止めました。'
                                     '変換中だった音声はエンコーダを止めて、WAVのまま残しました。\n'
                                     'もう一度実行すると、続きから変換します。', s.OK, 'ok'))
            if s.snapshot(case.tree('wine')) != hanging_encoder_tree(4, (1,)):
                case.fail('Cancel left %r' % sorted(s.snapshot(case.tree('wine')).items()))
        finally:
            os.environ.pop('FAKE_ENCODER_HANG', None)
            os.environ.pop('VNAUDIO_ENCODER_LIMIT_MS', None)
            os.environ.pop('FAKE_ENCODER_MS', None)

    def command_lines(part):
        """pid -> command line of the processes whose command line holds part (Wine's show the
        Windows program's path)."""
        found = {}
        for pid in os.listdir('/proc'):
            try:
                with open('/proc/%s/cmdline' % pid, 'rb') as stream:
                    line = stream.read().replace(b'\0', b' ').replace(b'\\', b'/').decode('utf-8', 'replace')
                with open('/proc/%s/stat' % pid) as stream:
                    state = stream.read().rsplit(')', 1)[1].split()[0]
            except (OSError, IndexError):
                continue
            if part in line and state != 'Z':
                found[int(pid)] = line
        return found

    def processes_running(part):
        return sorted(command_lines(part))

    def drusel_killed_ends_its_encoders(case):
        """drusel.exe ended from outside (taskkill /F) while its encoders run, one of them hanging:
        the job it put them in ends them with it, and the next run converts every voice and leaves
        nothing beside them."""
        encoder_in_a_folder_with_a_blank(case)
        fresh_voices(case, 3)
        folder = os.path.join(case.tree('wine'), 'koewav')
        log = case.side_file('wine', 'encoder.log')
        env = dict(os.environ, FAKE_ENCODER_HANG='Z00100002.WAV', FAKE_ENCODER_MS='400', FAKE_ENCODER_ID3='1',
                   FAKE_ENCODER_LOG=s.win_path(log))
        with open(case.side_file('wine', 'out.txt'), 'wb') as out:
            proc = subprocess.Popen(['wine', os.path.join(s.WIN_BIN, 'drusel.exe'), '-j', '2'], cwd=folder,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out, env=env)
        # This case's own encoders: the locales run the same case side by side, in trees of their own.
        marker = case.side_file('wine', 'my encoder')
        def hanging_one():
            return [pid for pid, line in command_lines(marker).items() if 'Z00100002' in line]
        deadline = time.time() + 30
        while time.time() < deadline and not hanging_one():
            time.sleep(0.1)
        time.sleep(0.5)
        if not hanging_one():
            case.fail('the hanging encoder never ran: %r' % command_lines('fake_encoder'))
        subprocess.run(['wine', 'taskkill', '/F', '/IM', 'drusel.exe'], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            case.fail('drusel.exe outlived taskkill')
        deadline = time.time() + 10
        while time.time() < deadline and processes_running(marker):
            time.sleep(0.1)
        left = processes_running(marker)
        if left:
            case.fail('encoders outlived drusel.exe: %s' % left)
            for pid in left:
                os.kill(pid, 9)
        env.pop('FAKE_ENCODER_HANG')
        again = subprocess.run(['wine', os.path.join(s.WIN_BIN, 'drusel.exe')], cwd=folder,
                               stdin=subprocess.DEVNULL, capture_output=True, env=env, timeout=90)
        if again.returncode != 0:
            case.fail('the re-run ended with %d: %r' % (again.returncode, again.stderr[-300:]))
        got = s.snapshot(case.tree('wine'))
        want = hanging_encoder_tree(3, (1, 2, 3), mark=b'ID3FAKE:')
        got = {k: v for k, v in got.items() if k.startswith('koewav/')}
        if got != want:
            case.fail('after the re-run the tree is %r' % sorted(got.items()))

    def drusel_batch_encoder_and_quoted_path(case):
        """An SMX_Path naming a batch file is refused before any voice is touched: the system would run
        it through cmd.exe, which reads a voice's name such as x&echo>PWNED&.WAV as commands. A quoted
        SMX_Path (the old way round a blank in "Program Files") starts the encoder it names."""
        paths = {}
        for side in s.SIDES:
            folder = case.side_file(side, 'my encoder')
            os.makedirs(folder, exist_ok=True)
            name = 'fake_encoder' if side == 'native' else 'fake_encoder.exe'
            shutil.copy(os.path.join(s.NATIVE_BIN if side == 'native' else s.WIN_BIN, name), folder)
            with open(os.path.join(folder, 'enc.bat'), 'w') as bat:
                bat.write('@echo off\r\necho %* > called.txt\r\n')
            paths[side] = (os.path.join(folder, name), os.path.join(folder, 'enc.bat'))
            if side == 'wine':
                paths[side] = tuple(s.win_path(p) for p in paths[side])
        hostile = ['x&echo>PWNED&.WAV', 'Z00100001.WAV']
        for n, name in enumerate(hostile):
            case.write('koewav/001/' + name, b'RIFF voice %d' % n)
        case.registry(lambda side: {INMM_KEY: {'SMX_Path': paths[side][1]}})
        refusal = ('エンコーダ .* はバッチファイルです。バッチファイルでは音声の名前がコマンドとして読まれるおそれがあるため、'
                   '使えません。SMX_Pathにはエンコーダの.exeファイルを指定してください。')
        case.run('drusel', cwd='koewav', status=1, boxes=[s.Box(refusal, s.OK, 'ok', pattern=True)])
        untouched = {'koewav/': b'', 'koewav/001/': b''}
        untouched.update({'koewav/001/' + name: b'RIFF voice %d' % n for n, name in enumerate(hostile)})
        case.compare_trees(untouched)
        for side in s.SIDES:
            for left in ('PWNED', 'called.txt'):
                for folder in (case.tree(side), os.path.join(case.tree(side), 'koewav')):
                    if os.path.exists(os.path.join(folder, left)):
                        case.fail('%s: the batch file ran (%s)' % (side, left))

        os.remove(os.path.join(case.tree('native'), 'koewav', '001', hostile[0]))
        os.remove(os.path.join(case.tree('wine'), 'koewav', '001', hostile[0]))
        case.registry(lambda side: {INMM_KEY: {'SMX_Path': '"%s"' % paths[side][0]}})
        case.run('drusel', cwd='koewav', status=0,
                 normalise=lambda side, text: text.replace(paths[side][0], '<encoder>'))
        case.compare_trees({'koewav/': b'', 'koewav/001/': b'', 'koewav/001/Z00100001.WAV': b'FAKEMP3:RIFF voice 1'})

    return [drusel_batch_encoder_and_quoted_path, drusel_names_reach_the_encoder_as_they_are, drusel_progress_in_order, drusel_refuses_the_game_folder,
            drusel_finishes_an_interrupted_run, drusel_hanging_encoder,
            drusel_killed_ends_its_encoders]
