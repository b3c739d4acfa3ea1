// The Qt Widgets dialog host. Included only by the platform's *_qt.cpp files
// and the Qt tests.
//
// The files: dialog_build_qt.cpp places the controls in dialog units of the
// 9-point CJK dialog font (Tab only on tab-stop controls; a static text wider
// than its rectangle is not cut but runs on along its one line, within the
// dialog); dialog_window_qt.cpp is the Window calls; dialog_frame_qt.cpp the
// rest (Enter with no button focused = OK, Escape and the close box = Cancel, a
// window menu of the dialog's own, the modal loop); dialog_host_qt.cpp the host;
// gui_session_qt.cpp owns the QApplication and turns SIGTERM and SIGINT
// (self-pipe) into Cancel for every open dialog and box.
//
// Qt is only ever called on the user-interface thread. Sends from other threads
// go through SentQueue and wake the loop through an event a QSocketNotifier
// watches; once the dialog has ended they fail at once. A label remembers the
// text a worker last put there, so the same status text costs no trip to the
// user-interface thread.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QFont>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QSocketNotifier>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ui/dialog_host.h"
#include "platform/ui/sent_queue.h"

namespace plk::platform {

struct Icon {
    QIcon icon;
    QPixmap pixmap;
};

// The name a control widget carries (QObject::objectName), for tests and
// accessibility: "control-<id>", or "static-<n>" for the n-th control without
// an identifier.
QString ControlObjectName(const res::ControlTemplate& control, int index);

class QtDialogWindow;

class QtDialogHost final : public DialogHost {
public:
    QtDialogHost();
    ~QtDialogHost() override;

    std::unique_ptr<DialogWindow> CreateDialogWindow(const res::DialogTemplate& dialog) override;
    IconHandle LoadIcon(int id) override;
    Size IconSize() override;

    // The dialog font: the template's size, from the family list.
    static QFont DialogFont(const res::DialogTemplate& dialog);

    void PushModal(QtDialogWindow* dialog) { modal_.push_back(dialog); }
    void PopModal(QtDialogWindow* dialog);
    QtDialogWindow* InnermostModal() const { return modal_.empty() ? nullptr : modal_.back(); }
    void PushBox(QMessageBox* box) { boxes_.push_back(box); }
    void PopBox(QMessageBox* box);

    // Ends every open message box, then every running dialog innermost first,
    // with Cancel; dialogs and boxes started from now on end at once.
    void CancelAll();
    bool cancelling() const { return cancelling_; }

private:
    std::map<int, std::unique_ptr<Icon>> icons_;
    std::vector<QtDialogWindow*> modal_;
    std::vector<QMessageBox*> boxes_;
    bool cancelling_ = false;
};

class DialogWidget;

class QtDialogWindow final : public DialogWindow {
public:
    QtDialogWindow(QtDialogHost& host, const res::DialogTemplate& dialog);
    ~QtDialogWindow() override;

    // Window
    bool Send(uint32_t message, WParam wParam, LParam lParam, LResult* result = nullptr) override;
    void WaitServingSends(const Event& done) override;
    void MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    void SetItemText(int id, const std::string& text) override;
    std::string ItemText(int id) override;
    void ComboReset(int id) override;
    void ComboInsert(int id, int position, const std::string& text) override;
    void ComboSetCurSel(int id, int position) override;
    int ComboGetCurSel(int id) override;
    std::string ComboText(int id, int position) override;
    int ComboCount(int id) override;
    void ComboSetItemTip(int id, int position, const std::string& tip) override;

    // DialogFrame
    LResult DefaultProc(uint32_t message, WParam wParam, LParam lParam) override;
    void SetIcon(int which, IconHandle icon) override;
    IconHandle GetIcon(int which) override;
    bool HasWindowMenu() override;
    void AppendWindowMenuSeparator() override;
    void AppendWindowMenuItem(unsigned command, const std::string& text) override;
    bool IsMinimized() override;
    Size ClientSize() override;
    std::unique_ptr<PaintContext> BeginPaint() override;
    void EndDialog(int result) override;
    bool IsEnabled() override;

    // DialogWindow
    int RunModal(MessageTarget& target) override;

    // The widget while the window exists, else nullptr. User-interface thread.
    QDialog* widget() const;
    QMenu* windowMenu() const { return menu_; }

    // From the widgets, on the user-interface thread.
    void OnCommand(int id, uint16_t code);
    void OnSysCommand(unsigned command);
    bool OnDialogKey(int key, Qt::KeyboardModifiers modifiers);
    void ShowWindowMenu(const QPoint& globalPos);
    void OnPaintEvent();
    bool inPaintEvent() const { return inPaintEvent_; }

private:
    bool OnUiThread() const { return std::this_thread::get_id() == uiThread_; }
    // Runs `work` on the user-interface thread and waits for it; false once
    // the window is destroyed.
    template <typename Work>
    bool SendWork(Work&& work) {
        if (OnUiThread()) {
            if (sent_.closed()) {
                return false;
            }
            work();
            return true;
        }
        return sent_.SendAndWait(work);
    }
    LResult Dispatch(uint32_t message, WParam wParam, LParam lParam);
    void Destroy();
    void Build();
    void ShowBox(const std::string& text, const std::string& caption, unsigned type);
    QWidget* Control(int id) const;
    void Centre(QtDialogWindow* owner);
    void FocusFirstTabStop();

    QtDialogHost& host_;
    const res::DialogTemplate& template_;
    const std::thread::id uiThread_;

    // User-interface thread only.
    std::unique_ptr<DialogWidget> widget_;
    std::map<int, QWidget*> controls_;
    QMenu* menu_ = nullptr;  // owned by the widget
    std::unique_ptr<QSocketNotifier> sentNotifier_;
    MessageTarget* target_ = nullptr;
    QEventLoop* loop_ = nullptr;
    bool ran_ = false;
    bool ended_ = false;
    int result_ = -1;
    bool inPaintEvent_ = false;
    IconHandle bigIcon_ = nullptr;
    IconHandle smallIcon_ = nullptr;

    // Between threads: work sent to the user-interface thread.
    SentQueue sent_;
    // The texts that SetItemText put into static texts (labels change no other
    // way), written on the user-interface thread as they are applied, read by
    // workers that set a text: one already shown needs no trip there.
    std::mutex shownTextsLock_;
    std::map<int, std::string> shownTexts_;
};

}  // namespace plk::platform
