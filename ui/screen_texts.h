// The texts of the main window, exactly as the screens show them. "\n" is a
// line feed; "\u3000" is the ideographic space that indents notice lines.
#pragma once

#include "ui/screen_paint.h"

#define UI_TEXT_SQUARE \
    L"■"
#define UI_TEXT_NOTICE_TITLE \
    L"タッチパッドファームウェアのアップデートに関する注意事項"
#define UI_TEXT_NOTICE_LEAD \
    L"タッチパッドファームウェアのアップデートを実施する前に必ずご一読ください。\n" \
    L"読み終えたら、「はい」のボタンをクリックしてください。"
#define UI_TEXT_NOTICE_QUESTION \
    L"今すぐ、ファームウェアアップデートを実行しますか？"
#define UI_TEXT_NOTICE_PIECE_A \
    L"１．作成中、編集中のデータについて\n" \
    L"\u3000\u3000新ファームウェアのアップデート後は、再起動が必要となります。\n" \
    L"\u3000\u3000この時、作成中、編集中のデータをそのままに残しておきますと当該データが消えることがあります。\n" \
    L"\u3000\u3000このような場合、弊社は一切の責任を負いませんので、お客様ご自身の責任により、本アップデート前に、\n" \
    L"\u3000\u3000作成中、もしくは編集中のデータを保存いただくよう、お願いいたします。\n" \
    L"\n" \
    L"２．アップデート中の注意について"
#define UI_TEXT_NOTICE_PIECE_B1 \
    L"\u3000\u3000新ファームウェアのアップデート中、"
#define UI_TEXT_NOTICE_PIECE_B2 \
    L"タッチパッドに触れますとそのタッチパッドが壊れる"
#define UI_TEXT_NOTICE_PIECE_B3 \
    L"恐れがあります。"
#define UI_TEXT_NOTICE_PIECE_C \
    L"\u3000\u3000アップデート中は、タッチパッドに絶対触れないよう、お願いいたします。\n" \
    L"\n" \
    L"３．新ファームウェアのアップデートを行う際は、必ず、バッテリーを装着するよう、お願いいたします。\n" \
    L"\n" \
    L"４．操作に関する不明点について\n" \
    L"\u3000\u3000本操作に関し、ご不明な点がございましたら、パソコンお客様ご相談センターへお問い合わせください。"
#define UI_TEXT_UPDATING \
    L"現在、ファームウェアのアップデート中です(約3分かかります)。\n" \
    L"タッチパッドに絶対触れないでください。"
#define UI_TEXT_COMPLETED \
    L"ファームウェアのアップデートが完了しました。\n" \
    L"今すぐ再起動しますか？"
#define UI_TEXT_FAILED \
    L"ファームウェアのアップデートに失敗しました。"
#define UI_TEXT_FAILED_APOLOGY \
    L"お手数をおかけしますが、パソコンお客様ご相談センターへお問い合わせください。"
#define UI_TEXT_FAILED_RESTART \
    L"再起動します"
#define UI_TEXT_RETRY \
    L"ファームウェアのアップデートに失敗しました。\n" \
    L"再度アップデートを実行します。"
#define UI_CAPTION_YES \
    L"はい"
#define UI_CAPTION_NO \
    L"いいえ"
#define UI_CAPTION_OK \
    L"OK"
#define UI_TEXT_CONTACT \
    L"連絡先：フリーダイヤル" UI_SUPPORT_TOLL_FREE_NUMBER L"\n" \
    L"受付時間：午前9時から午後8時（365日受付）"

// The whole notice, used only to choose one point size for all its pieces:
// piece A, the line of B1, B2 and B3, piece C, and four line feeds.
#define UI_TEXT_NOTICE_FULL \
    UI_TEXT_NOTICE_PIECE_A L"\n" UI_TEXT_NOTICE_PIECE_B1 UI_TEXT_NOTICE_PIECE_B2 \
    UI_TEXT_NOTICE_PIECE_B3 L"\n" UI_TEXT_NOTICE_PIECE_C L"\n\n\n\n"
