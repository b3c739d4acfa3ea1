// A window with no screen: a user-interface thread of its own with a message
// loop, controls that keep their state, and message boxes that are recorded
// instead of shown. Tests drive the program through it; the program never
// links it.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/sent_queue.h"
#include "platform/ui/window.h"

namespace plk::test {

class HeadlessWindow final : public platform::Window {
public:
    struct Box {
        std::string text;
        std::string caption;
        unsigned type = 0;
    };

    HeadlessWindow();
    ~HeadlessWindow() override;

    // Set before messages flow; the target lives at least until Destroy.
    void SetTarget(platform::MessageTarget* target);

    // Runs `task` on the user-interface thread, as user input is handled there,
    // and returns when it has run.
    void Run(const std::function<void()>& task);
    // The same without waiting.
    void Post(std::function<void()> task);

    // From now on sends fail at once and controls ignore requests.
    void Destroy();
    bool destroyed() const;

    std::vector<Box> Boxes() const;
    // Runs in MessageBox, on the calling thread, while the box is "open".
    void SetBoxHook(std::function<void(const Box&)> hook);
    // Waits up to `timeoutMs` until at least `count` boxes were shown.
    bool WaitForBoxes(std::size_t count, int timeoutMs) const;
    std::string BoxCaption() const { return platform::kAppName; }

    // User input, delivered as the platform does, on the user-interface thread
    // through the target's WindowProc; each returns when it has been handled.
    // A click on a button: BN_CLICKED.
    void Click(int id);
    // The user opens a combo box's list: CBN_DROPDOWN, before the list shows.
    void DropDown(int id);
    // The user picks entry `position` of a combo box: the selection moves, then
    // CBN_SELENDOK.
    void Choose(int id, int position);

    std::vector<std::string> ComboItems(int id) const;
    std::string ComboTip(int id, int position) const;

    bool Send(uint32_t message, platform::WParam wParam, platform::LParam lParam,
              platform::LResult* result = nullptr) override;
    void WaitServingSends(const platform::Event& done) override;
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

private:
    struct Item {
        std::string text;
        std::string tip;
    };
    struct Control {
        std::string text;
        std::vector<Item> items;
        int selection = -1;
    };

    bool OnUiThread() const { return std::this_thread::get_id() == uiThreadId_; }
    // Runs `work` on the user-interface thread as a sent message: synchronously,
    // served even while that thread waits in WaitServingSends. False when the
    // window is destroyed.
    template <typename Work>
    bool SendWork(Work&& work) {
        if (OnUiThread()) {
            if (destroyed()) {
                return false;
            }
            work();
            return true;
        }
        return sent_.SendAndWait(work);
    }
    void Loop();
    void Notify(int id, uint16_t code);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    platform::SentQueue sent_;
    std::deque<std::function<void()>> posted_;
    bool quit_ = false;
    platform::MessageTarget* target_ = nullptr;
    std::vector<Box> boxes_;
    std::function<void(const Box&)> boxHook_;
    std::map<int, Control> controls_;  // touched on the user-interface thread, read by tests
    platform::Event postedEvent_;
    std::thread::id uiThreadId_;
    std::thread thread_;
};

}  // namespace plk::test
