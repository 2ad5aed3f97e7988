// The string table as the program loads it, from its resources linked in:
// every text in both languages, Japanese in code page 932 byte for byte.
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "support/messages.h"
#include "support/exhaust_memory.h"

static const LANGID JAPANESE = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), ENGLISH = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

static const struct { UINT id; const char *ja, *en; } TEXTS[] = {   // compiled to CP932
    {400, "Version 8",
     "Version 8"},
    {401, "About vanta",
     "About vanta"},
    {402, "vanta",
     "vanta"},
    {403, "vantaclass",
     "vantaclass"},
    {404, "IDM_MENU",
     "IDM_MENU"},
    {405, "IDD_DIALOG",
     "IDD_DIALOG"},
    {406, "フォルダ",
     "Folder"},
    {407, "フォルダ名が指定されていません。",
     "No folder name was given."},
    {408, "フォルダを作成できません。",
     "The folder cannot be created."},
    {409, "フォルダを削除できません。",
     "The folder cannot be deleted."},
    {410, "すでに開始しています。",
     "The erase has already started."},
    {411, "中断しています...",
     "Aborting..."},
    {412, "中断しました。",
     "Aborted."},
    {413, "フォルダがすでに存在します。処理を続ける場合\r\nこのフォルダにあるファイルは削除されます。\r\n処理終了後もこのフォルダは残ります。",
     "The folder already exists. If you continue,\r\nthe files in this folder will be deleted.\r\n"
      "The folder stays after the erase has ended."},
    {414, "step %d of %d: %s",
     "step %d of %d: %s"},
    {415, "ディスクの未使用領域を消去します。消去方法とフォルダを指定してください。",
     "Erases the unused space of a disk. Choose an erase method and a folder."},
    {416, "消去が終了しました。",
     "The erase has finished."},
    {417, "処理を続けますか？",
     "Do you want to continue?"},
    {418, "手順ファイル %s に手順数の行がありません。",
     "The step script %s has no line with the number of steps."},
    {419, "手順ファイル %s の手順は %d 個で、手順数 %d に足りません。",
     "The step script %s has %d steps, fewer than its step count of %d."},
    {420, "%s は別の場所を指すリンク（ジャンクションまたはシンボリックリンク）です。リンク先のファイルを消さないよう、このフォルダは使いません。",
     "%s is a link (a junction or a symbolic link) to another place. So that no file where it leads is deleted, this folder is not used."},
    {421, "作業ファイルを削除しています...",
     "Deleting the work files..."},
    {422, "ほかに %d 件のエラーがあります。",
     "%d more error(s)."},
    {423, "このボリュームは書き込んだパターンを実際より小さく保存するため（圧縮または重複除去）、このパターンでは空き領域を埋められません。乱数（random）の消去方法を使ってください。",
     "This volume stores the written pattern in less space than it takes (compression or deduplication), so this pattern cannot fill its free space. Use an erase method with random data (random)."},
    {424, "残り約 %s",
     "About %s left"},
    {425, "%u 秒",
     "%u s"},
    {426, "%u 分",
     "%u min"},
    {427, "%u 分 %u 秒",
     "%u min %u s"},
    {428, "%u 時間 %u 分",
     "%u h %u min"},
    {429, "上書き %s バイト（%d 回）、所要時間 %s",
     "Overwrote %s bytes (passes: %d), time taken %s"},
    {430, "上書き %s バイト（%d 回）、検証 %s バイト、所要時間 %s",
     "Overwrote %s bytes (passes: %d), verified %s bytes, time taken %s"},
    {431, "このアカウントが書き込めない空き領域 %s バイト（ディスク クォータ、または管理者やシステム用の予約領域）は消去されていません。",
     "%s bytes of free space that this account cannot write (a disk quota, or space reserved for administrators or the system) were not erased."},
    {432, "手順ファイル %s の 1 行目（%s）からは実行する手順がありません。手順数を 1 以上の数にしてください。",
     "Line 1 of the step script %s (%s) gives no steps to run. Make the step count a number of 1 or more."},
    {433, "手順ファイル %s の %d 行目の語「%s」は、数値、カンマで区切った数値、random、dod のどれでもありません。\r\n"
      "このまま続けると、この語はバイト 0x%02X として扱われます。続けますか？",
     "In the step script %s, line %d, the word \"%s\" is not a number, a list of numbers separated by commas, random or dod.\r\n"
      "If you continue, the word is taken as the byte 0x%02X. Do you want to continue?"},
    {434, "手順ファイル %s の %d 行目の語「%s」を読めないため、消去を始めませんでした。",
     "In the step script %s, line %d, the word \"%s\" cannot be read, so the erase was not started."},
    {435, "使い方: vanta.exe [フォルダ] [/method:N] [/start] [/exit] [/yes] [/skip] [/resume] [/report:ファイル]\r\n\r\n"
      "フォルダ\t消去するボリューム上のフォルダ\r\n/method:N\t消去方法 N を選ぶ\r\n/start\tすぐに消去を始める\r\n"
      "/exit\t消去が終わったら終了し、結果を終了コードで返す（/start と合わせると、メッセージ ボックスを出さずに実行する）\r\n"
      "/yes\t既存の作業フォルダ $VANTA$$ を確認せずに使う\r\n/skip\t無人の実行で、読めないセクタを飛ばして検証を続ける\r\n"
      "/resume\t無人の実行で、中断された前回の実行をその手順から続ける\r\n/report:ファイル\t実行の記録をファイル（CSV、UTF-8）に追加する\r\n\r\n"
      "終了コード: 0 成功、1 コマンドラインの誤りかフォルダの指定がない、2 消去方法を実行できない、3 途中で失敗、4 検証で違うバイトを検出、5 中断、6 フォルダを使えない",
     "Usage: vanta.exe [folder] [/method:N] [/start] [/exit] [/yes] [/skip] [/resume] [/report:file]\r\n"
      "\r\nfolder\tA folder on the volume to erase\r\n/method:N\tChooses erase method N\r\n"
      "/start\tStarts the erase at once\r\n"
      "/exit\tExits when the erase has ended and returns its result as the exit code (with /start, runs without any message box)\r\n"
      "/yes\tUses an existing work folder $VANTA$$ without asking\r\n"
      "/skip\tIn an unattended run, skips unreadable sectors and goes on verifying\r\n"
      "/resume\tIn an unattended run, continues an interrupted earlier run from its step\r\n"
      "/report:file\tAppends the run's record to the file (CSV, UTF-8)\r\n\r\n"
      "Exit codes: 0 success, 1 wrong command line or no folder, 2 the erase method cannot run, 3 failed on the way, 4 the verify found differing bytes, 5 aborted, 6 the folder cannot be used"},
    {436, "コマンドラインの %s は vanta のスイッチではありません。使い方は vanta.exe /? で確認できます。",
     "%s on the command line is not a vanta switch. Run vanta.exe /? to see how to use it."},
    {437, "消去方法 %s はありません。",
     "There is no erase method %s."},
    {438, "/start には消去するフォルダの指定が必要です。",
     "/start needs the folder to erase."},
    {439, "記録ファイル %s に書き込めません: ",
     "Cannot write to the report file %s: "},
    {440, "フォルダが 2 つ指定されています: %s と %s",
     "Two folders were given: %s and %s"},
    {441, "%s の作業ファイルから読めるデータがないため、何も検証できませんでした。",
     "The work files in %s have no data that can be read, so nothing could be verified."},
    {442, "手順ファイル %s の %d 行目「%s」の「%s」は、手順名 erase、verify、erase,verify のどれでもありません。\r\n"
      "このまま続けると、この行は「%s」として実行されます。続けますか？",
     "In the step script %s, line %d (\"%s\"), \"%s\" is none of the step names erase, verify and erase,verify.\r\n"
      "If you continue, the line runs as \"%s\". Do you want to continue?"},
    {443, "手順ファイル %s の %d 行目「%s」を手順として読めないため、消去を始めませんでした。",
     "In the step script %s, line %d (\"%s\") cannot be read as a step, so the erase was not started."},
    {444, "%s: 読めないセクタ %u 個を飛ばしました。",
     "%s: skipped %u unreadable sector(s)."},
    {445, "この実行の記録は %s に書きました。記録ファイル %s に書き込めません: ",
     "The record of this run was written to %s. Cannot write to the report file %s: "},
    {446, "このボリュームはソリッドステート ドライブ（SSD）上にあります。空き領域の消去は、ドライブが内部に持つ予備のブロックには届きません。ドライブ全体を消去するには、ドライブのサニタイズまたはセキュア消去の機能を使ってください。",
     "This volume is on a solid-state drive (SSD). Erasing free space does not reach the spare blocks that the drive keeps inside. To erase the whole drive, use the drive's sanitize or secure erase feature."},
    {447, "コマンドラインの %s と %s は、同じスイッチに違う値を指定しています。",
     "%s and %s on the command line give the same switch different values."},
    {448, "このフォルダの前回の実行（消去方法「%s」、%s 開始）は、%s で中断されました。手順 %d から続けますか？\r\n「はい」: 前回の作業ファイルを削除して、手順 %d から続けます。\r\n「いいえ」: 前回の作業ファイルを削除して、手順 1 から始めます。",
     "The last run in this folder (method \"%s\", started %s) was interrupted at %s. Do you want to continue from step %d?\r\nYes: its work files are deleted and the erase goes on from step %d.\r\nNo: its work files are deleted and the erase starts again from step 1."},
    {449, "このフォルダの前回の実行（消去方法「%s」、%s 開始）は %s で中断されましたが、消去方法か手順ファイルが違うため、続きから実行できません。選んだ消去方法「%s」を手順 1 から始めますか？\r\n「はい」: 前回の作業ファイルを削除して、「%s」を手順 1 から始めます。\r\n「いいえ」: 前回の作業ファイルを削除して、新しい消去は始めません。",
     "The last run in this folder (method \"%s\", started %s) was interrupted at %s, but it cannot be continued because the erase method or its step script differs. Do you want to start the method you chose, \"%s\", from step 1?\r\nYes: the last run's work files are deleted and \"%s\" starts from step 1.\r\nNo: the last run's work files are deleted and nothing new is erased."},
    {450, "同じフォルダで次に開始すると、手順 %d から続けられます。",
     "The next Start in the same folder can continue from step %d."},
    {451, "続けられる前回の実行がなかったため、手順 1 から実行しました。",
     "There was no interrupted run to continue, so the erase ran from step 1."},
    {452, "コマンドラインの %s は使えません。言語は /lang:ja（日本語。ANSI コード ページが 932 の Windows のみ）か /lang:en（英語）で指定してください。",
     "%s on the command line cannot be used. Choose the language with /lang:ja (Japanese, only on Windows whose ANSI code page is 932) or /lang:en (English)."},
    {453, "/lang:ja|en\t表示する言語を選ぶ（ja は ANSI コード ページが 932 の Windows のみ）",
     "/lang:ja|en\tChooses the language of vanta's texts (ja only on Windows whose ANSI code page is 932)"},
    {454, "消去方法 %d",
     "Method %d"},
    {455, "%s の %d 行目には、この Windows のコード ページで表せない文字があります。その消去方法は番号と手順で示します。",
     "%s, line %d, has characters that this Windows' code page cannot show. That method is shown by its number and steps."},
    {456, "%s には、この Windows のコード ページで表せない文字（? で示します）があります。別の名前に変わってしまうため、この名前は使いません。",
     "%s has characters that this Windows' code page cannot show (shown as ?). They would turn it into another name, so this name is not used."},
    {457, "%s はこの実行のものではないファイルの名前なので、この番号は使わずに次の番号へ進みました。",
     "%s belongs to a file that is not this run's: that number was passed over."},
    {458, "作業フォルダにこの実行のものではないファイルがあったため、そのまま残し、作業フォルダも残しました:\r\n%s",
     "The work folder holds entries that are not this run's. They were left where they are, and so was the work folder:\r\n%s"},
    {459, "%s は別の実行（または別のプログラム）が使用中のため、使いませんでした。",
     "%s is in use by another run (or another program), so it was not used."},
    {460, "%s は指定したフォルダとは別のボリュームにあるため、使いませんでした。",
     "%s is on another volume than the folder you chose, so it was not used."},
    {461, "%s の所有者がこのアカウント、SYSTEM、Administrators のどれでもないため、使いませんでした。",
     "%s is owned by an account other than this one, SYSTEM or the Administrators, so it was not used."},
    {462, "%s にはほかのアカウントも書き込めるうえ、そのアクセス許可を変更できなかったため、使いませんでした。",
     "Other accounts can write in %s, and its permissions could not be reset, so it was not used."},
    {463, "既存のフォルダ %s は使いませんでした。消去は始めていません。",
     "The existing folder %s was not used. Nothing was erased."},
    {464, "中断された前回の実行の作業ファイルを %s から削除しました。新しい消去は始めていません。",
     "The interrupted run's work files were deleted from %s. No new erase was started."},
    {465, "中断されていた消去方法 %d の実行は、消去方法か手順ファイルが違うため続けず、この消去方法を手順 1 から実行しました。",
     "The interrupted run of method %d was not continued, because the erase method or its step script differs; this method ran from step 1."},
    {466, "記録ファイル %s は作業フォルダの中にあります。作業フォルダは実行の終わりに削除されるため、別の場所を指定してください。",
     "The report file %s is inside the work folder, which is removed at the end of the run. Choose another place for it."},
    {467, "記録ファイル %s はリンクか、ほかの名前も持つファイルです。管理者として実行中は、このようなファイルには書き込みません。",
     "The report file %s is a link, or a file with more than one name. While vanta runs as an administrator, it does not write to such a file."},
    {468, "フォルダかリンクです。",
     "It is a folder or a link."},
    {469, "ほかの名前（ハードリンク）も持つファイルです。",
     "The file has another name too (a hard link)."},
    {470, "作業フォルダとは別のボリュームにあります。",
     "It is on another volume than the work folder."},
    {471, "この実行が作ったファイルではありません。",
     "It is not a file this run made."},
    {472, "フォルダがすでに存在します。処理を続けても、\r\nこのフォルダにすでにあるファイルはそのまま残ります。\r\n処理終了後もこのフォルダは残ります。",
     "The folder already exists. If you continue,\r\nthe files already in it are left as they are.\r\nThe folder stays after the erase has ended."},
    {473, "中断に備える記録 (vanta.journal) を作業フォルダに書けなかったため、記録なしで続けました。中断された場合、次回は中断した手順から続けられません。",
     "The journal (vanta.journal) could not be written in the work folder, so the run went on without one: if it is interrupted, the next run can't go on from where it stopped."},
    {474, "手順ファイル %s の %d 行目は %d 文字より長いため、消去を始めませんでした。",
     "In the step script %s, line %d is longer than %d characters, so the erase was not started."},
    {475, "記録ファイル %s はファイルではなくデバイス（CON、NUL、COM1 など）の名前のため、記録を残せません。別の名前を指定してください。",
     "The report file %s names a device (such as CON, NUL or COM1), not a file, so no record could be kept in it. Give the report another name."},
    {476, "%s はフォルダではなく、デバイスかボリュームそのものを指す名前（\\\\.\\ や \\\\?\\ で始まる名前、CON など）のため、使いませんでした。ドライブ文字か、ボリュームをマウントしたフォルダで指定してください。",
     "%s names a device or a whole volume (a name that begins with \\\\.\\ or \\\\?\\, CON and the like), not a folder, so it was not used. Give the folder by its drive letter, or by the folder the volume is mounted in."},
    {477, "削除したのに、まだ残っています。ほかのプログラムが開いたままか、ボリュームが読み取り専用になっています。",
     "It was deleted and is still there: another program has it open, or the volume has become read-only."},
    {500, "フォルダ %s がありません。vanta が作るのは記録ファイルのパスの最後のフォルダだけで、%s もありません。",
     "Its folder %s does not exist, and vanta makes only the last folder of a report's path: %s does not exist either."},
    {501, "フォルダ %s の所有者がこのアカウント、SYSTEM、Administrators のどれでもないため、管理者として実行中はそこに書き込みません。",
     "Its folder %s is owned by an account other than this one, SYSTEM or the Administrators, so vanta does not write in it as an administrator."},
    {502, "フォルダ %s にはほかのアカウントも書き込めるため、管理者として実行中はそこに書き込みません。SYSTEM と Administrators だけが書き込めるようにしてください（readme を参照）。",
     "Other accounts can write in its folder %s, so vanta does not write in it as an administrator. Let only SYSTEM and the Administrators write in it (see the readme)."},
    {503, "フォルダ %s は別の場所を指すリンク（ジャンクションまたはシンボリックリンク）のため、管理者として実行中はそこに書き込みません。",
     "Its folder %s is a link (a junction or a symbolic link) to another place, so vanta does not write through it as an administrator."},
    {504, "この実行の記録はどこにも書けませんでした。",
     "No record of this run was written."},
    {505, "指定したフォルダ %s がありません。",
     "The folder you gave, %s, does not exist."},
    {506, "中断するまでに、上書きを %d 回終え、%s バイトを上書きし、%s バイトを検証しました。",
     "Before the stop, %d pass(es) had finished; %s bytes were overwritten and %s bytes verified."},
    {507, "作業ファイルを削除し、空き領域を元に戻しました。",
     "The work files were deleted and the free space given back."},
    {508, "使い方: vanta.exe [フォルダ] [/method:N] [/start] [/exit] [/yes] [/skip] [/resume] [/report:ファイル] [/lang:ja|en]",
     "Usage: vanta.exe [folder] [/method:N] [/start] [/exit] [/yes] [/skip] [/resume] [/report:file] [/lang:ja|en]"},
    {509, "コマンドラインの %s は使えません: 日本語の表示には ANSI コード ページ 932 が必要ですが、この Windows のコード ページは %s です。英語で実行するには /lang:ja を外してください。日本語で実行するには、Unicode 対応ではないプログラムの言語を日本語にして（コントロール パネルの「地域」の「管理」）、Windows を再起動してください。",
     "%s on the command line cannot be used: Japanese texts need the ANSI code page 932, and this Windows uses code page %s. Leave /lang:ja out to run in English, or set the language for non-Unicode programs to Japanese (Control Panel, Region, Administrative) and restart Windows."},
    {510, "上書き %d/%d 回目: 書き込み済み %s、残り %s",
     "Pass %d of %d: %s written, %s left"},
    {511, "検証 %d/%d 回目: 検証済み %s、残り %s",
     "Verify %d of %d: %s verified, %s left"},
    {512, "速度 %s/秒",
     "Speed %s/s"},
    {513, "手順 %d/%d（上書き %d/%d 回目）",
     "step %d of %d (pass %d of %d)"},
    {514, "手順 %d/%d",
     "step %d of %d"},
};

TEST(StringTable, EveryTextReadsByteForByteAsWrittenInItsLanguageAndIsKept)
{
    load_texts(GetModuleHandleA(NULL));
    for (const auto &t : TEXTS) {
        SCOPED_TRACE("text " + std::to_string(t.id));
        EXPECT_EQ(std::string(t.ja), load_resource_string(GetModuleHandleA(NULL), t.id, JAPANESE));
        EXPECT_EQ(std::string(t.en), load_resource_string(GetModuleHandleA(NULL), t.id, ENGLISH));
        EXPECT_EQ(std::string(t.ja), program_text(t.id)) << "kept, Japanese";
        program_language = LANGUAGE_ENGLISH;
        EXPECT_EQ(std::string(t.en), program_text(t.id)) << "kept, English";
        program_language = LANGUAGE_JAPANESE;
    }
    for (UINT none : {399u, (UINT)IDS_LAST + 1})
        for (LANGID language : {JAPANESE, ENGLISH})
            EXPECT_EQ("", std::string(load_resource_string(GetModuleHandleA(NULL), none, language))) << none;
    EXPECT_EXIT({ exhaust_memory(); exit(*load_resource_string(GetModuleHandleA(NULL), 416, JAPANESE) ? 3 : 7); },
                testing::ExitedWithCode(7), "") << "without memory a text is empty, not null";
}

// The printf conversions of a text, in order ("%" is none).
static std::vector<std::string> conversions(const std::string &text)
{
    std::vector<std::string> found;
    for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at)) {
        size_t end = text.find_first_of("diouxXcspfeEgG%", at + 1);
        if (end == std::string::npos)
            return found.push_back(text.substr(at)), found;
        if (text[end] != '%')
            found.push_back(text.substr(at, end + 1 - at));
        at = end + 1;
    }
    return found;
}

// Every id of the table in both languages, with the same conversions in the
// same order (a missing or swapped %s crashes the program); the English ones
// in ASCII, which every code page shows as it is.
TEST(StringTable, EveryIdHasBothLanguagesWithTheSameConversionsInTheSameOrder)
{
    // ids between the table's blocks have no text in either language
    size_t ids_with_text = 0;
    for (UINT id = IDS_FIRST; id <= IDS_LAST; ++id)
        for (LANGID language : {JAPANESE, ENGLISH})
            if (*load_resource_string(GetModuleHandleA(NULL), id, language)) {
                ++ids_with_text;
                break;
            }
    ASSERT_EQ(sizeof TEXTS / sizeof TEXTS[0], ids_with_text) << "a text the table above misses";
    for (const auto &t : TEXTS) {
        SCOPED_TRACE("text " + std::to_string(t.id));
        std::string ja = load_resource_string(GetModuleHandleA(NULL), t.id, JAPANESE),
                    en = load_resource_string(GetModuleHandleA(NULL), t.id, ENGLISH);
        EXPECT_NE("", ja);
        EXPECT_NE("", en);
        EXPECT_EQ(conversions(ja), conversions(en));
        EXPECT_TRUE(std::all_of(en.begin(), en.end(), [](unsigned char c) { return c >= 0x20 ? c < 0x7F : !!strchr("\t\r\n", c); }))
            << "an English text that is not ASCII: " << en;
    }
    EXPECT_EQ((std::vector<std::string>{"%s", "%d", "%s", "%02X"}), conversions("%s %d %% %s 0x%02X"));
}
