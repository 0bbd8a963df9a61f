#include "ui/qt/panel_image.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QString>
#include <algorithm>
#include <cstring>
#include <utility>

#include "ui/qt/dialog_font.h"

namespace ui::qt {
namespace {

QColor ToQColor(Colour colour) {
  return QColor(colour.red, colour.green, colour.blue);
}

// Edges in either order, as the drawing calls accept them; right and bottom exclusive.
QRect Normalised(Rect rect) {
  const int32_t left = std::min(rect.left, rect.right);
  const int32_t top = std::min(rect.top, rect.bottom);
  return QRect(left, top, std::max(rect.left, rect.right) - left,
               std::max(rect.top, rect.bottom) - top);
}

}  // namespace

PanelImage::PanelImage(QSize size, QColor background, bool allocated)
    : size_(size), background_(background) {
  if (allocated) ImageLocked();
}

QImage& PanelImage::ImageLocked() {
  if (image_.isNull() || image_.size() != size_) {
    QImage made(size_.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    made.fill(background_);
    if (!image_.isNull()) {
      QPainter copy(&made);
      copy.drawImage(0, 0, image_);
    }
    image_ = std::move(made);
  }
  return image_;
}

void PanelImage::Resize(QSize size) {
  std::lock_guard lock(lock_);
  size_ = size;
  if (!image_.isNull()) ImageLocked();
}

bool PanelImage::CopyTo(QPainter& painter) {
  std::lock_guard lock(lock_);
  if (image_.isNull()) return false;
  painter.drawImage(0, 0, image_);
  return true;
}

QImage PanelImage::Snapshot() const {
  std::lock_guard lock(lock_);
  return image_.copy();
}

ImageCanvas::ImageCanvas(std::shared_ptr<PanelImage> image, std::function<void()> requestCopy)
    : image_(std::move(image)), requestCopy_(std::move(requestCopy)), lock_(image_->lock_) {
  painter_.begin(&image_->ImageLocked());
  painter_.setRenderHint(QPainter::Antialiasing, false);
}

ImageCanvas::~ImageCanvas() {
  painter_.end();
  lock_.unlock();
  if (!image_->copyDue_.exchange(true) && requestCopy_) requestCopy_();
}

void ImageCanvas::Rectangle(Rect rect, const Pen& pen, const Brush& brush) {
  const QRect area = Normalised(rect);
  if (area.isEmpty()) return;
  painter_.fillRect(area, ToQColor(brush.colour));
  if (pen.width <= 0) return;
  // The outline lies inside the rectangle: its last row and column are the ones before
  // the exclusive edges.
  painter_.setPen(QPen(ToQColor(pen.colour), pen.width));
  painter_.setBrush(Qt::NoBrush);
  painter_.setClipping(false);
  painter_.drawRect(area.adjusted(0, 0, -1, -1));
}

void ImageCanvas::FillRect(Rect rect, const Brush& brush) {
  const QRect area = Normalised(rect);
  if (!area.isEmpty()) painter_.fillRect(area, ToQColor(brush.colour));
}

bool ImageCanvas::GradientBand(Rect rect, Colour left, Colour right) {
  const QRect area = Normalised(rect);
  if (area.isEmpty()) return true;
  QLinearGradient gradient(area.left(), 0, area.left() + area.width(), 0);
  gradient.setColorAt(0.0, ToQColor(left));
  gradient.setColorAt(1.0, ToQColor(right));
  painter_.fillRect(area, gradient);
  return true;
}

void ImageCanvas::Line(Point from, Point to, const Pen& pen) {
  if (from == to || pen.width <= 0) return;
  // A line stops short of its end point. Straight ones are the only ones drawn here;
  // for others the last pixel hardly matters.
  if (from.y == to.y) {
    to.x += to.x > from.x ? -1 : 1;
  } else if (from.x == to.x) {
    to.y += to.y > from.y ? -1 : 1;
  }
  painter_.setClipping(false);
  painter_.setPen(QPen(ToQColor(pen.colour), pen.width));
  painter_.drawLine(from.x, from.y, to.x, to.y);
}

void ImageCanvas::Text(Point at, std::u16string_view text, const Font& font, Colour colour,
                       const Rect* clip) {
  if (text.empty()) return;
  const QFont& qfont = CanvasFont(font);
  painter_.setFont(qfont);
  painter_.setPen(ToQColor(colour));
  if (clip != nullptr) {
    painter_.setClipRect(Normalised(*clip));
  } else {
    painter_.setClipping(false);
  }
  // The position is the top of the text's cell; Qt draws on the baseline.
  const QFontMetrics metrics(qfont);
  painter_.drawText(QPoint(at.x, at.y + metrics.ascent()),
                    QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())));
  painter_.setClipping(false);
}

void ImageCanvas::CopyPicture(Point at, const MonoPicture& picture) {
  const int32_t rowBytes = (picture.width + 7) / 8;
  if (picture.width <= 0 || picture.height <= 0 || picture.stride < rowBytes) return;
  if (picture.bits.size() <
      static_cast<size_t>(picture.stride) * static_cast<size_t>(picture.height - 1) +
          static_cast<size_t>(rowBytes)) {
    return;  // too few bits for the size it claims: nothing rather than a wild read
  }
  // Most significant bit leftmost, 1 white, 0 black: the one-bit format with that table.
  QImage mono(picture.width, picture.height, QImage::Format_Mono);
  mono.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
  for (int32_t row = 0; row < picture.height; ++row) {
    std::memcpy(
        mono.scanLine(row),
        picture.bits.data() + static_cast<size_t>(row) * static_cast<size_t>(picture.stride),
        static_cast<size_t>(rowBytes));
  }
  painter_.setClipping(false);
  painter_.drawImage(at.x, at.y, mono);
}

}  // namespace ui::qt
