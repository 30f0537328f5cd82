// tovrel-icon-pngs FOLDER: the program's icon as the PNG files of a desktop
// icon theme (FOLDER/NxN/apps/tovrel.png). The 16 and 32 pixel images are the
// window's own; the larger ones double the 32 pixel one without smoothing, so
// a launcher shows the same pixels, only bigger.
#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>

#include "app/icons/tovrel16.xpm"
#include "app/icons/tovrel32.xpm"

namespace {

bool WriteIcon(const QString& folder, const QImage& image) {
    const QString size = QString::number(image.width());
    const QString dir = folder + "/" + size + "x" + size + "/apps";
    if (!QDir().mkpath(dir)) return false;
    return image.save(dir + "/tovrel.png", "PNG");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tovrel-icon-pngs FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const QImage small(tovrel16_xpm);
    const QImage large(tovrel32_xpm);
    if (small.isNull() || large.isNull()) {
        std::fprintf(stderr, "tovrel-icon-pngs: the icon images do not load\n");
        return 1;
    }
    for (const QImage& image : {small, large, large.scaled(64, 64), large.scaled(128, 128)}) {
        if (!WriteIcon(folder, image)) {
            std::fprintf(stderr, "tovrel-icon-pngs: cannot write into %s\n", argv[1]);
            return 1;
        }
    }
    return 0;
}
