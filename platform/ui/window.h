// The dialog window as the rest of the program sees it: synchronous messages
// from worker threads, controls reached by identifier, message boxes.
//
// Implementations: a headless one that tests drive, one on Qt Widgets, one on
// Win32. The thread that created the window is its user-interface thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sys/event.h"

namespace plk::platform {

using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

inline constexpr uint32_t kWmCommand = 273;
inline constexpr uint32_t kWmSysCommand = 274;
inline constexpr uint32_t kWmPaint = 15;
inline constexpr uint32_t kWmQueryDragIcon = 55;
inline constexpr uint32_t kWmUser = 0x0400;

inline constexpr uint16_t kBnClicked = 0;
inline constexpr uint16_t kCbnDropdown = 7;
inline constexpr uint16_t kCbnSelendOk = 9;

inline constexpr unsigned kMbOk = 0x0;
// The icon of a message box, in the bits of kMbIconMask.
inline constexpr unsigned kMbIconMask = 0xF0;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconWarning = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;

// The application's name: the caption of the boxes the program shows as its
// own, where the window layer does not take the executable's base name itself.
inline constexpr const char* kAppName = "plinkor";

// WM_COMMAND's wParam: the control identifier in the low word, the notification
// code in the high word.
constexpr WParam MakeCommandParam(int controlId, uint16_t code) {
    return (static_cast<WParam>(code) << 16) | (static_cast<WParam>(controlId) & 0xFFFF);
}

// Receives the window's messages on its user-interface thread.
class MessageTarget {
public:
    virtual LResult WindowProc(uint32_t message, WParam wParam, LParam lParam) = 0;

protected:
    ~MessageTarget() = default;
};

class Window {
public:
    virtual ~Window() = default;

    // Any thread. On the user-interface thread the target handles the message at
    // once; from another thread the call returns only after the user-interface
    // thread has handled it. Once the window is destroyed it fails at once and
    // returns false.
    virtual bool Send(uint32_t message, WParam wParam, LParam lParam,
                      LResult* result = nullptr) = 0;

    // User-interface thread only: sleeps until `done` is set, meanwhile handling
    // the messages that other threads send (never user input). Elsewhere it just
    // waits for `done`.
    virtual void WaitServingSends(const Event& done) = 0;

    // A message box with one OK button and no owner window; returns when it is
    // dismissed. Any thread.
    virtual void MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
    // A box of the application's own: one OK button, the application's name as
    // its caption (on Windows the executable's base name), this window its
    // owner. Any thread.
    virtual void AppMessageBox(const std::string& text, unsigned type) {
        MessageBox(text, kAppName, type);
    }

    // Controls by identifier. Any thread: from a worker thread each call is a
    // synchronous request to the user-interface thread, and does nothing once the
    // window is destroyed. Texts are UTF-8.
    virtual void SetItemText(int id, const std::string& text) = 0;
    virtual std::string ItemText(int id) = 0;

    // Combo boxes. Insertion at a position never sorts.
    virtual void ComboReset(int id) = 0;
    virtual void ComboInsert(int id, int position, const std::string& text) = 0;
    virtual void ComboSetCurSel(int id, int position) = 0;    // -1: none
    virtual int ComboGetCurSel(int id) = 0;                   // -1: none
    virtual std::string ComboText(int id, int position) = 0;  // empty: no such entry
    virtual int ComboCount(int id) = 0;
    // A longer description of an entry, offered where the platform can (a tooltip);
    // it moves with the entry and goes with it. Platforms without tips ignore it.
    virtual void ComboSetItemTip(int /*id*/, int /*position*/, const std::string& /*tip*/) {}
};

// A box with one OK button and the application's name as its caption.
inline void AfxMessageBox(Window& window, const std::string& text, unsigned type = kMbOk) {
    window.AppMessageBox(text, type);
}

}  // namespace plk::platform
