"""Scenarios of a run nobody watches in a console (its progress window, Cancel) and of a folder
dropped onto a program. scenarios.py passes itself to make() and runs what it returns."""
import re
import struct


def make(s):
    Box, OK, KOE_KEY, ini, koepac = s.Box, s.OK, s.KOE_KEY, s.ini, s.koepac

    def plovenak_progress_window(case):
        """Double-clicked, plovenak counts every archive's voices first and shows them in its window
        (found by its class): the bar reaches the total, and the last box says how many were written."""
        case.registry(lambda side: {KOE_KEY: {'KOE_FOLDER': 'voice'}})
        case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_koe"'))
        case.write('voice/Z001.KOE', koepac([(n, [20]) for n in range(300)], sample_rate=0, seed=10))
        case.write('voice/Z002.KOE', koepac([(n, ['silent']) for n in range(200)], sample_rate=0, seed=11))
        case.run('plovenak', status=0, double_click=True,
                 final_box=Box('展開が終わりました。500 個の音声をkoewavフォルダに書き出しました。', OK, 'ok'))
        if case.progress[-1:] != ['progress: 500 / 500 個の音声 [bar 500/500]']:
            case.fail('the progress window showed %r, expected it at 500 / 500 at the end' % case.progress)
        case.compare_trees()

    def whole_wav(data):
        """A voice written to its end: the RIFF and data sizes agree with the file's length."""
        return (len(data) >= 44 and data[:4] == b'RIFF' and struct.unpack('<I', data[4:8])[0] == len(data) - 8
                and struct.unpack('<I', data[40:44])[0] == len(data) - 44)

    def cancelled_count(case, total):
        """The number of voices the last box says were done. Where Cancel lands is the machine's
        timing, so the record that other locales' runs are compared with holds N instead."""
        found = re.search(r'([0-9]+) / %d' % total, ' '.join(case.boxes_shown))
        tool, status, out, err, boxes, calls = case.record['runs'][-1]
        case.encoder_calls = calls.count(b'\n')
        case.record['runs'][-1] = (tool, status, out, err, [re.sub(r'[0-9]+ / ', 'N / ', b) for b in boxes], b'')
        return int(found.group(1)) if found else None

    def plovenak_cancelled(case):
        """Cancel in the window stops plovenak between two voices: the folder holds whole voices only,
        as many as the last box says, and the run ends with 1."""
        case.registry(lambda side: {KOE_KEY: {'KOE_FOLDER': 'voice'}})
        case.write('GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_koe"'))
        for code in ('001', '002', '003'):
            case.write('voice/Z%s.KOE' % code, koepac([(n, [200, 200]) for n in range(1000)], sample_rate=0, seed=12))
        case.run('plovenak', status=1, double_click=True, cancel_at=20, wine_only=True, final_box=Box(
            'キャンセルしました。([0-9]+) / 3000 個の音声を展開したところで止めました。書きかけのファイルは残っていません。\n'
            '続きを展開するには、plovenakをもう一度実行してください。'
            '元に戻すには、koe_restore.regを取り込んでから（ダブルクリック）、koewavフォルダを削除してください。',
            OK, 'ok', pattern=True))
        tree = s.snapshot(case.tree('wine'))
        written = [name for name in tree if name.startswith('koewav/') and not name.endswith('/')]
        done = cancelled_count(case, 3000)
        if done != len(written) or not 20 <= len(written) < 3000:
            case.fail('the box says %s voices, the folder holds %d' % (done, len(written)))
        broken = [name for name in written if not name.endswith('.WAV') or not whole_wav(tree[name])]
        if broken:
            case.fail('not whole voices: %s' % broken[:5])

    def drusel_cancelled(case):
        """Cancel in drusel's window acts as Abort: no encoder starts after it, the running one is
        ended and its voice stays WAV like every other voice not done, no MP3 is left beside a voice,
        and the last box says how many were done."""
        case.registry(s.encoder_registry)
        voices = ['koewav/%03d/Z%03d%05d.WAV' % (f, f, n) for f in (1, 2) for n in range(30)]
        for n, name in enumerate(voices):
            case.write(name, b'RIFF voice %d' % n)
        case.run('drusel', cwd='koewav', status=1, double_click=True, cancel_at=3, wine_only=True, final_box=Box(
            'キャンセルしました。([0-9]+) / 60 個の音声を処理したところで止めました。'
            '変換中だった音声はエンコーダを止めて、WAVのまま残しました。\nもう一度実行すると、続きから変換します。',
            OK, 'ok', pattern=True))
        tree = s.snapshot(case.tree('wine'))
        converted = [name for name in voices if tree.get(name, b'').startswith(b'FAKEMP3:')]
        left = [name for name in voices if tree.get(name) == b'RIFF voice %d' % voices.index(name)]
        done = cancelled_count(case, 60)
        if done != len(converted) or not 3 <= done < 60 or len(converted) + len(left) != len(voices):
            case.fail('the box says %s voices, %d converted, %d left as WAV of %d' %
                      (done, len(converted), len(left), len(voices)))
        if case.encoder_calls not in (done, done + 1):
            case.fail('the encoder ran %d times for %s voices done' % (case.encoder_calls, done))
        if any(name.endswith('.mp3') for name in tree):
            case.fail('an MP3 was left beside its voice: %s' % sorted(n for n in tree if n.endswith('.mp3')))

    def drusel_asks_in_its_window(case):
        """Double-clicked, drusel's questions belong to its progress window; after Abort the last box
        says how many voices were settled (converted or ignored) and how to go on."""
        case.registry(s.encoder_registry)
        for n in range(1, 5):
            case.write('koewav/001/Z0010000%d.WAV' % n, b'voice %d' % n)
        case.write('koewav/002/Z00200001.WAV', b'voice of 002')
        message = '001\\Z0010000%d.WAV: scmpxを起動できないか、変換に失敗しました。'
        case.run('drusel', cwd='koewav', status=1, plan=[1, 0, 0, 7, 3], double_click=True,
                 boxes=[Box(message % 1, s.ABORT_RETRY_IGNORE, 'retry'),
                        Box(message % 3, s.ABORT_RETRY_IGNORE, 'ignore'),
                        Box(message % 4, s.ABORT_RETRY_IGNORE, 'abort')],
                 final_box=Box('変換を最後まで終えられませんでした。3 / 5 個の音声を処理しました。\n'
                               'もう一度実行すると、残りの音声を変換します。', OK, 'ok'))
        case.compare_trees()
        case.expect_file('koewav/001/Z00100004.WAV', b'voice 4')

    def dropped_folders(case):
        """Each program given its folder (a Japanese name) as its one argument does what it does when
        started there; a file, or two things, give a box and exit 1 and change nothing."""
        game = 'ゲーム表'
        case.registry(lambda side: dict({KOE_KEY: {'KOE_FOLDER': 'voice', 'BGM_FOLDER': 'BGM'}},
                                        **s.encoder_registry(side)))
        case.write(game + '/GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_koe"', '#DSTRACK = 0 - 99999999 - 0 = "t1" = "一"'))
        case.write(game + '/REALLIVE.EXE', b'MZ')
        case.write(game + '/BGM/t1.wav', s.wav_header(44100, 4000))
        case.write(game + '/voice/Z001.KOE', koepac([(1, [40]), (2, ['raw'])], sample_rate=0, seed=13))
        case.write('readme.txt', b'not a folder')
        case.run('tormel', args=['--avg32', game, 'readme.txt'], status=1,
                 boxes=[Box('tormel.exeにドロップできるのはフォルダ一つだけです。', OK, 'ok')])
        case.run('plovenak', args=['readme.txt'], status=1,
                 boxes=[Box('readme.txtはフォルダではありません。ファイルではなくフォルダをドロップしてください。', OK, 'ok')])
        before = case.compare_trees()
        case.run('tormel', args=[game], status=0, boxes=[Box('成功しました。', OK, 'ok')])
        case.run('plovenak', args=[game], status=0)
        case.run('drusel', args=[game + '\\koewav'], status=0, normalise=s.hide_encoder_path)
        tree = case.compare_trees()
        wanted = {game + '/GAMEEXE.org', game + '/_inmm.ini', game + '/koe_restore.reg',
                  game + '/koewav/001/Z00100001.WAV', game + '/koewav/001/Z00100002.WAV'}
        if not wanted <= set(tree) or set(before) - set(tree) - {game + '/GAMEEXE.INI'}:
            case.fail('the runs did not work in the dropped folders: %s' % sorted(tree))
        if not tree.get(game + '/koewav/001/Z00100001.WAV', b'').startswith(b'FAKEMP3:'):
            case.fail('drusel did not convert the voices of the dropped koewav')

    def dropped_folder_without_cp932(case):
        """A folder whose name CP932 cannot hold, dropped: a box that says so, exit 1 (Windows only: the
        name must not become a look-alike that names another folder)."""
        case.write('Spielä/GAMEEXE.INI', ini('#REGNAME = "vnaudio_wine_koe"'))
        case.run('plovenak', args=['Spielä'], status=1, wine_only=True, boxes=[Box(
            'Spiel?\nこの名前にはCP932（日本語の文字コード）で表せない文字があるため、ここでは実行できません。'
            'フォルダの名前を変えてから、もう一度ドロップしてください。', OK, 'ok')])

    return [plovenak_progress_window, plovenak_cancelled, drusel_cancelled, drusel_asks_in_its_window, dropped_folders,
            dropped_folder_without_cp932]
