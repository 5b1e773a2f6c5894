// Painting of the main window's screens and of its owner-drawn buttons.
#pragma once

#include <windows.h>

// Colours (COLORREF).
#define UI_COLOR_TEXT RGB(0, 0, 0)
#define UI_COLOR_HIGHLIGHT RGB(255, 0, 0)
#define UI_COLOR_BUTTON_FACE RGB(224, 224, 224)
#define UI_COLOR_BUTTON_PRESSED RGB(204, 229, 255)
#define UI_COLOR_FOCUS_BORDER RGB(0, 102, 204)
#define UI_FOCUS_BORDER_WIDTH 3

// The support centre's toll-free number shown in the contact text. The build
// gives the real one (CMake's QM_SUPPORT_NUMBER, set by "make release"); the
// placeholder stands until then.
#ifndef UI_SUPPORT_TOLL_FREE_NUMBER
#define UI_SUPPORT_TOLL_FREE_NUMBER L"0120-XXX-XXX"
#endif

// Paints screen nScreen (a SCREEN_ value) into hdc over the rectangle
// rcClient, which stands for the window's client area: any device context
// will do, a memory bitmap's as well as the window's.
void PaintContent(HDC hdc, const RECT& rcClient, UINT nScreen);

// WM_PAINT: paints the screen named by g_nScreen over the whole client area
// (BeginPaint, PaintContent, EndPaint). Returns 0.
LRESULT PaintScreen(HWND hWnd);

// WM_DRAWITEM: draws one of the owner-drawn buttons (face, focus border and
// caption). Does nothing for NULL. Returns 0.
LRESULT DrawOwnerButton(const DRAWITEMSTRUCT* pItem);
