#pragma once
#include "platform/Errors.h"
#include "platform/MessageBox.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <functional>
#include <vector>

class QWidget;
class CDialogControls;

// Runs one handler inside the general error handling of a dialog: an error of
// an embedded control ends the handler where it was raised and is shown in a
// message box; the dialog goes on. Nothing escapes into Qt's event loop.
template <class F> void RunGuarded(QWidget* owner, F&& handler) {
    try {
        handler();
    } catch (const COleDispatchException& e) {
        AfxMessageBox(e.m_strDescription, owner);
    } catch (const std::exception& e) {
        AfxMessageBox(QString::fromLocal8Bit(e.what()), owner);
    } catch (...) {
        AfxMessageBox(QCoreApplication::translate("MessageMap", "未知错误"), owner);
    }
}

enum class Msg { SysCommand, Paint, QueryDragIcon, Close, ButtonClicked, ControlEvent };

struct MsgParams {
    unsigned wParam = 0;
    long long lParam = 0;
    int eventId = 0; // dispatch ID of a control event
};

template <class T> struct MsgMapEntry {
    Msg msg;
    int id; // control ID for ButtonClicked and ControlEvent, else 0
    int eventId;
    std::function<void(T&, const MsgParams&)> fn;
};

// One table per dialog, routing window messages, button clicks and control
// events to handler methods, each run guarded.
template <class T> class CMessageMap {
public:
    CMessageMap(std::initializer_list<MsgMapEntry<T>> entries) : m_entries(entries) {}

    // Returns false when no entry handles the message (default processing).
    bool Dispatch(T& self, Msg msg, int id = 0, const MsgParams& p = {}) const {
        for (const auto& e : m_entries) {
            if (e.msg != msg || e.id != id)
                continue;
            if (msg == Msg::ControlEvent && e.eventId != p.eventId)
                continue;
            RunGuarded(&self, [&] { e.fn(self, p); });
            return true;
        }
        return false;
    }

    // Wires the clicked signal of every button named in the table.
    void ConnectButtons(T& self, const CDialogControls& controls) const;

    const std::vector<MsgMapEntry<T>>& Entries() const { return m_entries; }

private:
    std::vector<MsgMapEntry<T>> m_entries;
};

template <class T> MsgMapEntry<T> ON_WM_SYSCOMMAND(void (T::*fn)(unsigned, long long)) {
    return {Msg::SysCommand, 0, 0, [fn](T& t, const MsgParams& p) { (t.*fn)(p.wParam, p.lParam); }};
}
template <class T> MsgMapEntry<T> ON_WM_PAINT(void (T::*fn)()) {
    return {Msg::Paint, 0, 0, [fn](T& t, const MsgParams&) { (t.*fn)(); }};
}
template <class T, class R> MsgMapEntry<T> ON_WM_QUERYDRAGICON(R (T::*fn)()) {
    return {Msg::QueryDragIcon, 0, 0, [fn](T& t, const MsgParams&) { (void)(t.*fn)(); }};
}
template <class T> MsgMapEntry<T> ON_WM_CLOSE(void (T::*fn)()) {
    return {Msg::Close, 0, 0, [fn](T& t, const MsgParams&) { (t.*fn)(); }};
}
template <class T> MsgMapEntry<T> ON_BN_CLICKED(int id, void (T::*fn)()) {
    return {Msg::ButtonClicked, id, 0, [fn](T& t, const MsgParams&) { (t.*fn)(); }};
}
// Event sink entry: an event (dispatch ID) of an embedded control.
template <class T> MsgMapEntry<T> ON_EVENT(int id, int dispid, void (T::*fn)()) {
    return {Msg::ControlEvent, id, dispid, [fn](T& t, const MsgParams&) { (t.*fn)(); }};
}
