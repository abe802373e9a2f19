// Message boxes. Every box the program shows goes through one replaceable
// presenter: the dialog shows it in a window, the command line prints it, tests
// capture it. The presenter answers with the button that closed the box.
// Any thread may show a box or replace the presenter; a presenter must itself
// be safe to call from every thread that shows boxes.
#pragma once

#include "platform/WinTypes.h"

#include <functional>

constexpr UINT MB_OK = 0x0000;
constexpr UINT MB_OKCANCEL = 0x0001;
constexpr UINT MB_YESNO = 0x0004;
constexpr UINT MB_ICONERROR = 0x0010;
constexpr UINT MB_ICONINFORMATION = 0x0040;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// `detail` is the system's reason for a failure the text reports, or empty:
// the dialog shows it below the text, a command line after it on one line.
using MessagePresenter = std::function<int(LPCTSTR text, UINT type, LPCTSTR detail)>;

// Installs a presenter and returns the one it replaces. An empty presenter
// restores the default, which writes the text to standard error and answers IDOK.
MessagePresenter AfxSetMessagePresenter(MessagePresenter presenter);

int AfxMessageBox(LPCTSTR text, UINT type = MB_OK, UINT helpId = 0);
// Shows `text` with `detail`, the reason of the failure it reports.
int AfxMessageBoxWithDetail(LPCTSTR text, LPCTSTR detail, UINT type = MB_OK);
// Shows string-table entry id.
int AfxMessageBox(UINT id, UINT type = MB_OK, UINT helpId = static_cast<UINT>(-1));
