#include "ui/kit/text_field.h"

#include <QGraphicsProxyWidget>
#include <QPainter>
#include <QPalette>
#include <QSignalBlocker>
#include <algorithm>
#include <memory>

namespace strombel::ui::kit {

TextField::TextField(const QRectF& frame) : View(frame) {
    auto proxy = std::make_unique<QGraphicsProxyWidget>(this);
    proxy_ = proxy.release();  // a child item: deleted with this view
    auto edit = std::make_unique<QLineEdit>();
    edit_ = edit.get();
    edit_->setFrame(false);
    edit_->setMinimumSize(1, 1);  // the field's frame decides, not the font's size hint
    edit_->setAttribute(Qt::WA_TranslucentBackground);
    proxy_->setWidget(edit.release());  // the proxy owns the widget
    QObject::connect(edit_, &QLineEdit::returnPressed, [this] {
        if (onReturn) onReturn(*this);
    });
    QObject::connect(edit_, &QLineEdit::textEdited, [this](const QString& text) { edited(text); });
    restyle();
    sizeChanged({});
}

TextField::~TextField() = default;

QString TextField::text() const {
    return edit_->text();
}
void TextField::setText(const QString& text) {
    edit_->setText(text);
    lastText_ = edit_->text();
}

void TextField::edited(const QString& text) {
    if (shouldChangeCharacters) {
        // The edit as a range of the text before it and what took its place.
        const qsizetype shorter = std::min(text.size(), lastText_.size());
        qsizetype prefix = 0;
        while (prefix < shorter && text[prefix] == lastText_[prefix]) ++prefix;
        qsizetype suffix = 0;
        while (suffix < shorter - prefix && text[text.size() - 1 - suffix] == lastText_[lastText_.size() - 1 - suffix])
            ++suffix;
        const int length = int(lastText_.size() - prefix - suffix);
        const QString replacement = text.mid(prefix, text.size() - prefix - suffix);
        // The hook sees the text as it was before the edit.
        const int cursor = edit_->cursorPosition();
        QSignalBlocker quiet(edit_);
        edit_->setText(lastText_);
        if (!shouldChangeCharacters(*this, int(prefix), length, replacement)) {
            edit_->setCursorPosition(int(prefix) + length);
            return;
        }
        edit_->setText(text);
        edit_->setCursorPosition(cursor);
    }
    lastText_ = edit_->text();
    if (onChange) onChange(*this);
}
QString TextField::placeholder() const {
    return edit_->placeholderText();
}
void TextField::setPlaceholder(const QString& placeholder) {
    edit_->setPlaceholderText(placeholder);
}

void TextField::setFont(const QFont& font) {
    QFont shown = font;
    shown.setCapitalization(allCapitals_ ? QFont::AllUppercase : QFont::MixedCase);
    edit_->setFont(shown);
    sizeChanged(size());
}

void TextField::setTextColor(const QColor& color) {
    textColor_ = color;
    restyle();
}

void TextField::setPlaceholderColor(const QColor& color) {
    placeholderColor_ = color;
    restyle();
}

void TextField::setBorder(const QColor& color, double width) {
    border_ = color;
    borderWidth_ = width;
    sizeChanged(size());
    update();
}

void TextField::setTextInsets(double top, double left, double bottom, double right) {
    edit_->setTextMargins(static_cast<int>(left), static_cast<int>(top), static_cast<int>(right),
                          static_cast<int>(bottom));
}

void TextField::setAllCapitals(bool on) {
    allCapitals_ = on;
    // Only the letters drawn change: the text stays as typed.
    setFont(edit_->font());
}

void TextField::becomeFirstResponder() {
    proxy_->setFocus();
    edit_->setFocus();
}

void TextField::resignFirstResponder() {
    edit_->clearFocus();
    proxy_->clearFocus();
}

bool TextField::isFirstResponder() const {
    return edit_->hasFocus();
}

void TextField::restyle() {
    QPalette palette = edit_->palette();
    palette.setColor(QPalette::Text, textColor_);
    palette.setColor(QPalette::PlaceholderText, placeholderColor_);
    palette.setColor(QPalette::Base, Qt::transparent);
    palette.setColor(QPalette::Window, Qt::transparent);
    edit_->setPalette(palette);
}

void TextField::sizeChanged(const QSizeF&) {
    const double inset = borderWidth_;
    const QRectF area(inset, inset, std::max(1.0, width() - 2 * inset),
                      std::max(1.0, height() - 2 * inset));
    edit_->setFixedSize(area.size().toSize());
    proxy_->setGeometry(area);
}

void TextField::draw(QPainter& painter) {
    if (borderWidth_ > 0 && border_.alpha() > 0) {
        painter.setPen(QPen(border_, borderWidth_));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(bounds().adjusted(borderWidth_ / 2, borderWidth_ / 2, -borderWidth_ / 2,
                                           -borderWidth_ / 2));
    }
}

}  // namespace strombel::ui::kit
