#include "ui/headless/recording_canvas.h"

#include <utility>

namespace ui::headless {

std::vector<DrawCall> DrawingRecord::Calls() const {
  std::lock_guard lock(lock_);
  return calls_;
}

size_t DrawingRecord::CallCount() const {
  std::lock_guard lock(lock_);
  return count_;
}

size_t DrawingRecord::PaintCount() const {
  std::lock_guard lock(lock_);
  return paints_;
}

void DrawingRecord::Clear() {
  std::lock_guard lock(lock_);
  calls_.clear();
  count_ = 0;
  paints_ = 0;
}

void DrawingRecord::CountPaint() {
  std::lock_guard lock(lock_);
  ++paints_;
}

void DrawingRecord::SetKeepCalls(bool keep) {
  std::lock_guard lock(lock_);
  keep_ = keep;
}

void DrawingRecord::SetGradientAvailable(bool available) {
  std::lock_guard lock(lock_);
  gradient_ = available;
}

bool DrawingRecord::GradientAvailable() const {
  std::lock_guard lock(lock_);
  return gradient_;
}

void DrawingRecord::Add(DrawCall call) {
  std::lock_guard lock(lock_);
  ++count_;
  if (keep_) calls_.push_back(std::move(call));
}

RecordingCanvas::RecordingCanvas(std::shared_ptr<DrawingRecord> record)
    : record_(std::move(record)), image_(record_->ImageLock()) {
  record_->CountPaint();
}

void RecordingCanvas::Rectangle(Rect rect, const Pen& pen, const Brush& brush) {
  DrawCall call;
  call.kind = DrawKind::Rectangle;
  call.rect = rect;
  call.pen = pen;
  call.brush = brush;
  record_->Add(std::move(call));
}

void RecordingCanvas::FillRect(Rect rect, const Brush& brush) {
  DrawCall call;
  call.kind = DrawKind::Fill;
  call.rect = rect;
  call.brush = brush;
  record_->Add(std::move(call));
}

bool RecordingCanvas::GradientBand(Rect rect, Colour left, Colour right) {
  if (!record_->GradientAvailable()) return false;
  DrawCall call;
  call.kind = DrawKind::Gradient;
  call.rect = rect;
  call.colour = left;
  call.colour2 = right;
  record_->Add(std::move(call));
  return true;
}

void RecordingCanvas::Line(Point from, Point to, const Pen& pen) {
  DrawCall call;
  call.kind = DrawKind::Line;
  call.from = from;
  call.to = to;
  call.pen = pen;
  record_->Add(std::move(call));
}

void RecordingCanvas::Text(Point at, std::u16string_view text, const Font& font, Colour colour,
                           const Rect* clip) {
  DrawCall call;
  call.kind = DrawKind::Text;
  call.from = at;
  call.text = text;
  call.fontFace = font.face;
  call.fontHeight = font.height;
  call.fontWeight = font.weight;
  call.italic = font.italic;
  call.colour = colour;
  if (clip != nullptr) {
    call.clipped = true;
    call.clip = *clip;
  }
  record_->Add(std::move(call));
}

void RecordingCanvas::CopyPicture(Point at, const MonoPicture& picture) {
  DrawCall call;
  call.kind = DrawKind::Picture;
  call.from = at;
  call.pictureWidth = picture.width;
  call.pictureHeight = picture.height;
  // Repacked to a plain stride so records compare equal whatever the source stride.
  const int32_t rowBytes = (picture.width + 7) / 8;
  for (int32_t row = 0; row < picture.height; ++row) {
    const size_t start = static_cast<size_t>(row) * static_cast<size_t>(picture.stride);
    for (int32_t column = 0; column < rowBytes; ++column) {
      const size_t index = start + static_cast<size_t>(column);
      call.pictureBits.push_back(index < picture.bits.size() ? picture.bits[index] : 0);
    }
  }
  record_->Add(std::move(call));
}

}  // namespace ui::headless
