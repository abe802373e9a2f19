#include "fw/MessageBox.h"

#include "fw/String.h"

#include <cstdio>
#include <utility>

namespace {

int PrintToStderr(LPCTSTR text, UINT) {
    std::fprintf(stderr, "%s\n", text);
    return IDOK;
}

MessagePresenter& Presenter() {
    static MessagePresenter presenter = PrintToStderr;
    return presenter;
}

} // namespace

MessagePresenter AfxSetMessagePresenter(MessagePresenter presenter) {
    if (!presenter) presenter = PrintToStderr;
    return std::exchange(Presenter(), std::move(presenter));
}

int AfxMessageBox(LPCTSTR text, UINT type, UINT) {
    return Presenter()(text ? text : "", type);
}

int AfxMessageBox(UINT id, UINT type, UINT helpId) {
    CString text;
    text.LoadString(id);
    return AfxMessageBox(text, type, helpId);
}
