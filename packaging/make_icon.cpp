// Build-time helper: renders the application picture as a square PNG icon.
// Usage: qx_make_icon <output.png> <size>
#include <QImage>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/qt/artwork.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qx_make_icon <output.png> <size>\n");
    return 2;
  }
  const std::string size_text = argv[2];
  if (size_text.empty() || size_text.size() > 4 ||
      size_text.find_first_not_of("0123456789") != std::string::npos) {
    std::fprintf(stderr, "qx_make_icon: size must be a number from 16 to 1024\n");
    return 2;
  }
  const int size = std::atoi(size_text.c_str());
  if (size < 16 || size > 1024) {
    std::fprintf(stderr, "qx_make_icon: size must be a number from 16 to 1024\n");
    return 2;
  }
  const QImage image = qx::qt::DrivePicture(size, size);
  if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "qx_make_icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
