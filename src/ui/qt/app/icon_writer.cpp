// Writes the program's icon at one size as a PNG: the desktop's icon files come from the
// same drawing as the window's icon. Usage: tarnwick-icon-writer SIZE FILE
#include <QGuiApplication>
#include <QImage>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "res/pictures.h"

int main(int argc, char** argv) {
  const int size = argc == 3 ? std::atoi(argv[1]) : 0;
  if (size < 1 || size > 1024) {
    std::fputs("usage: tarnwick-icon-writer SIZE FILE (SIZE from 1 to 1024)\n", stderr);
    return 2;
  }
  const std::vector<uint32_t> pixels = res::IconPixels(size);
  const QImage image(reinterpret_cast<const uchar*>(pixels.data()), size, size,
                     QImage::Format_ARGB32);
  if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "tarnwick-icon-writer: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
