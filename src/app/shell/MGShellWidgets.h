// Small widgets of the main window: the transport buttons (symbol and
// title, borderless), the status label that elides at its head, and the
// in-place rename field. Main thread only.
#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>

#include <functional>

// Text and tint colour of the transport buttons: (237, 235, 226).
QColor MGButtonTint();

// A borderless button showing an optional drawn symbol left of its title, in
// the system font at 13 points medium weight, tinted (237, 235, 226). Its
// width is fixed; its tool tip is the title, or the symbol name without one.
class MGTransportButton : public QAbstractButton {
 public:
  MGTransportButton(const QString& title, const QString& symbol, int width, QWidget* parent = nullptr);

  QString symbol() const { return symbol_; }
  // Changes the symbol (its accessibility description is the title).
  void setSymbol(const QString& symbol);
  void setTitle(const QString& title);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QString symbol_;
  bool hovered_ = false;
};

// A single-line label that keeps the end of a long text visible ("…tail"),
// right-aligned.
class MGElidedLabel : public QLabel {
 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override;
  // Which end of a text too long for the label gives way (the head by
  // default, so that the end of a long path stays visible).
  Qt::TextElideMode elideMode = Qt::ElideLeft;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The rename field. Return, Esc, Tab and Shift-Tab are reported instead of
// being handled by the field or the focus chain.
class MGRenameField : public QLineEdit {
 public:
  enum class Command { Return, Cancel, Tab, Backtab };
  explicit MGRenameField(QWidget* parent = nullptr);
  std::function<void(Command)> commandHandler;

 protected:
  bool event(QEvent* event) override;
};
