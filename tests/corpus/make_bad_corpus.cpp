// Writes tests/corpus/bad/: damaged voice archives, GAMEEXE.INI files, music headers and registry
// stores, each beside the outcome it must have (NAME.expected: "exit N" and then the exact
// standard error; NAME.out and NAME.table: the new GAMEEXE.INI and _inmm.ini of a run that
// handles its input). The outcomes are written here by hand, not taken from a run. The files are
// kept in the repository; run this after changing a case: make_bad_corpus <source folder>.
//
// How test_bad_corpus runs each kind of file:
//   archive-*.KOE   as voice\Z001.KOE of a game whose KOE_FOLDER is "voice", with plovenak;
//   ini-ENGINE-*    as GAMEEXE.INI of a game with BGM\t.wav and BGM\t.nwa (60 s of 44.1 kHz
//                   stereo) whose key Software\Corpus names the music folder "BGM", with tormel
//                   --ENGINE;
//   music-ENGINE-*  as BGM\m.nwa or BGM\m.wav of that game, whose GAMEEXE.INI holds one track
//                   "#DSTRACK = 0 - 44100 - 0" of m, with tormel --ENGINE;
//   store-*.reg     as the registry store of the archives' game, with plovenak ("<store>" in the
//                   expected text stands for the store's path).
#include <cstdio>
#include <string>
#include <vector>

#include "tests/configurator_support.h"
#include "tools/koepac/koepac_writer.h"

namespace {

std::string bad;   // the corpus folder
int cases = 0;

void add_case(const std::string& name, const std::string& bytes, int status, const std::string& err,
              const std::string* out = nullptr, const std::string* table = nullptr) {
    write_file(bad + "/" + name, bytes);
    write_file(bad + "/" + name + ".expected", "exit " + std::to_string(status) + "\n" + err);
    if (out) write_file(bad + "/" + name + ".out", *out);
    if (table) write_file(bad + "/" + name + ".table", *table);
    ++cases;
}

std::string u32(uint32_t v) {
    std::string s;
    put_u32(s, v);
    return s;
}

std::string u16(unsigned v) {
    std::string s;
    put_u16(s, v);
    return s;
}

// ---- archives ----

const std::string ARCHIVE = "plovenak.exe: voice\\Z001.KOE";
const std::string NOTHING = "\n何も変更していません。\n";
const std::string NOT_KOE = ARCHIVE + "はKOE形式ではないようです。" + NOTHING;
const std::string CUT = ARCHIVE + "は壊れています。ファイルが途中で切れています。" + NOTHING;

std::string index_too_big(long count) {
    return ARCHIVE + "は壊れています。索引の項目数" + std::to_string(count) + "がファイルに収まりません。" + NOTHING;
}

std::string voice_outside(const char* id) {
    return ARCHIVE + "は壊れています。音声" + id + "のデータがファイルに収まりません。" + NOTHING;
}

// A voice whose blocks run past the end while its size table is inside: passed over, the others written.
std::string voice_skipped(const char* id) {
    return std::string("voice\\Z001.KOE: 音声") + id + "のデータがファイルに収まりません。この音声は飛ばします。\n" +
           "plovenak.exe: データが壊れている音声1個を飛ばしました（最初はvoice\\Z001.KOEの音声" + id +
           "）。ほかの音声1個はすべて書き出してあり、ゲームはkoewavフォルダから音声を読みます。\n";
}

koe_voice_data voice_of(uint16_t id, const std::vector<koe_block>& blocks) {
    koe_voice_data v;
    std::string error;
    if (!pack_blocks(id, blocks, &v, &error)) fprintf(stderr, "voice %u: %s\n", id, error.c_str());
    return v;
}

// Two voices: 00001 a coded block (with escapes) and a silent one, 00002 a raw block. Layout:
// header 0-31, index 32-47, voice 1 at 48 (sizes 48-51, coded block from 52), voice 2 after it.
std::string base_archive() {
    std::vector<uint8_t> coded, raw(1024);
    for (int k = 0; k < 40; ++k) coded.push_back(static_cast<uint8_t>(k % 2 ? 128 + 3 * k : 128 - 2 * k));
    for (size_t k = 0; k < raw.size(); ++k) raw[k] = static_cast<uint8_t>(k * 7 + 3);
    return build_koepac({voice_of(1, {{KOE_BLOCK_CODED, coded, false}, {KOE_BLOCK_SILENT, {}, false}}),
                         voice_of(2, {{KOE_BLOCK_RAW, raw, false}})},
                        11025);
}

void archive_cases() {
    const std::string a = base_archive();
    const size_t voice1 = 48;
    const size_t coded_size = static_cast<uint8_t>(a[voice1]) | static_cast<uint8_t>(a[voice1 + 1]) << 8;
    const size_t voice2 = voice1 + 4 + coded_size;
    if (a.size() != voice2 + 2 + 1024) fprintf(stderr, "the base archive's layout changed\n");

    // Truncated at every boundary of its structure, and one byte before the end.
    add_case("archive-empty.KOE", "", 1, NOT_KOE);
    add_case("archive-cut-in-magic.KOE", a.substr(0, 6), 1, NOT_KOE);
    add_case("archive-cut-after-magic.KOE", a.substr(0, 7), 1, CUT);
    add_case("archive-cut-before-count.KOE", a.substr(0, 16), 1, CUT);
    add_case("archive-cut-before-rate.KOE", a.substr(0, 24), 1, CUT);
    add_case("archive-cut-in-header.KOE", a.substr(0, 31), 1, CUT);
    add_case("archive-cut-after-header.KOE", a.substr(0, 32), 1, index_too_big(2));
    add_case("archive-cut-in-first-entry.KOE", a.substr(0, 36), 1, index_too_big(2));
    add_case("archive-cut-after-first-entry.KOE", a.substr(0, 40), 1, index_too_big(2));
    add_case("archive-cut-after-index.KOE", a.substr(0, 48), 1, voice_outside("00001"));
    add_case("archive-cut-in-size-table.KOE", a.substr(0, 50), 1, voice_outside("00001"));
    add_case("archive-cut-after-size-table.KOE", a.substr(0, 52), 1, voice_outside("00002"));
    add_case("archive-cut-in-coded-block.KOE", a.substr(0, 52 + coded_size / 2), 1, voice_outside("00002"));
    add_case("archive-cut-after-first-voice.KOE", a.substr(0, voice2), 1, voice_outside("00002"));
    add_case("archive-cut-in-raw-block.KOE", a.substr(0, voice2 + 2 + 512), 1, voice_skipped("00002"));
    add_case("archive-cut-one-byte-short.KOE", a.substr(0, a.size() - 1), 1, voice_skipped("00002"));

    // Absurd counts and offsets.
    auto with = [&](size_t at, const std::string& bytes) {
        std::string b = a;
        b.replace(at, bytes.size(), bytes);
        return b;
    };
    add_case("archive-count-negative.KOE", with(16, u32(0xFFFFFFFF)), 1, index_too_big(-1));
    add_case("archive-count-most-negative.KOE", with(16, u32(0x80000000)), 1, index_too_big(-2147483648L));
    add_case("archive-count-huge.KOE", with(16, u32(0x7FFFFFFF)), 1,
             ARCHIVE + "は壊れています。索引の項目数2147483647は65536を超えています。" + NOTHING);
    // One entry too many: the first bytes of voice 1's data are read as a third entry, whose
    // offset (the coded block's first four bytes) lies far beyond the file.
    {
        unsigned id = static_cast<uint8_t>(a[48]) | static_cast<uint8_t>(a[49]) << 8;
        uint32_t offset = 0;
        for (int k = 3; k >= 0; --k) offset = offset << 8 | static_cast<uint8_t>(a[52 + k]);
        if (offset < a.size()) fprintf(stderr, "the third entry's offset lies inside the file\n");
        char five[8];
        snprintf(five, sizeof five, "%05u", id);
        add_case("archive-count-one-too-many.KOE", with(16, u32(3)), 1, voice_outside(five));
    }
    add_case("archive-offset-beyond-end.KOE", with(32 + 4, u32(0xFFFFFFFF)), 1, voice_outside("00001"));
    add_case("archive-offset-beyond-long.KOE", with(40 + 4, u32(0x80000000)), 1, voice_outside("00002"));
    add_case("archive-offset-at-end.KOE", with(40 + 4, u32(static_cast<uint32_t>(a.size()))), 1, voice_outside("00002"));
    add_case("archive-block-count-huge.KOE", with(32 + 2, u16(65535)), 1, voice_outside("00001"));
    add_case("archive-block-size-huge.KOE", with(voice1 + 2, u16(0xFFFF)), 1, voice_skipped("00001"));
    // The size table read from the header: "KO" is a block of 0x4F4B bytes, beyond the file.
    add_case("archive-offset-into-header.KOE", with(32 + 4, u32(0)), 1, voice_skipped("00001"));

    // Two voices of one id: the later is written, with a notice and a box at the end.
    add_case("archive-same-id-twice.KOE", with(40, u16(1)), 0,
             "voice\\Z001.KOE: 音声00001が索引に二度あります。後の項目の音声を書き出します。\n" + ARCHIVE.substr(0, 14) +
                 "音声をすべて書き出しました。ただし、索引に二度ある音声番号が1個ありました（最初はvoice\\Z001.KOEの音声00001）。"
                 "それぞれ後の項目の音声を書き出しています。\n");

    // Not archives at all, though close.
    add_case("archive-magic-lower-case.KOE", with(0, "koepac"), 1, NOT_KOE);
    add_case("archive-magic-without-terminator.KOE", with(6, "X"), 1, NOT_KOE);
    add_case("archive-wav-file.KOE", pcm_wav(22050, 1, 0), 1, NOT_KOE);

    // Odd but whole: handled, every voice written (the test checks the WAVs).
    add_case("archive-rate-zero.KOE", with(24, u32(0)), 0, "");
    add_case("archive-no-entries.KOE", build_koepac({}, 0), 0, "");
    add_case("archive-trailing-bytes.KOE", a + std::string(100, '\xEE'), 0, "");
    std::string sharing = a.substr(32, 8);
    sharing.replace(0, 2, u16(2));
    add_case("archive-voices-sharing-data.KOE", with(40, sharing), 0, "");
    add_case("archive-block-count-zero.KOE", with(32 + 2, u16(0)), 0, "");
}

// ---- GAMEEXE.INI ----

const std::string REGNAME = "#REGNAME = \"Corpus\"\r\n";
const std::string SUCCESS = "tormel.exe: 成功しました。\n";
const std::string NO_REGNAME = "tormel.exe: BGMフォルダ名の取得に失敗:\nGAMEEXE.INIに項目#REGNAMEが見つかりません。\n";

const std::string NO_ENTRIES = "tormel.exe: GAMEEXE.INIに#DSTRACKの行がありません。変更はしていません。\n";

// A file without a track entry is refused whole, before the music folder is looked up: a run
// would have nothing to convert (the rules for its other lines are seen in the files with entries).
void ini_case(const std::string& name, const std::string& in, const std::string& out, const std::string& table,
              const std::string& err = SUCCESS) {
    if (table.empty())
        add_case(name, in, 1, NO_ENTRIES);
    else
        add_case(name, in, 0, err, &out, &table);
}

void gameexe_cases() {
    ini_case("ini-avg32-empty.INI", "", "", "", NO_REGNAME + SUCCESS);
    ini_case("ini-avg32-regname-only-no-line-end.INI", "#REGNAME = \"Corpus\"", "#REGNAME = \"Corpus\"", "");

    // Missing line ends: a rule writes its own; a RealLive entry gets one before its "#CDTRACK".
    ini_case("ini-avg32-no-line-end.INI", REGNAME + "#MUSIC_TYPE = 0", REGNAME + "#MUSIC_TYPE = 003\r\n", "");
    ini_case("ini-reallive-no-line-end.INI", REGNAME + "#DSTRACK = 0 - 99999999 - 0 = \"t\" = \"T\"",
             REGNAME + "#DSTRACK = 0 - 99999999 - 0 = \"t\" = \"T\"\r\n"
                       "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"T\"\r\n",
             "BGM\\t.wav\r\n");
    ini_case("ini-reallive-missing-closing-quotes.INI",
             REGNAME + "#SYSCOM.011 = N : \"text\r\n#DSTRACK = 0 - 99999999 - 0 = \"t\" = \"T\r\n",
             REGNAME + "#SYSCOM.011 = U:\"text\r\n\"\r\n#DSTRACK = 0 - 99999999 - 0 = \"t\" = \"T\r\n"
                       "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"T\r\n\"\r\n",
             "BGM\\t.wav\r\n");

    // Overlong lines arrive in pieces of 1023 bytes, each a line of its own.
    std::string comment = "; " + std::string(3000, 'c') + "\r\n";
    std::string filler(1023, 'x');
    ini_case("ini-reallive-overlong-lines.INI", REGNAME + comment + filler + "#BGM_MODE = 0\r\n",
             REGNAME + comment + filler + "#BGM_MODE = 1\r\n", "");

    // Overlong names and texts do not fit a rule and pass unchanged; the longest that fit are used.
    std::string name63(63, 'n'), name64(64, 'n'), text255(255, 's'), text256(256, 's');
    ini_case("ini-reallive-overlong-names.INI",
             REGNAME + "#DSTRACK = 0 - 99999999 - 0 = \"" + name64 + "\" = \"T\"\r\n" +
                 "#DSTRACK = 0 - 99999999 - 0 = \"t\" = \"" + name64 + "\"\r\n" +
                 "#DSTRACK = 0 - 99999999 - 0 = \"" + name63 + "\" = \"" + name63 + "\"\r\n" +
                 "#SYSCOM.011 = N : \"" + text256 + "\"\r\n#SYSCOM.011 = N : \"" + text255 + "\"\r\n",
             REGNAME + "#DSTRACK = 0 - 99999999 - 0 = \"" + name64 + "\" = \"T\"\r\n" +
                 "#DSTRACK = 0 - 99999999 - 0 = \"t\" = \"" + name64 + "\"\r\n" +
                 "#DSTRACK = 0 - 99999999 - 0 = \"" + name63 + "\" = \"" + name63 + "\"\r\n" +
                 "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"" + name63 + "\"\r\n" +
                 "#SYSCOM.011 = N : \"" + text256 + "\"\r\n#SYSCOM.011 = U:\"" + text255 + "\"\r\n",
             "BGM\\" + name63 + ".wav\r\n");
    // A registry name too long for its buffer does not fit; the next "#REGNAME" line is read.
    ini_case("ini-avg32-overlong-regname.INI", "#REGNAME = \"" + std::string(300, 'r') + "\"\r\n" + REGNAME,
             "#REGNAME = \"" + std::string(300, 'r') + "\"\r\n" + REGNAME, "");
    // One that fits its buffer but not the key path's.
    std::string name250(250, 'r');
    ini_case("ini-avg32-regname-too-long-for-a-key.INI", "#REGNAME = \"" + name250 + "\"\r\n",
             "#REGNAME = \"" + name250 + "\"\r\n", "",
             "tormel.exe: BGMフォルダ名の取得に失敗:\nレジストリ HKEY_CURRENT_USER\\Software\\" + name250 +
                 " を開けません。\n" + SUCCESS);

    // Bytes that are no CP932 text pass unchanged, in comments and in names alike.
    ini_case("ini-avg32-non-cp932.INI",
             REGNAME + "; \x80\xA0\xFD\xFE\xFF\r\n; lead byte at the end \x81\r\n"
                       "#DSTRACK = 0 - 99999999 - 0 = \"t\" = \"\xFF\x81\"\r\n",
             REGNAME + "; \x80\xA0\xFD\xFE\xFF\r\n; lead byte at the end \x81\r\n"
                       "#CDTRACK = 02:00:00:00 - 02:01:00:00 - 02:00:00:00 = \"\xFF\x81\"\r\n",
             "BGM\\t.wav\r\n");

    // A settings file holds no NUL byte: one that does (a crash pads the file with them) is refused
    // before anything is written, wherever the NUL stands.
    const std::string NUL_REFUSED = "tormel.exe: GAMEEXE.INIにNULバイトがあり、設定ファイルとして読めません。変更はしていません。\n"
                                    "GAMEEXE.INIをゲームの元のファイルに戻してから実行してください。\n";
    const char nul_lines[] = "; a\0b\r\n#BGM_MODE = \0 1\r\n#DSTRACK = 0 - 99999999 - 0 = \"t\0x\" = \"T\"\r\n";
    add_case("ini-reallive-nul-bytes.INI", REGNAME + std::string(nul_lines, sizeof nul_lines - 1), 1, NUL_REFUSED);
    add_case("ini-reallive-nul-padded.INI",
             REGNAME + "#DSTRACK = 0 - 99999999 - 0 = \"t\" = \"T\"\r\n" + std::string(5000, '\0'), 1, NUL_REFUSED);
    // A registry name that cannot make a key path is said to be too long; the tracks go to "BGM".
    const std::string long_in = "#REGNAME = \"" + std::string(247, 'r') + "\"\r\n#DSTRACK = 0 - 99999999 - 0 = \"t\" = \"T\"\r\n";
    const std::string long_out = long_in + "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"T\"\r\n";
    const std::string long_table = "BGM\\t.wav\r\n";
    add_case("ini-reallive-regname-too-long.INI", long_in, 0,
             "tormel.exe: BGMフォルダ名の取得に失敗:\nGAMEEXE.INIの#REGNAMEが長すぎます(247バイト)。"
             "レジストリのキー名にできるのは246バイトまでです。\n" + SUCCESS,
             &long_out, &long_table);

    // Numbers: beyond 32 bits a position does not fit; a setting's number may have any length.
    ini_case("ini-reallive-numbers-beyond-32-bits.INI",
             REGNAME + "#DSTRACK = 4294967296 - 99999999 - 0 = \"t\" = \"T\"\r\n#BGM_MODE = 99999999999999999999\r\n",
             REGNAME + "#DSTRACK = 4294967296 - 99999999 - 0 = \"t\" = \"T\"\r\n#BGM_MODE = 1\r\n", "");
    ini_case("ini-avg32-negative-positions.INI", REGNAME + "#DSTRACK = -44100 - 176400 - -1 = \"t\" = \"T\"\r\n",
             REGNAME + "#CDTRACK = 02:00:00:-18 - 02:00:01:00 - 02:00:00:00 = \"T\"\r\n", "BGM\\t.wav\r\n");
    ini_case("ini-reallive-empty-and-wrong-fields.INI",
             REGNAME + "#DSTRACK = 0 - 99999999 - 0 = \"\" = \"T\"\r\n#DSTRACK = 0 - 99999999 = \"t\" = \"T\"\r\n"
                       "#SYSCOM.011 = N : \"\"\r\n#CDDA_ABCD_SETUP_NEED = 1\r\n#CDDA_AB_SETUP_NEED = 1\r\n"
                       "#BGM_MODE = x\r\n #BGM_MODE = 0\r\n",
             REGNAME + "#DSTRACK = 0 - 99999999 - 0 = \"\" = \"T\"\r\n#DSTRACK = 0 - 99999999 = \"t\" = \"T\"\r\n"
                       "#SYSCOM.011 = N : \"\"\r\n#CDDA_ABCD_SETUP_NEED = 1\r\n#CDDA_AB_SETUP_NEED = 1\r\n"
                       "#BGM_MODE = x\r\n #BGM_MODE = 0\r\n",
             "");

    // Text-stream bytes: a lone CR stays, a bare LF is read as a line end (and written as CR LF),
    // and 0x1A ends the text.
    ini_case("ini-reallive-control-bytes.INI", REGNAME + "a\rb\r\nbare\n#BGM_MODE = 0\r\n\x1a#BGM_MODE = 0\r\n",
             REGNAME + "a\rb\r\nbare\r\n#BGM_MODE = 1\r\n", "");

    // A track name that leaves the music folder finds no file: asked about, then (no answer) Abort;
// the terminal box ends the question's line when the input has ended.
    add_case("ini-avg32-track-outside-the-folder.INI",
             REGNAME + "#DSTRACK = 0 - 99999999 - 0 = \"..\\..\\no such track\" = \"T\"\r\n", 1,
             "tormel.exe: BGM\\..\\..\\no such track.wavのオープンに失敗しました。\n[a]bort, [r]etry, [i]gnore? \n");
}

// ---- music headers ----

const std::string WAV_REFUSED = "tormel.exe: BGM\\m.wavは無圧縮WAVE形式ではありません。\n";
const std::string NWA_REFUSED = "tormel.exe: BGM\\m.nwaは不正な、または未対応の形式のnwaファイルです。\n"
                                "tormel.exe: BGM\\m.wavのオープンに失敗しました。\n[a]bort, [r]etry, [i]gnore? \n";
const std::string MUSIC_INI = REGNAME + "#DSTRACK = 0 - 44100 - 0 = \"m\" = \"M\"\r\n";

void music_handled(const std::string& name, const std::string& bytes, const std::string& cd_line) {
    std::string out = name.find("reallive") != std::string::npos
                          ? REGNAME + "#DSTRACK = 0 - 44100 - 0 = \"m\" = \"M\"\r\n" + cd_line
                          : REGNAME + cd_line;
    std::string table = "BGM\\m.wav\r\n";
    add_case(name, bytes, 0, SUCCESS, &out, &table);
}

void music_cases() {
    std::string wav = pcm_wav(44100, 2, 176400 * 60);
    // Truncated at each of the header's boundaries.
    for (size_t cut : {0, 12, 16, 20, 24, 36, 40, 43})
        add_case("music-avg32-cut-at-" + std::to_string(cut) + ".wav", wav.substr(0, cut), 1, WAV_REFUSED);
    wav_fields w;
    w.byte_rate = 0;
    add_case("music-avg32-zero-byte-rate.wav", wav_header(w), 1, WAV_REFUSED);
    w = wav_fields();
    w.byte_rate = 0x80000000u;
    add_case("music-avg32-byte-rate-beyond-31-bits.wav", wav_header(w), 1, WAV_REFUSED);
    w = wav_fields();
    w.sample_rate = 0;
    add_case("music-reallive-zero-sample-rate.wav", wav_header(w), 1, WAV_REFUSED);
    w = wav_fields();
    w.block_align = 0;
    add_case("music-reallive-zero-block-align.wav", wav_header(w), 1, WAV_REFUSED);
    w = wav_fields();
    w.tag = 3;
    add_case("music-avg32-float-samples.wav", wav_header(w), 1, WAV_REFUSED);
    // An 18-byte fmt chunk and a chunk before "data" move "data" from its place.
    std::string longer = wav;
    longer.replace(16, 4, u32(18));
    longer.insert(36, std::string(2, '\0'));
    add_case("music-avg32-long-fmt-chunk.wav", longer, 1, WAV_REFUSED);
    std::string listed = wav.substr(0, 36) + "LIST" + u32(4) + "INFO" + wav.substr(36);
    add_case("music-reallive-chunk-before-data.wav", listed, 1, WAV_REFUSED);
    // Channels, bits and identifiers are not looked at; a zero block align does not matter to
    // AVG32; a data size beyond 31 bits is taken as the largest length.
    w = wav_fields();
    w.channels = 0;
    w.bits = 0;
    w.block_align = 0;
    w.data_size = 176400 * 60;
    std::string odd = wav_header(w);
    odd.replace(0, 4, "RIFX");
    odd.replace(8, 4, "WAVX");
    music_handled("music-avg32-unchecked-fields.wav", odd,
                  "#CDTRACK = 02:00:00:00 - 02:00:00:18 - 02:00:00:00 = \"M\"\r\n");
    w = wav_fields();
    w.data_size = 0xFFFFFFFFu;
    music_handled("music-reallive-data-size-beyond-31-bits.wav", wav_header(w),
                  "#CDTRACK = 02:00:00:00 - 02:00:01:00 - 02:00:00:00 = \"M\"\r\n");

    std::string nwa = nwa_of_frames(44100, 2, 44100 * 60);
    for (size_t cut : {0, 4, 28, 43})
        add_case("music-reallive-cut-at-" + std::to_string(cut) + ".nwa", nwa.substr(0, cut), 1, NWA_REFUSED);
    nwa_fields n = valid_nwa(0, 44100, 3, 512, 100);
    add_case("music-reallive-zero-channels.nwa", nwa_header(n), 1, NWA_REFUSED);
    n = valid_nwa(2, 0, 3, 512, 100);
    add_case("music-reallive-zero-rate.nwa", nwa_header(n), 1, NWA_REFUSED);
    n = valid_nwa(2, 0x80000000u, 3, 512, 100);
    add_case("music-reallive-rate-beyond-31-bits.nwa", nwa_header(n), 1, NWA_REFUSED);
    n = valid_nwa(2, 44100, 3, 512, 100);
    n.data_size += 1;
    add_case("music-reallive-data-size-mismatch.nwa", nwa_header(n), 1, NWA_REFUSED);
    n = valid_nwa(2, 44100, 3, 512, 100);
    n.blocks = 4;
    add_case("music-reallive-block-count-mismatch.nwa", nwa_header(n), 1, NWA_REFUSED);
    // Both checks in 32-bit arithmetic: a block count of 0 wraps around and can still add up.
    n = valid_nwa(2, 44100, 1, 0, 88200);
    n.blocks = 0;
    n.block_samples = 1;
    n.last_samples = 88201;
    music_handled("music-reallive-block-count-zero-wrapping.nwa", nwa_header(n),
                  "#CDTRACK = 02:00:00:00 - 02:00:01:00 - 02:00:00:00 = \"M\"\r\n");
}

// ---- registry stores ----

const std::string KEY_REFUSED = "plovenak.exe: レジストリ Software\\Vendor\\Game を開けません。\n";

void store_cases() {
    const std::string key = "[HKEY_CURRENT_USER\\Software\\Vendor\\Game]\r\n";
    auto not_understood = [](int line, const char* why) {
        return "<store>:" + std::to_string(line) + ": registry store not understood: " + why + "\n" + KEY_REFUSED;
    };
    add_case("store-no-signature.reg", key + "\"KOE_FOLDER\"=\"voice\"\r\n", 1,
             not_understood(1, "the first line is not REGEDIT4"));
    add_case("store-unterminated-quote.reg", "REGEDIT4\r\n" + key + "\"KOE_FOLDER\"=\"voice\r\n", 1,
             not_understood(3, "unterminated quote"));
    add_case("store-key-without-bracket.reg", "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\Game\r\n", 1,
             not_understood(2, "key line without ]"));
    add_case("store-value-outside-a-key.reg", "REGEDIT4\r\n\"KOE_FOLDER\"=\"voice\"\r\n", 1,
             not_understood(2, "value line outside any key"));
    add_case("store-hex-goes-on-past-the-end.reg", "REGEDIT4\r\n" + key + "\"KOE_FOLDER\"=hex(1):76,\\\r\n", 1,
             not_understood(3, "hex value goes on past the end"));
    add_case("store-bad-hex-byte.reg", "REGEDIT4\r\n" + key + "\"KOE_FOLDER\"=hex(1):7g,00\r\n", 1,
             not_understood(3, "bad hex byte"));
    add_case("store-nul-in-signature.reg", std::string("REGEDIT4\0\r\n", 11) + key, 1,
             not_understood(1, "the first line is not REGEDIT4"));
    add_case("store-koe-folder-too-long.reg", "REGEDIT4\r\n" + key + "\"KOE_FOLDER\"=\"" + std::string(300, 'v') + "\"\r\n",
             1, "plovenak.exe: Software\\Vendor\\Game\\KOE_FOLDER を読めません。\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_bad_corpus <source folder>\n");
        return 2;
    }
    bad = std::string(argv[1]) + "/tests/corpus/bad";
    make_dirs(bad);
    archive_cases();
    gameexe_cases();
    music_cases();
    store_cases();
    printf("%d cases in %s\n", cases, bad.c_str());
    return 0;
}
