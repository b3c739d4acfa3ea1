// The Qt dialog host: dialogs from their templates, the module's icons, the
// dialog font, and the stack of running dialogs and boxes that a termination
// signal cancels.
#include "platform/ui/qt/dialog_host_qt.h"

#include <QApplication>
#include <QStyle>

namespace plk::platform {

QtDialogHost::QtDialogHost() = default;
QtDialogHost::~QtDialogHost() = default;

std::unique_ptr<DialogWindow> QtDialogHost::CreateDialogWindow(const res::DialogTemplate& dialog) {
    return std::make_unique<QtDialogWindow>(*this, dialog);
}

IconHandle QtDialogHost::LoadIcon(int id) {
    if (const auto it = icons_.find(id); it != icons_.end()) {
        return it->second.get();
    }
    const std::span<const uint8_t> png = res::IconPng(id);
    if (png.empty()) {
        return nullptr;
    }
    auto icon = std::make_unique<Icon>();
    if (!icon->pixmap.loadFromData(png.data(), static_cast<uint>(png.size()), "PNG")) {
        return nullptr;
    }
    icon->icon = QIcon(icon->pixmap);
    return icons_.emplace(id, std::move(icon)).first->second.get();
}

Size QtDialogHost::IconSize() {
    const int size = QApplication::style()->pixelMetric(QStyle::PM_LargeIconSize);
    return {size, size};
}

QFont QtDialogHost::DialogFont(const res::DialogTemplate& dialog) {
    QStringList families;
    for (std::string_view family : res::DialogFontFamilies()) {
        families << QString::fromUtf8(family.data(), static_cast<qsizetype>(family.size()));
    }
    QFont font;
    font.setFamilies(families);
    font.setPointSize(dialog.pointSize);
    font.setWeight(QFont::Normal);
    font.setItalic(dialog.italic);
    return font;
}

void QtDialogHost::PopModal(QtDialogWindow* dialog) {
    std::erase(modal_, dialog);
}

void QtDialogHost::PopBox(QMessageBox* box) {
    std::erase(boxes_, box);
}

void QtDialogHost::CancelAll() {
    cancelling_ = true;
    // An open window menu or drop-down list runs a loop of its own.
    for (int guard = 0; guard < 16 && QApplication::activePopupWidget() != nullptr; ++guard) {
        QApplication::activePopupWidget()->close();
    }
    for (auto it = boxes_.rbegin(); it != boxes_.rend(); ++it) {
        (*it)->reject();
    }
    for (auto it = modal_.rbegin(); it != modal_.rend(); ++it) {
        (*it)->EndDialog(kIdCancel);
    }
}

}  // namespace plk::platform
