// The base of the program's skinned window: no system caption or frame, dragged by the skin's
// caption area, top corners rounded, not resizable by its edges. The geometry rules are pure
// functions so that tests check them without a display.
#pragma once

#include <QPoint>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QWidget>

// Hit-test results, numbered as the window system numbers them.
inline constexpr int kHitClient = 1;
inline constexpr int kHitCaption = 2;

// System commands the window understands.
inline constexpr int kScMinimize = 0xF020;
inline constexpr int kScClose = 0xF060;
inline constexpr int kScRestore = 0xF120;

// The skin's caption area: left and right are insets from the client's sides, top and bottom are
// client coordinates. Written in the skin as "left,top,right,bottom".
struct CaptionInsets {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

// What lies under a point of the caption area. Buttons, option buttons and interactive text
// stay clickable; anything else there drags the window.
enum class ControlKind { kNone, kButton, kOption, kText, kOther };

// `client` is the client rectangle with an exclusive right and bottom edge (x + width,
// y + height); `point` is in client coordinates.
bool InCaptionArea(QPoint point, QRect client, CaptionInsets caption);
int CaptionHitTest(QPoint point, QRect client, CaptionInsets caption, ControlKind under);

// Push buttons and tool buttons are buttons, radio buttons and check boxes are option buttons,
// a label whose text can be selected with the mouse, or whose links open when clicked, is text;
// a plain label (the window title, say) is part of the background and drags.
ControlKind KindOfControl(const QWidget* widget);

// The window shape: the client rectangle with its two top corners rounded by an ellipse of
// `corner` (width, height). Empty when the corner size is (0, 0): the window stays rectangular.
QRegion TopRoundedRegion(QRect client, QSize corner);

// "l,t,r,b" and "w,h" as the skin writes them; malformed text gives zeros.
CaptionInsets ParseCaptionInsets(const QString& text);
QSize ParseCornerSize(const QString& text);

class CBasicWnd : public QWidget {
  Q_OBJECT

 public:
  explicit CBasicWnd(QWidget* parent = nullptr);
  ~CBasicWnd() override;

  // Builds the content; called once by the creator after construction.
  virtual bool BuildWindow() = 0;
  // Close, minimise and restore, as the window's system menu sends them.
  virtual void OnSystemCommand(int command);

  // The hit test of a point in screen coordinates.
  int HitTest(QPoint globalPoint) const;

  void SetCaption(CaptionInsets caption) { caption_ = caption; }
  CaptionInsets caption() const { return caption_; }
  void SetRoundCorner(QSize corner);
  QSize roundCorner() const { return corner_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // Key presses anywhere in the window, before the focused control sees them; true consumes.
  virtual bool OnWindowKey(int key);

 private:
  void UpdateRegion();
  bool Owns(QObject* object) const;

  CaptionInsets caption_;
  QSize corner_;
  bool dragging_ = false;
  QPoint dragOffset_;
};
