// Text fitted to a box by shrinking it one point at a time, and the window
// placed over the primary monitor.
#include "ui/text_layout.h"

namespace {

HFONT CreateUiFont(int nPoints, int nDpiY)
{
    return CreateFontW(-MulDiv(nPoints, nDpiY, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, UI_FONT_FACE);
}

}  // namespace

void DrawFittedText(HDC hdc, LPCWSTR pszText, int nMaxPoints, UINT uFormat, SIZE* pMeasured,
                    int* pnChosenPoints, RECT rcBox)
{
    if (hdc == NULL || pszText == NULL) {
        return;
    }
    const int nLength = lstrlenW(pszText);
    const int nBoxWidth = rcBox.right - rcBox.left;
    const int nBoxHeight = rcBox.bottom - rcBox.top;
    // A measured block is never narrower or lower than 0, so an empty box
    // fits nothing: no font needs to be tried.
    if (nBoxWidth <= 0 || nBoxHeight <= 0) {
        return;
    }
    const int nDpiY = GetDeviceCaps(hdc, LOGPIXELSY);
    // DrawTextExW takes a non-const buffer but only writes it with
    // DT_MODIFYSTRING, which is never passed here.
    LPWSTR pszBuffer = const_cast<LPWSTR>(pszText);

    for (int nPoints = nMaxPoints; nPoints >= 1; --nPoints) {
        HFONT hFont = CreateUiFont(nPoints, nDpiY);
        if (hFont == NULL) {
            continue;
        }
        HGDIOBJ hOldFont = SelectObject(hdc, hFont);

        RECT rcMeasure = {0, 0, 0, 0};
        DrawTextExW(hdc, pszBuffer, nLength, &rcMeasure, uFormat | DT_CALCRECT, NULL);
        const int nWidth = rcMeasure.right - rcMeasure.left;
        const int nHeight = rcMeasure.bottom - rcMeasure.top;

        const bool bFits = nWidth < nBoxWidth && nHeight < nBoxHeight;
        if (bFits) {
            if (pnChosenPoints != NULL) {
                *pnChosenPoints = nPoints;
            } else {
                RECT rcTarget = rcBox;
                if (uFormat & DT_VCENTER) {
                    rcTarget.top = rcBox.top + (nBoxHeight - nHeight) / 2;
                } else if (uFormat & DT_BOTTOM) {
                    rcTarget.top = rcBox.bottom - nHeight;
                }
                DrawTextExW(hdc, pszBuffer, nLength, &rcTarget, uFormat, NULL);
            }
            if (pMeasured != NULL) {
                pMeasured->cx = nWidth;
                pMeasured->cy = nHeight;
            }
        }

        if (hOldFont != NULL && hOldFont != HGDI_ERROR) {
            SelectObject(hdc, hOldFont);
        }
        DeleteObject(hFont);
        if (bFits) {
            return;
        }
    }
}

BOOL CALLBACK FitWindowToPrimaryMonitor(HMONITOR hMonitor, HDC hdcMonitor, LPRECT prcMonitor,
                                        LPARAM dwData)
{
    (void)hdcMonitor;
    (void)prcMonitor;
    MONITORINFO info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    if (!GetMonitorInfoW(hMonitor, &info) || !(info.dwFlags & MONITORINFOF_PRIMARY)) {
        return TRUE;
    }
    HWND hWnd = reinterpret_cast<HWND>(dwData);
    MoveWindow(hWnd, info.rcMonitor.left, info.rcMonitor.top,
               info.rcMonitor.right - info.rcMonitor.left,
               info.rcMonitor.bottom - info.rcMonitor.top, TRUE);
    return FALSE;
}
