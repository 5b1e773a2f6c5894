// Painting of the five screens and of the owner-drawn buttons. Every text goes
// through DrawFittedText, so each block shrinks until it fits its box, and the
// whole layout is computed afresh from the client size on every paint.
#include "ui/screen_paint.h"

#include "ui/main_window.h"
#include "ui/screen_texts.h"
#include "ui/text_layout.h"

namespace {

// Flags of the four alignments used below.
const UINT kLeft = DT_LEFT | DT_TOP;
const UINT kCentred = DT_CENTER;
const UINT kCentredBottom = DT_CENTER | DT_BOTTOM;
const UINT kCentredMiddle = DT_CENTER | DT_VCENTER;

RECT Box(int nLeft, int nTop, int nRight, int nBottom)
{
    RECT rc = {nLeft, nTop, nRight, nBottom};
    return rc;
}

// Draws a rectangle outline with a solid pen of the given width and colour,
// filled with the brush that is selected (or hollow with bHollow).
void DrawFrame(HDC hdc, const RECT& rc, int nPenWidth, COLORREF color, bool bHollow)
{
    HPEN hPen = CreatePen(PS_SOLID, nPenWidth, color);
    if (hPen == NULL) {
        return;
    }
    HGDIOBJ hOldPen = SelectObject(hdc, hPen);
    HGDIOBJ hOldBrush = NULL;
    if (bHollow) {
        hOldBrush = SelectObject(hdc, GetStockObject(NULL_BRUSH));
    }
    Rectangle(hdc, rc.left, rc.top, rc.right, rc.bottom);
    if (hOldBrush != NULL) {
        SelectObject(hdc, hOldBrush);
    }
    SelectObject(hdc, hOldPen);
    DeleteObject(hPen);
}

// Frames a cw x ch block whose top-left corner is (nLeft, nTop), 15 pixels
// wider on each side and 5 pixels higher at the top and bottom.
void FrameContact(HDC hdc, int nLeft, int nTop, const SIZE& size)
{
    RECT rc = Box(nLeft - 15, nTop - 5, nLeft + size.cx + 15, nTop + size.cy + 5);
    DrawFrame(hdc, rc, 2, UI_COLOR_TEXT, true);
}

// Draws the contact text; true when it was drawn, and *pMeasured then holds
// its size. (A text that fits at no size leaves the caller's size as it was,
// and no frame is drawn around nothing.)
bool DrawContact(HDC hdc, int nPoints, UINT uFormat, const RECT& rcBox, SIZE* pMeasured)
{
    SIZE size = {-1, -1};
    DrawFittedText(hdc, UI_TEXT_CONTACT, nPoints, uFormat, &size, NULL, rcBox);
    if (size.cx < 0) {
        return false;
    }
    *pMeasured = size;
    return true;
}

void PaintNotice(HDC hdc, int W, int H)
{
    SIZE M = {0, 0};
    SIZE Q = {0, 0};
    int N = 0;

    SetTextColor(hdc, UI_COLOR_TEXT);
    DrawFittedText(hdc, UI_TEXT_SQUARE, 18, kLeft, &M, NULL, Box(50, 50, 100, 100));
    const int S = M.cx;

    const int X = S + 55;
    SetTextColor(hdc, UI_COLOR_HIGHLIGHT);
    DrawFittedText(hdc, UI_TEXT_NOTICE_TITLE, 18, kLeft, &M, NULL, Box(X, 50, W - 50, 100));
    const int Ht = M.cy;

    SetTextColor(hdc, UI_COLOR_TEXT);
    DrawFittedText(hdc, UI_TEXT_NOTICE_LEAD, 18, kLeft, &M, NULL,
                   Box(X, Ht + 60, W - 50, Ht + 160));
    const int Hl = M.cy;

    const int T = Ht + 60 + Hl + 10;

    DrawFittedText(hdc, UI_TEXT_NOTICE_QUESTION, 18, kCentredBottom, &M, NULL,
                   Box(30, H - 180, W - 30, H - 130));
    const int Hq = M.cy;

    const int B = H - 130 - Hq - 10;

    // The notice frame, filled with the context's default (white) brush.
    DrawFrame(hdc, Box(X, T, W - 50, B), 3, UI_COLOR_TEXT, false);

    const RECT I = Box(X + 10, T + 10, W - 60, B - 10);

    // One size for every piece: the largest at which the whole notice fits.
    DrawFittedText(hdc, UI_TEXT_NOTICE_FULL, 24, kLeft, NULL, &N, I);
    if (N <= 0) {
        return;
    }

    DrawFittedText(hdc, UI_TEXT_NOTICE_PIECE_A, N, kLeft, &Q, NULL, I);
    int y = I.top + Q.cy;
    int x = I.left;

    // Item 2's sentence: black, red, black, on one line.
    DrawFittedText(hdc, UI_TEXT_NOTICE_PIECE_B1, N, kLeft, &Q, NULL, Box(x, y, I.right, I.bottom));
    x += Q.cx;
    SetTextColor(hdc, UI_COLOR_HIGHLIGHT);
    DrawFittedText(hdc, UI_TEXT_NOTICE_PIECE_B2, N, kLeft, &Q, NULL, Box(x, y, I.right, I.bottom));
    x += Q.cx;
    SetTextColor(hdc, UI_COLOR_TEXT);
    DrawFittedText(hdc, UI_TEXT_NOTICE_PIECE_B3, N, kLeft, &Q, NULL, Box(x, y, I.right, I.bottom));
    y += Q.cy;

    DrawFittedText(hdc, UI_TEXT_NOTICE_PIECE_C, N, kLeft, &Q, NULL, Box(I.left, y, I.right, I.bottom));
    const int Yc = y + Q.cy + 10;

    const RECT rcContact = Box(X + 25, Yc, W - 75, I.bottom);
    if (DrawContact(hdc, N, kCentredMiddle, rcContact, &M)) {
        const int nLeft = (X + 25) + ((W - 75) - (X + 25) - M.cx) / 2;
        const int nTop = Yc + (I.bottom - Yc - M.cy) / 2;
        FrameContact(hdc, nLeft, nTop, M);
    }
}

// The updating, completed and retry screens: one red block whose last line
// ends 20 pixels above the progress bar.
void PaintStatus(HDC hdc, int W, int H, LPCWSTR pszText)
{
    SetTextColor(hdc, UI_COLOR_HIGHLIGHT);
    DrawFittedText(hdc, pszText, 32, kCentredBottom, NULL, NULL,
                   Box(30, H / 2 - 180, W - 30, H / 2 - 20));
}

void PaintFailed(HDC hdc, int W, int H)
{
    SIZE M = {0, 0};

    SetTextColor(hdc, UI_COLOR_HIGHLIGHT);
    DrawFittedText(hdc, UI_TEXT_FAILED, 32, kCentred, &M, NULL, Box(30, H / 4, W - 30, H / 4 + 160));
    const int Y2 = H / 4 + M.cy + 10;

    SetTextColor(hdc, UI_COLOR_TEXT);
    DrawFittedText(hdc, UI_TEXT_FAILED_APOLOGY, 24, kCentred, &M, NULL,
                   Box(30, Y2, W - 30, Y2 + 300));
    const int Y3 = Y2 + M.cy + 30;
    const int m = W / 5;

    if (DrawContact(hdc, 24, kCentred, Box(m, Y3, W - m, Y3 + 300), &M)) {
        const int nLeft = m + ((W - m) - M.cx - m) / 2;
        FrameContact(hdc, nLeft, Y3, M);
    }
    const int ch = M.cy;

    const int Y4 = Y3 + (ch + 10) + 30;
    SetTextColor(hdc, UI_COLOR_HIGHLIGHT);
    DrawFittedText(hdc, UI_TEXT_FAILED_RESTART, 32, kCentred, &M, NULL,
                   Box(30, Y4, W - 30, Y4 + 300));
}

}  // namespace

void PaintContent(HDC hdc, const RECT& rcClient, UINT nScreen)
{
    const int W = rcClient.right - rcClient.left;
    const int H = rcClient.bottom - rcClient.top;
    // The layout is computed from (0, 0); a client rectangle elsewhere moves
    // the origin for the time of the paint.
    POINT oldOrigin = {0, 0};
    const bool bMoved = rcClient.left != 0 || rcClient.top != 0;
    if (bMoved) {
        OffsetViewportOrgEx(hdc, rcClient.left, rcClient.top, &oldOrigin);
    }

    const int nOldMode = SetBkMode(hdc, TRANSPARENT);
    const COLORREF oldColor = GetTextColor(hdc);
    switch (nScreen) {
    case SCREEN_NOTICE:
        PaintNotice(hdc, W, H);
        break;
    case SCREEN_UPDATING:
        PaintStatus(hdc, W, H, UI_TEXT_UPDATING);
        break;
    case SCREEN_COMPLETED:
        PaintStatus(hdc, W, H, UI_TEXT_COMPLETED);
        break;
    case SCREEN_RETRY:
        PaintStatus(hdc, W, H, UI_TEXT_RETRY);
        break;
    case SCREEN_FAILED:
        PaintFailed(hdc, W, H);
        break;
    default:
        break;
    }
    SetTextColor(hdc, oldColor);
    if (nOldMode != 0) {
        SetBkMode(hdc, nOldMode);
    }
    if (bMoved) {
        SetViewportOrgEx(hdc, oldOrigin.x, oldOrigin.y, NULL);
    }
}

LRESULT PaintScreen(HWND hWnd)
{
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(hWnd, &ps);
    if (hdc == NULL) {
        return 0;
    }
    RECT rcClient = {0, 0, 0, 0};
    GetClientRect(hWnd, &rcClient);
    PaintContent(hdc, rcClient, g_nScreen);
    EndPaint(hWnd, &ps);
    return 0;
}

LRESULT DrawOwnerButton(const DRAWITEMSTRUCT* pItem)
{
    if (pItem == NULL) {
        return 0;
    }
    HDC hdc = pItem->hDC;
    const RECT& rc = pItem->rcItem;

    HBRUSH hFace = CreateSolidBrush((pItem->itemState & ODS_SELECTED) ? UI_COLOR_BUTTON_PRESSED
                                                                        : UI_COLOR_BUTTON_FACE);
    if (hFace != NULL) {
        HGDIOBJ hOldBrush = SelectObject(hdc, hFace);
        FillRect(hdc, &rc, hFace);
        if (pItem->itemState & ODS_FOCUS) {
            // The rectangle's interior is filled again with the face brush.
            HPEN hPen = CreatePen(PS_SOLID, UI_FOCUS_BORDER_WIDTH, UI_COLOR_FOCUS_BORDER);
            if (hPen != NULL) {
                HGDIOBJ hOldPen = SelectObject(hdc, hPen);
                Rectangle(hdc, rc.left + 1, rc.top + 1, rc.right - 1, rc.bottom - 1);
                SelectObject(hdc, hOldPen);
                DeleteObject(hPen);
            }
        }
        SelectObject(hdc, hOldBrush);
        DeleteObject(hFace);
    }
    SetBkMode(hdc, TRANSPARENT);

    LPCWSTR pszCaption = NULL;
    switch (pItem->CtlID) {
    case IDC_YES:
        pszCaption = UI_CAPTION_YES;
        break;
    case IDC_NO:
        pszCaption = UI_CAPTION_NO;
        break;
    case IDC_OK:
        pszCaption = UI_CAPTION_OK;
        break;
    default:
        break;
    }
    if (pszCaption != NULL) {
        DrawFittedText(hdc, pszCaption, 14, kCentredMiddle, NULL, NULL, rc);
    }
    return 0;
}
