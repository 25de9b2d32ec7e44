#pragma once

#include <QLineEdit>
#include <QString>
#include <functional>

#include "ui/kit/view.h"

class QGraphicsProxyWidget;

namespace strombel::ui::kit {

/// A one-line text field: a real QLineEdit laid into the scene, so it scales with
/// the screen and edits with the keyboard, selection and clipboard of the desktop.
class TextField : public View {
  public:
    explicit TextField(const QRectF& frame = {});
    ~TextField() override;

    QLineEdit& lineEdit() { return *edit_; }
    QString text() const;
    void setText(const QString& text);
    QString placeholder() const;
    void setPlaceholder(const QString& placeholder);
    void setFont(const QFont& font);
    void setTextColor(const QColor& color);
    void setPlaceholderColor(const QColor& color);
    void setBorder(const QColor& color, double width);
    /// Insets of the text inside the field, in points.
    void setTextInsets(double top, double left, double bottom, double right);
    /// Shows the text in capitals; `text()` stays as it was typed.
    void setAllCapitals(bool on);
    /// The most characters the field takes; typing and pasting stop there.
    void setMaxLength(int characters) { edit_->setMaxLength(characters); }
    int maxLength() const { return edit_->maxLength(); }

    void becomeFirstResponder();
    void resignFirstResponder();
    bool isFirstResponder() const;

    /// Called when editing ends with return (the "done" key).
    std::function<void(TextField&)> onReturn;
    std::function<void(TextField&)> onChange;
    /// Asked before an edit by the user takes effect: `length` characters from
    /// `start` of the text as it was are to become `replacement`. A false answer
    /// leaves the text as it was.
    std::function<bool(TextField&, int start, int length, const QString& replacement)> shouldChangeCharacters;

    bool handlesTouches() const override { return true; }

  protected:
    void sizeChanged(const QSizeF& oldSize) override;
    void draw(QPainter& painter) override;

  private:
    void restyle();
    void edited(const QString& text);

    QLineEdit* edit_;              // owned by the proxy
    QGraphicsProxyWidget* proxy_;  // owned by this view (a child item)
    QColor textColor_ = Qt::white;
    QColor placeholderColor_ = QColor(255, 255, 255, 110);
    QColor border_ = Qt::transparent;
    double borderWidth_ = 0;
    bool allCapitals_ = false;
    QString lastText_;  // the text as the user last saw it accepted
};

}  // namespace strombel::ui::kit
