#include "app/shell/MGShellWidgets.h"

#include <QEnterEvent>
#include <QKeyEvent>
#include <QPainter>

#include <optional>

#include "app/shell/MGSymbols.h"

QColor MGButtonTint() { return QColor(237, 235, 226); }

namespace {
constexpr int kButtonHeight = 30;
constexpr int kSymbolSize = 16;
constexpr int kSymbolGap = 5;
}  // namespace

MGTransportButton::MGTransportButton(const QString& title, const QString& symbol, int width, QWidget* parent)
    : QAbstractButton(parent), symbol_(symbol) {
  setText(title);
  setFixedWidth(width);
  setFixedHeight(kButtonHeight);
  setFocusPolicy(Qt::NoFocus);
  setCursor(Qt::ArrowCursor);
  QFont f = font();
  f.setPixelSize(13);
  f.setWeight(QFont::Medium);
  setFont(f);
  setToolTip(title.isEmpty() ? symbol : title);
  setAccessibleName(title.isEmpty() ? symbol : title);
}

void MGTransportButton::setSymbol(const QString& symbol) {
  symbol_ = symbol;
  update();
}

void MGTransportButton::setTitle(const QString& title) {
  setText(title);
  setAccessibleName(title);
  update();
}

QSize MGTransportButton::sizeHint() const { return {width(), kButtonHeight}; }

void MGTransportButton::enterEvent(QEnterEvent* event) {
  hovered_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void MGTransportButton::leaveEvent(QEvent* event) {
  hovered_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

void MGTransportButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, true);
  QColor tint = MGButtonTint();
  if (!isEnabled()) tint.setAlphaF(0.35);
  if (isDown()) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 28));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
  } else if (hovered_ && isEnabled()) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 14));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
  }
  const QString title = text();
  const QFontMetricsF fm(font());
  const bool hasSymbol = MGHasSymbol(symbol_);
  const double textW = title.isEmpty() ? 0 : fm.horizontalAdvance(title);
  const double contentW = (hasSymbol ? kSymbolSize : 0) + (hasSymbol && !title.isEmpty() ? kSymbolGap : 0) + textW;
  double x = (width() - contentW) / 2;
  if (hasSymbol) {
    MGDrawSymbol(p, symbol_, QRectF(x, (height() - kSymbolSize) / 2.0, kSymbolSize, kSymbolSize), tint);
    x += kSymbolSize + (title.isEmpty() ? 0 : kSymbolGap);
  }
  if (!title.isEmpty()) {
    p.setPen(tint);
    p.setFont(font());
    p.drawText(QRectF(x, 0, textW + 1, height()), Qt::AlignVCenter | Qt::AlignLeft, title);
  }
}

QSize MGElidedLabel::minimumSizeHint() const {
  QSize s = QLabel::minimumSizeHint();
  s.setWidth(0);
  return s;
}

void MGElidedLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setFont(font());
  p.setPen(palette().color(QPalette::WindowText));
  const QString shown = fontMetrics().elidedText(text(), elideMode, width());
  p.drawText(rect(), static_cast<int>(alignment()), shown);
}

MGRenameField::MGRenameField(QWidget* parent) : QLineEdit(parent) {}

bool MGRenameField::event(QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    std::optional<Command> command;
    switch (key->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter: command = Command::Return; break;
      case Qt::Key_Escape: command = Command::Cancel; break;
      case Qt::Key_Tab: command = (key->modifiers() & Qt::ShiftModifier) ? Command::Backtab : Command::Tab; break;
      case Qt::Key_Backtab: command = Command::Backtab; break;
      default: break;
    }
    if (command && commandHandler) {
      // The handler may delete this field: copy it and return at once.
      auto handler = commandHandler;
      handler(*command);
      return true;
    }
  }
  return QLineEdit::event(event);
}
