"""drusel scenarios of the Wine comparison: names that a command interpreter would interpret,
streams that must stay in order, the game folder refused and the re-run after an interrupted one.
scenarios.py passes itself to make() and runs what it returns."""
import os
import shutil


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
        case.run('drusel', cwd='koewav', status=0, normalise=hide)
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
        case.write('koewav/001/Z00100001.WAV.mp3', b'ID3 lone')
        case.write('koewav/001/Z00100002.WAV', b'\xff\xfb already')
        case.write('koewav/001/Z00100003.WAV', b'RIFF three')
        case.write('koewav/001/Z00100003.WAV.mp3', b'ID3 stale')
        case.run('drusel', cwd='koewav', status=0, normalise=s.hide_encoder_path)
        case.compare_trees({'koewav/': b'', 'koewav/001/': b'', 'koewav/001/Z00100001.WAV': b'ID3 lone',
                            'koewav/001/Z00100002.WAV': b'\xff\xfb already',
                            'koewav/001/Z00100003.WAV': b'FAKEMP3:RIFF three'})

    return [drusel_names_reach_the_encoder_as_they_are, drusel_progress_in_order, drusel_refuses_the_game_folder,
            drusel_finishes_an_interrupted_run]
