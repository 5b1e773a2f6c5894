// One update attempt, run on a detached worker thread: the power check, the
// reflash tool, the information tool, then one result to the main window.
#pragma once

#include "ui/main_window.h"

// Runs one attempt and reports it: signals pContext->hDoneEvent, then posts
// WM_APP_UPDATE / UPDATE_RESULT with the result to pContext->hWnd. Does
// nothing at all when pContext or its window is NULL.
void UpdateWorker(WorkerContext* pContext);

// Starts UpdateWorker(pContext) on a new thread through the C runtime and
// lets it run detached (the thread handle is closed at once). False if the
// thread could not be created.
bool StartUpdateWorker(WorkerContext* pContext);
