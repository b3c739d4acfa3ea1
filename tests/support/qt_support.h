// Helpers for the tests of the Qt window layer: the session, the host, and
// running a dialog modally while a script acts on it from inside its loop.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "platform/ui/qt/dialog_host_qt.h"

namespace plk::test {

inline platform::QtDialogHost& Host() {
    return *static_cast<platform::QtDialogHost*>(platform::CurrentDialogHost());
}

inline std::unique_ptr<platform::QtDialogWindow> MakeDialog(const res::DialogTemplate& dialog) {
    auto window = Host().CreateDialogWindow(dialog);
    return std::unique_ptr<platform::QtDialogWindow>(
        static_cast<platform::QtDialogWindow*>(window.release()));
}

// The visible top-level widget with this object name, or nullptr.
inline QWidget* Visible(const QString& name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == name && w->isVisible()) {
            return w;
        }
    }
    return nullptr;
}

// Polls in whatever event loop runs (nested ones too) until `find` gives a
// widget, then runs `action` on it once. The poll stops with `owner`.
inline void When(QObject* owner, std::function<QWidget*()> find,
                 std::function<void(QWidget*)> action) {
    auto* timer = new QTimer(owner);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, find, action] {
        if (QWidget* w = find()) {
            timer->stop();
            timer->deleteLater();
            action(w);
        }
    });
    timer->start();
}

// Runs `window` modally; `script` runs from inside its loop. A dialog still
// running after 20 s is ended with -99 (and the test fails on that result).
inline int RunWith(platform::DialogWindow& window, platform::MessageTarget& target,
                   const std::function<void()>& script) {
    QObject guard;
    QTimer::singleShot(0, &guard, [&] { script(); });
    QTimer::singleShot(20000, &guard, [&] { window.EndDialog(-99); });
    return window.RunModal(target);
}

}  // namespace plk::test
