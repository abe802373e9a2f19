#include "fw/MessageBox.h"

#include "fw/String.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

int PrintToStderr(LPCTSTR text, UINT, LPCTSTR detail) {
    std::fprintf(stderr, *detail ? "%s: %s\n" : "%s\n", text, detail);
    return IDOK;
}

struct Presenter {
    std::mutex mutex;
    MessagePresenter show = PrintToStderr;
};

Presenter& Current() {
    static Presenter presenter;
    return presenter;
}

} // namespace

MessagePresenter AfxSetMessagePresenter(MessagePresenter presenter) {
    if (!presenter) presenter = PrintToStderr;
    Presenter& current = Current();
    const std::lock_guard<std::mutex> guard(current.mutex);
    return std::exchange(current.show, std::move(presenter));
}

int AfxMessageBox(LPCTSTR text, UINT type, UINT) {
    return AfxMessageBoxWithDetail(text, "", type);
}

int AfxMessageBoxWithDetail(LPCTSTR text, LPCTSTR detail, UINT type) {
    // A copy is called, outside the lock: a presenter may show another box,
    // or be replaced by another thread, while it shows this one.
    MessagePresenter show;
    {
        Presenter& current = Current();
        const std::lock_guard<std::mutex> guard(current.mutex);
        show = current.show;
    }
    return show(text ? text : "", type, detail ? detail : "");
}

int AfxMessageBox(UINT id, UINT type, UINT helpId) {
    CString text;
    text.LoadString(id);
    return AfxMessageBox(text, type, helpId);
}
