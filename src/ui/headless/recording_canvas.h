// The headless drawing context: every call is written down, in order, into the drawing
// record of the control it was taken on, so tests and tools can see what was painted.
// The record stands for the control's backing image: a canvas holds its lock for its
// whole life, as the canvas contract of window/window.h asks.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "window/window.h"

namespace ui::headless {

enum class DrawKind : uint8_t { Rectangle, Fill, Gradient, Line, Text, Picture };

struct DrawCall {
  DrawKind kind = DrawKind::Fill;
  Rect rect;       // Rectangle, Fill, Gradient
  Point from, to;  // Line; Text and Picture use `from` as the position
  Pen pen;         // Rectangle, Line
  Brush brush;     // Rectangle, Fill
  Colour colour;   // Text; Gradient: left edge
  Colour colour2;  // Gradient: right edge
  std::u16string text;
  std::u16string fontFace;
  int32_t fontHeight = 0;
  int32_t fontWeight = 0;
  bool italic = false;
  bool clipped = false;
  Rect clip;
  int32_t pictureWidth = 0;
  int32_t pictureHeight = 0;
  std::vector<uint8_t> pictureBits;  // rows of (width + 7) / 8 bytes
};

// One control's drawing record, shared by every canvas taken on it.
class DrawingRecord {
 public:
  std::vector<DrawCall> Calls() const;
  size_t CallCount() const;   // every call since the last Clear, kept or not
  size_t PaintCount() const;  // canvases taken since the last Clear
  void Clear();
  // false: calls are only counted (long runs that would otherwise fill memory).
  void SetKeepCalls(bool keep);
  // Whether canvases taken on this control offer the gradient.
  void SetGradientAvailable(bool available);
  bool GradientAvailable() const;

  void Add(DrawCall call);
  // The image's lock: held by a canvas from its creation to its end, so paints on one
  // control follow each other whole. The call list has a lock of its own, so readers
  // never wait for a paint.
  std::mutex& ImageLock() { return imageLock_; }
  void CountPaint();

 private:
  std::mutex imageLock_;
  mutable std::mutex lock_;
  std::vector<DrawCall> calls_;
  size_t count_ = 0;
  size_t paints_ = 0;
  bool keep_ = true;
  bool gradient_ = true;
};

class RecordingCanvas : public Canvas {
 public:
  // Waits for any other canvas on the same record to end.
  explicit RecordingCanvas(std::shared_ptr<DrawingRecord> record);

  void Rectangle(Rect rect, const Pen& pen, const Brush& brush) override;
  void FillRect(Rect rect, const Brush& brush) override;
  bool GradientBand(Rect rect, Colour left, Colour right) override;
  void Line(Point from, Point to, const Pen& pen) override;
  void Text(Point at, std::u16string_view text, const Font& font, Colour colour,
            const Rect* clip) override;
  void CopyPicture(Point at, const MonoPicture& picture) override;

 private:
  std::shared_ptr<DrawingRecord> record_;
  std::unique_lock<std::mutex> image_;
};

}  // namespace ui::headless
