// Text fitted to a box, and the window placed on the primary monitor.
#pragma once

#include <windows.h>

// The face every text of the window asks for.
#define UI_FONT_FACE L"Meiryo UI"

// Draws pszText (NUL-terminated, may hold line feeds) in the largest point
// size from nMaxPoints down to 1 at which the whole block is strictly
// narrower and strictly lower than rcBox. uFormat takes DrawTextExW flags;
// DT_VCENTER (tested first) and DT_BOTTOM are carried out here by moving the
// box's top edge. With pnChosenPoints given, the size is stored there and
// nothing is drawn. pMeasured (optional) receives the block's width and
// height at that size. When no size fits, nothing is drawn and neither output
// is written. Text colour, background mode and the selected font of hdc are
// left as they were.
void DrawFittedText(HDC hdc, LPCWSTR pszText, int nMaxPoints, UINT uFormat, SIZE* pMeasured,
                    int* pnChosenPoints, RECT rcBox);

// MONITORENUMPROC: moves the window passed as dwData over the whole primary
// monitor (taskbar included) and stops the enumeration there; any other
// monitor, or one whose information cannot be read, is passed over.
BOOL CALLBACK FitWindowToPrimaryMonitor(HMONITOR hMonitor, HDC hdcMonitor, LPRECT prcMonitor,
                                        LPARAM dwData);
