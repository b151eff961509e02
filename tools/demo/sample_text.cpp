// The sample game's own texts. This file is compiled with a Shift_JIS execution character set, so
// its strings hold the bytes a Japanese game ships; keep anything printed to a terminal out of it.
#include "tools/demo/sample_game.h"

const char SAMPLE_REGNAME[] = "VNAUDIO\\SAKURAZAKA";

// A dozen tracks in both of the engine's formats and three kinds of #DSTRACK entry. Titles with
// ソ and 表 carry the trail byte 0x5C, as many real track lists do.
const sample_track SAMPLE_TRACKS[] = {
    {"BGM01", "オープニング", TRACK_NWA, 44100, 2, 2.5, SPAN_WHOLE, 0, 0, 0},
    {"BGM02", "いつもの朝", TRACK_WAV, 22050, 2, 3.0, SPAN_WHOLE, 0, 0, 0},
    {"BGM03", "通学路", TRACK_NWA, 22050, 2, 3.5, SPAN_LOOP, 0, 0, 1.0},
    {"BGM04", "表通りの喧騒", TRACK_WAV, 22050, 2, 3.0, SPAN_CUT, 0.5, 2.75, 1.25},
    {"BGM05", "放課後", TRACK_WAV, 22050, 1, 3.0, SPAN_WHOLE, 0, 0, 0},
    {"BGM06", "夕暮れの坂道", TRACK_NWA, 44100, 2, 2.5, SPAN_LOOP, 0, 0, 0.8},
    {"BGM07", "ソフトな午後", TRACK_WAV, 22050, 2, 3.0, SPAN_CUT, 0.0, 2.5, 0.5},
    {"BGM08", "思い出", TRACK_NWA, 22050, 1, 4.0, SPAN_WHOLE, 0, 0, 0},
    {"BGM09", "緊張", TRACK_WAV, 22050, 2, 2.5, SPAN_LOOP, 0, 0, 0.4},
    {"BGM10", "雨音", TRACK_WAV, 22050, 1, 3.0, SPAN_WHOLE, 0, 0, 0},
    {"BGM11", "約束", TRACK_NWA, 22050, 2, 3.5, SPAN_CUT, 0.25, 3.25, 1.0},
    {"BGM12", "エンディング", TRACK_WAV, 44100, 2, 2.5, SPAN_LOOP, 0, 0, 1.2},
};
const unsigned SAMPLE_TRACK_COUNT = sizeof SAMPLE_TRACKS / sizeof SAMPLE_TRACKS[0];

const char SAMPLE_GAMEEXE_HEAD[] =
    ";==============================================================\n"
    ";  さくら坂の約束 体験版  GAMEEXE.INI\n"
    ";  ※ vnaudio のデモ用のサンプルです（実在のゲームではありません）\n"
    ";==============================================================\n"
    "#CAPTION = \"さくら坂の約束 体験版\"\n";

// Then the #REGNAME line, made from SAMPLE_REGNAME.
const char SAMPLE_GAMEEXE_SETTINGS[] =
    "#SEEN_START = 0001\n"
    "#SEEN_MENU = 9000\n"
    "#SAVEFILETIME = 24\n"
    "#SCREENSIZE_MOD = 0\n"
    "#WINDOW_ATTR = 000,000,064,160,000\n"
    "#FONT_SIZE = 24\n"
    "\n"
    "; ---- 音楽・音声 ----\n"
    "; BGM はファイルから再生します。表示名は #DSTRACK の二つめの文字列です。\n"
    "#BGM_MODE = 0\n"
    "#CDDA_BGM_SETUP_NEED = 1\n"
    "#CDDA_KOE_SETUP_NEED = 1\n"
    "#SYSCOM.011 = N : \"ＢＧＭ再生方法\"\n"
    "#SYSCOM.012 = N : \"音声設定\"\n"
    "\n"
    "; ---- BGM 一覧（開始 - 終了 - ループ位置、単位はサンプル）----\n";

const char SAMPLE_GAMEEXE_TAIL[] =
    "\n"
    "; ---- 効果音 ----\n"
    "#SE.000 = \"SE000\"\n"
    "#SE.001 = \"SE001\"\n"
    "#SE.002 = \"SE002\"\n";
