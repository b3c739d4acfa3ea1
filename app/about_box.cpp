#include "app/about_box.h"

#include "res/templates.h"

namespace plk {

int CAboutBox::DoModal() {
    platform::DialogHost* host = platform::CurrentDialogHost();
    if (host == nullptr) {
        return -1;
    }
    const std::unique_ptr<platform::DialogWindow> window =
        host->CreateDialogWindow(res::AboutBox());
    if (!window) {
        return -1;
    }
    m_frame = window.get();
    const int result = window->RunModal(*this);
    m_frame = nullptr;
    return result;
}

platform::LResult CAboutBox::WindowProc(uint32_t message, platform::WParam wParam,
                                        platform::LParam lParam) {
    return m_frame != nullptr ? m_frame->DefaultProc(message, wParam, lParam) : 0;
}

}  // namespace plk
