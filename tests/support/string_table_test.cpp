// The string table as the program loads it, code page 932, from its resources linked in.
#include <gtest/gtest.h>
#include <string>
#include "support/messages.h"
#include "support/exhaust_memory.h"

static const struct { UINT id; const char *text; } TEXTS[] = {   // compiled to CP932
    {400, "Version 8"}, {401, "About vanta"}, {402, "vanta"}, {403, "vantaclass"}, {404, "IDM_MENU"},
    {405, "IDD_DIALOG"}, {406, "フォルダ"}, {407, "フォルダ名が指定されていません。"},
    {408, "フォルダを作成できません。"}, {409, "フォルダを削除できません。"},
    {410, "すでに開始しています。"}, {411, "中断しています..."}, {412, "中断しました。"},
    {413, "フォルダがすでに存在します。処理を続ける場合\r\nこのフォルダにあるファイルは削除されます。\r\n"
          "処理終了後もこのフォルダは残ります。"},
    {414, "step %d of %d: %s"}, {415, "ディスクの未使用領域を消去します。消去方法とフォルダを指定してください。"},
    {416, "消去が終了しました。"}, {417, "処理を続けますか？"},
    {418, "手順ファイル %s に手順数の行がありません。"},
    {419, "手順ファイル %s の手順は %d 個で、手順数 %d に足りません。"},
    {420, "%s は別の場所を指すリンク（ジャンクションまたはシンボリックリンク）です。"
          "リンク先のファイルを消さないよう、このフォルダは使いません。"},
    {421, "作業ファイルを削除しています..."}, {422, "ほかに %d 件のエラーがあります。"},
    {423, "このボリュームは書き込んだパターンを実際より小さく保存するため（圧縮または重複除去）、"
          "このパターンでは空き領域を埋められません。乱数（random）の消去方法を使ってください。"},
    {424, "残り約 %s"}, {425, "%u 秒"}, {426, "%u 分"}, {427, "%u 分 %u 秒"}, {428, "%u 時間 %u 分"},
    {429, "上書き %s バイト（%d 回）、所要時間 %s"}, {430, "上書き %s バイト（%d 回）、検証 %s バイト、所要時間 %s"},
    {431, "このアカウントが書き込めない空き領域 %s バイト（ディスク クォータ、または管理者やシステム用の予約領域）は消去されていません。"},
    {432, "手順ファイル %s の 1 行目（%s）からは実行する手順がありません。手順数を 1 以上の数にしてください。"},
    {433, "手順ファイル %s の %d 行目の語「%s」は、数値、カンマで区切った数値、random、dod のどれでもありません。\r\nこのまま続けると、この語はバイト 0x%02X として扱われます。続けますか？"},
    {434, "手順ファイル %s の %d 行目の語「%s」を読めないため、消去を始めませんでした。"},
    {435, "使い方: vanta.exe [フォルダ] [/method:N] [/start] [/exit] [/yes] [/skip] [/report:ファイル]\r\n\r\nフォルダ\t消去するボリューム上のフォルダ\r\n/method:N\t消去方法 N を選ぶ\r\n/start\tすぐに消去を始める\r\n/exit\t消去が終わったら終了し、結果を終了コードで返す（/start と合わせると、メッセージ ボックスを出さずに実行する）\r\n/yes\t既存の作業フォルダ $VANTA$$ を確認せずに使う\r\n/skip\t無人の実行で、読めないセクタを飛ばして検証を続ける\r\n/report:ファイル\t実行の記録をファイル（CSV、UTF-8）に追加する\r\n\r\n終了コード: 0 成功、1 コマンドラインの誤り、2 消去方法を実行できない、3 途中で失敗、4 検証で違うバイトを検出、5 中断、6 フォルダを使えない"},
    {436, "コマンドラインの %s は vanta のスイッチではありません。使い方は vanta.exe /? で確認できます。"},
    {437, "消去方法 %s はありません。"},
    {438, "/start には消去するフォルダの指定が必要です。"},
    {439, "記録ファイル %s に書き込めません: "},
    {440, "フォルダが 2 つ指定されています: %s と %s"},
    {441, "%s の作業ファイルから読めるデータがないため、何も検証できませんでした。"},
    {442, "手順ファイル %s の %d 行目「%s」の「%s」は、手順名 erase、verify、erase,verify のどれでもありません。\r\nこのまま続けると、この行は「%s」として実行されます。続けますか？"},
    {443, "手順ファイル %s の %d 行目「%s」を手順として読めないため、消去を始めませんでした。"},
    {444, "%s: 読めないセクタ %u 個を飛ばしました。"},
    {399, ""}, {445, ""} /* none: empty */,
};

TEST(StringTable, EveryTextReadsByteForByteAsWrittenAndIsKept)
{
    load_texts(GetModuleHandleA(NULL));
    for (const auto &t : TEXTS) {
        EXPECT_EQ(std::string(t.text), load_resource_string(GetModuleHandleA(NULL), t.id)) << "text " << t.id;
        EXPECT_EQ(std::string(t.text), program_text(t.id)) << "kept text " << t.id;
    }
    EXPECT_EXIT({ exhaust_memory(); exit(*load_resource_string(GetModuleHandleA(NULL), 416) ? 3 : 7); },
                testing::ExitedWithCode(7), "") << "without memory a text is empty, not null";
}
