// The backing image of a drawn control and the canvas that paints into it. Any thread may
// paint (QPainter on a QImage is thread-safe where painting on a widget is not); the
// image's lock keeps one canvas at a time, and the GUI thread takes the same lock only to
// copy the image to the screen.
#pragma once
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QSize>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "window/window.h"

namespace ui::qt {

class PanelImage {
 public:
  // `allocated`: the picture exists from the start (a panel that is only ever drawn);
  // otherwise it is made by the first canvas, and until then the control draws itself.
  PanelImage(QSize size, QColor background, bool allocated);

  // GUI thread: the control's new size. What was painted stays where it fits.
  void Resize(QSize size);
  // GUI thread, from a paint event: draws the picture; false when there is none yet.
  bool CopyTo(QPainter& painter);
  // For tests and screenshots: a copy of what has been painted (null when nothing).
  QImage Snapshot() const;

 private:
  friend class ImageCanvas;
  QImage& ImageLocked();  // made at the control's size on first use

  mutable std::mutex lock_;
  QImage image_;  // guarded by lock_
  QSize size_;    // guarded by lock_
  const QColor background_;
  // Set when a canvas has asked for a copy to the screen that has not started yet.
  std::atomic<bool> copyDue_{false};

 public:
  // GUI thread, as the requested copy starts: later canvases ask again.
  void CopyStarted() { copyDue_.store(false); }
};

class ImageCanvas : public Canvas {
 public:
  // Waits for any other canvas on the image. `requestCopy` runs when this canvas ends and
  // no copy is already due; it must not wait for the GUI thread.
  ImageCanvas(std::shared_ptr<PanelImage> image, std::function<void()> requestCopy);
  ~ImageCanvas() override;

  void Rectangle(Rect rect, const Pen& pen, const Brush& brush) override;
  void FillRect(Rect rect, const Brush& brush) override;
  bool GradientBand(Rect rect, Colour left, Colour right) override;
  void Line(Point from, Point to, const Pen& pen) override;
  void Text(Point at, std::u16string_view text, const Font& font, Colour colour,
            const Rect* clip) override;
  void CopyPicture(Point at, const MonoPicture& picture) override;

 private:
  std::shared_ptr<PanelImage> image_;
  std::function<void()> requestCopy_;
  std::unique_lock<std::mutex> lock_;
  QPainter painter_;
};

}  // namespace ui::qt
