// The widgets of a Qt dialog and the helpers its files share. Included only by
// the dialog's own *_qt.cpp files.
#pragma once

#include <QAbstractItemView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <algorithm>
#include <memory>
#include <string_view>

#include "platform/ui/qt/dialog_host_qt.h"

namespace plk::platform {

inline QString Utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A painter on the widget during its paint event; outside one, drawing goes
// nowhere (there is nothing on screen to draw on).
class QtPaintContext final : public PaintContext {
public:
    QtPaintContext(QWidget* widget, Size iconSize) : iconSize_(iconSize) {
        if (widget != nullptr) {
            painter_ = std::make_unique<QPainter>(widget);
        }
    }
    void DrawIcon(int x, int y, IconHandle icon) override {
        if (painter_ && icon != nullptr) {
            painter_->drawPixmap(QRect(x, y, iconSize_.width, iconSize_.height), icon->pixmap);
        }
    }
    void EraseBackground(const QRect& rect, const QColor& colour) {
        if (painter_) {
            painter_->fillRect(rect, colour);
        }
    }

private:
    Size iconSize_;
    std::unique_ptr<QPainter> painter_;
};

// A static text. The dialog manager would wrap a text wider than the control's
// rectangle onto a second line, which a rectangle one line high cuts off; here
// the line reaches as far to the right as the text needs, within the dialog,
// so that a status text longer than its rectangle is still read whole where
// it starts. A text that fits keeps the template's rectangle.
class StaticWidget final : public QLabel {
public:
    StaticWidget(const QRect& rect, QWidget* dialog) : QLabel(dialog), rect_(rect) {
        setTextFormat(Qt::PlainText);
        setAlignment(Qt::AlignLeft | Qt::AlignTop);
        setGeometry(rect_);
    }
    void SetText(const QString& text) {
        setText(text);
        const int room = std::max(rect_.width(), parentWidget()->width() - rect_.x());
        setGeometry(rect_.x(), rect_.y(), std::clamp(sizeHint().width(), rect_.width(), room),
                    rect_.height());
    }

private:
    QRect rect_;  // the template's
};

// A drop-down combo box that tells the dialog before its list opens.
class ComboWidget final : public QComboBox {
public:
    ComboWidget(QtDialogWindow& owner, int id, QWidget* parent)
        : QComboBox(parent), owner_(owner), id_(id) {}
    void showPopup() override {
        owner_.OnCommand(id_, kCbnDropdown);
        QComboBox::showPopup();
    }

private:
    QtDialogWindow& owner_;
    int id_;
};

// The dialog's top-level widget: its keys, its close box, its window menu and
// its painting go to the owning QtDialogWindow.
class DialogWidget final : public QDialog {
public:
    explicit DialogWidget(QtDialogWindow& owner) : owner_(owner) {}

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!owner_.OnDialogKey(event->key(), event->modifiers())) {
            event->ignore();
        }
    }
    void closeEvent(QCloseEvent* event) override {
        // The close box is the window menu's close command; the dialog decides.
        event->ignore();
        owner_.OnSysCommand(kScClose);
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        owner_.ShowWindowMenu(event->globalPos());
    }
    void paintEvent(QPaintEvent* event) override {
        QDialog::paintEvent(event);
        owner_.OnPaintEvent();
    }
    // Enter and Escape typed into a combo box whose list is closed belong to
    // the dialog, as with a native dialog.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            const int k = key->key();
            if (k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Escape) {
                QObject* object = watched;
                while (object != nullptr && qobject_cast<QComboBox*>(object) == nullptr) {
                    object = object->parent();
                }
                auto* combo = qobject_cast<QComboBox*>(object);
                if (combo != nullptr && !(combo->view() != nullptr && combo->view()->isVisible())) {
                    return owner_.OnDialogKey(k, key->modifiers());
                }
            }
        }
        return QDialog::eventFilter(watched, event);
    }

private:
    QtDialogWindow& owner_;
};

}  // namespace plk::platform
