#include "BasicWnd.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QRadioButton>
#include <QStringList>
#include <QWindow>

#include <algorithm>

bool InCaptionArea(QPoint p, QRect client, CaptionInsets caption) {
  const int right = client.x() + client.width();
  return client.x() + caption.left <= p.x() && p.x() < right - caption.right &&
         caption.top <= p.y() && p.y() < caption.bottom;
}

int CaptionHitTest(QPoint point, QRect client, CaptionInsets caption, ControlKind under) {
  if (!InCaptionArea(point, client, caption)) return kHitClient;
  switch (under) {
    case ControlKind::kNone:
    case ControlKind::kButton:
    case ControlKind::kOption:
    case ControlKind::kText:
      return kHitClient;
    case ControlKind::kOther:
      break;
  }
  return kHitCaption;
}

ControlKind KindOfControl(const QWidget* widget) {
  if (widget == nullptr) return ControlKind::kNone;
  if (qobject_cast<const QRadioButton*>(widget) || qobject_cast<const QCheckBox*>(widget)) {
    return ControlKind::kOption;
  }
  if (qobject_cast<const QAbstractButton*>(widget)) return ControlKind::kButton;
  if (const auto* label = qobject_cast<const QLabel*>(widget)) {
    // Every label accepts link clicks by default; only one that opens its links counts.
    const Qt::TextInteractionFlags flags = label->textInteractionFlags();
    if ((flags & Qt::TextSelectableByMouse) ||
        ((flags & Qt::LinksAccessibleByMouse) && label->openExternalLinks())) {
      return ControlKind::kText;
    }
  }
  return ControlKind::kOther;
}

QRegion TopRoundedRegion(QRect client, QSize corner) {
  const int cx = corner.width();
  const int cy = corner.height();
  if (cx == 0 && cy == 0) return {};
  const int left = client.x();
  const int top = client.y();
  const int right = client.x() + client.width();
  const int bottom = client.y() + client.height();
  // The lower part is square; the upper part, cut short by the corner width as the original
  // shape rule did, carries the rounded corners and reaches one pixel past the right edge.
  QRegion lower(QRect(QPoint(left, top + cx), QPoint(right - 1, bottom - 1)));
  const int upperRight = right + 1;
  const int upperBottom = bottom - cx;
  QRegion upper;
  if (upperRight > left && upperBottom > top) {
    const int w = upperRight - left;
    const int h = upperBottom - top;
    const int ew = std::min(cx, w);
    const int eh = std::min(cy, h);
    upper += QRect(left + ew / 2, top, w - 2 * (ew / 2), h);
    upper += QRect(left, top + eh / 2, w, h - 2 * (eh / 2));
    if (ew > 0 && eh > 0) {
      upper += QRegion(QRect(left, top, ew, eh), QRegion::Ellipse);
      upper += QRegion(QRect(upperRight - ew, top, ew, eh), QRegion::Ellipse);
      upper += QRegion(QRect(left, upperBottom - eh, ew, eh), QRegion::Ellipse);
      upper += QRegion(QRect(upperRight - ew, upperBottom - eh, ew, eh), QRegion::Ellipse);
    }
  }
  return lower.united(upper);
}

namespace {

QList<int> ParseInts(const QString& text, int count) {
  const QStringList parts = text.split(u',');
  QList<int> values;
  if (parts.size() != count) return QList<int>(count, 0);
  for (const QString& part : parts) {
    bool ok = false;
    const int v = part.trimmed().toInt(&ok);
    if (!ok || v < 0) return QList<int>(count, 0);
    values.append(v);
  }
  return values;
}

}  // namespace

CaptionInsets ParseCaptionInsets(const QString& text) {
  const QList<int> v = ParseInts(text, 4);
  return {v[0], v[1], v[2], v[3]};
}

QSize ParseCornerSize(const QString& text) {
  const QList<int> v = ParseInts(text, 2);
  return {v[0], v[1]};
}

CBasicWnd::CBasicWnd(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint) {
  // Presses and keys in child controls reach the window's rules before the controls see them.
  qApp->installEventFilter(this);
}

CBasicWnd::~CBasicWnd() { qApp->removeEventFilter(this); }

void CBasicWnd::OnSystemCommand(int command) {
  switch (command) {
    case kScClose:
      QCoreApplication::exit(0);
      break;
    case kScMinimize:
      showMinimized();
      break;
    case kScRestore:
      showNormal();
      break;
    default:
      break;
  }
}

int CBasicWnd::HitTest(QPoint globalPoint) const {
  const QPoint local = mapFromGlobal(globalPoint);
  if (!InCaptionArea(local, rect(), caption_)) return kHitClient;
  return CaptionHitTest(local, rect(), caption_, KindOfControl(childAt(local)));
}

void CBasicWnd::SetRoundCorner(QSize corner) {
  corner_ = corner;
  UpdateRegion();
}

bool CBasicWnd::Owns(QObject* object) const {
  if (object == nullptr || !object->isWidgetType()) return false;
  return static_cast<QWidget*>(object)->window() == this;
}

bool CBasicWnd::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      if (!Owns(watched)) break;
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) break;
      const QPoint global = mouse->globalPosition().toPoint();
      if (HitTest(global) != kHitCaption) break;
      if (windowHandle() != nullptr && windowHandle()->startSystemMove()) return true;
      // No system move (offscreen, some X servers): follow the mouse ourselves.
      dragging_ = true;
      dragOffset_ = global - frameGeometry().topLeft();
      return true;
    }
    case QEvent::MouseMove:
      if (dragging_ && Owns(watched)) {
        move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - dragOffset_);
        return true;
      }
      break;
    case QEvent::MouseButtonRelease:
      if (dragging_ && Owns(watched)) {
        dragging_ = false;
        return true;
      }
      break;
    case QEvent::KeyPress:
      if (Owns(watched) && OnWindowKey(static_cast<QKeyEvent*>(event)->key())) return true;
      break;
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}

bool CBasicWnd::OnWindowKey(int) { return false; }

void CBasicWnd::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  UpdateRegion();
}

void CBasicWnd::UpdateRegion() {
  if (isMinimized() || (corner_.width() == 0 && corner_.height() == 0)) return;
  setMask(TopRoundedRegion(rect(), corner_));
}

void CBasicWnd::closeEvent(QCloseEvent* event) {
  // Closing from the window manager or the taskbar runs the same procedure as the close button.
  event->ignore();
  OnSystemCommand(kScClose);
}
