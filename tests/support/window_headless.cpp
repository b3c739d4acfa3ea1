#include "support/window_headless.h"

#include <chrono>
#include <future>

namespace plk::test {

using namespace platform;

HeadlessWindow::HeadlessWindow() {
    std::promise<std::thread::id> started;
    auto id = started.get_future();
    thread_ = std::thread([this, &started] {
        started.set_value(std::this_thread::get_id());
        Loop();
    });
    uiThreadId_ = id.get();
}

HeadlessWindow::~HeadlessWindow() {
    Destroy();
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    postedEvent_.Set();
    thread_.join();
}

void HeadlessWindow::SetTarget(MessageTarget* target) {
    std::lock_guard lock(mutex_);
    target_ = target;
}

void HeadlessWindow::Loop() {
    for (;;) {
        const Waitable objects[] = {sent_.pending().waitable(), postedEvent_.waitable()};
        WaitAny(objects);
        sent_.Serve();
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (!posted_.empty()) {
                task = std::move(posted_.front());
                posted_.pop_front();
            } else {
                postedEvent_.Reset();
                if (quit_) {
                    return;
                }
            }
        }
        if (task) {
            task();
        }
    }
}

void HeadlessWindow::Run(const std::function<void()>& task) {
    std::promise<void> finished;
    Post([&] {
        task();
        finished.set_value();
    });
    finished.get_future().wait();
}

void HeadlessWindow::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(task));
    }
    postedEvent_.Set();
}

void HeadlessWindow::Destroy() {
    sent_.Close();
}

bool HeadlessWindow::destroyed() const {
    return sent_.closed();
}

bool HeadlessWindow::Send(uint32_t message, WParam wParam, LParam lParam, LResult* result) {
    LResult value = 0;
    bool handled = false;
    const bool sent = SendWork([&] {
        MessageTarget* target = nullptr;
        {
            std::lock_guard lock(mutex_);
            target = target_;
        }
        if (target != nullptr) {
            value = target->WindowProc(message, wParam, lParam);
        }
        handled = true;
    });
    if (result != nullptr) {
        *result = value;
    }
    return sent && handled;
}

void HeadlessWindow::WaitServingSends(const Event& done) {
    if (!OnUiThread()) {
        const Waitable objects[] = {done.waitable()};
        WaitAny(objects);
        return;
    }
    sent_.ServeUntil(done);
}

void HeadlessWindow::MessageBox(const std::string& text, const std::string& caption,
                                unsigned type) {
    const Box box{text, caption, type};
    std::function<void(const Box&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = boxHook_;
    }
    if (hook) {
        hook(box);
    }
    {
        std::lock_guard lock(mutex_);
        boxes_.push_back(box);
    }
    changed_.notify_all();
}

void HeadlessWindow::SetBoxHook(std::function<void(const Box&)> hook) {
    std::lock_guard lock(mutex_);
    boxHook_ = std::move(hook);
}

std::vector<HeadlessWindow::Box> HeadlessWindow::Boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

bool HeadlessWindow::WaitForBoxes(std::size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return boxes_.size() >= count; });
}

void HeadlessWindow::SetItemText(int id, const std::string& text) {
    SendWork([&] {
        std::lock_guard lock(mutex_);
        controls_[id].text = text;
    });
}

std::string HeadlessWindow::ItemText(int id) {
    std::lock_guard lock(mutex_);
    return controls_[id].text;
}

void HeadlessWindow::ComboReset(int id) {
    SendWork([&] {
        std::lock_guard lock(mutex_);
        controls_[id] = Control{};
    });
}

void HeadlessWindow::ComboInsert(int id, int position, const std::string& text) {
    SendWork([&] {
        std::lock_guard lock(mutex_);
        auto& items = controls_[id].items;
        if (position < 0 || position > static_cast<int>(items.size())) {
            items.push_back(Item{text, {}});  // -1 appends, as a list box does
        } else {
            items.insert(items.begin() + position, Item{text, {}});
        }
    });
}

void HeadlessWindow::ComboSetCurSel(int id, int position) {
    SendWork([&] {
        std::lock_guard lock(mutex_);
        Control& control = controls_[id];
        if (position >= 0 && position < static_cast<int>(control.items.size())) {
            control.selection = position;
            control.text = control.items[static_cast<std::size_t>(position)].text;
        } else {
            control.selection = -1;
            control.text.clear();
        }
    });
}

int HeadlessWindow::ComboGetCurSel(int id) {
    std::lock_guard lock(mutex_);
    return controls_[id].selection;
}

std::string HeadlessWindow::ComboText(int id, int position) {
    std::lock_guard lock(mutex_);
    const auto& items = controls_[id].items;
    if (position < 0 || position >= static_cast<int>(items.size())) {
        return {};
    }
    return items[static_cast<std::size_t>(position)].text;
}

int HeadlessWindow::ComboCount(int id) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(controls_[id].items.size());
}

void HeadlessWindow::ComboSetItemTip(int id, int position, const std::string& tip) {
    SendWork([&] {
        std::lock_guard lock(mutex_);
        auto& items = controls_[id].items;
        if (position >= 0 && position < static_cast<int>(items.size())) {
            items[static_cast<std::size_t>(position)].tip = tip;
        }
    });
}

std::vector<std::string> HeadlessWindow::ComboItems(int id) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    const auto found = controls_.find(id);
    if (found != controls_.end()) {
        for (const Item& item : found->second.items) {
            texts.push_back(item.text);
        }
    }
    return texts;
}

std::string HeadlessWindow::ComboTip(int id, int position) const {
    std::lock_guard lock(mutex_);
    const auto found = controls_.find(id);
    if (found == controls_.end() || position < 0 ||
        position >= static_cast<int>(found->second.items.size())) {
        return {};
    }
    return found->second.items[static_cast<std::size_t>(position)].tip;
}

void HeadlessWindow::Notify(int id, uint16_t code) {
    Send(kWmCommand, MakeCommandParam(id, code), 0);
}

void HeadlessWindow::Click(int id) {
    Run([&] { Notify(id, kBnClicked); });
}

void HeadlessWindow::DropDown(int id) {
    Run([&] { Notify(id, kCbnDropdown); });
}

void HeadlessWindow::Choose(int id, int position) {
    Run([&] {
        ComboSetCurSel(id, position);
        Notify(id, kCbnSelendOk);
    });
}

}  // namespace plk::test
