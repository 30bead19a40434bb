// render_icon SVG SIDE PNG: the program's icon drawn at SIDE x SIDE pixels,
// for the freedesktop icon sizes that have no drawn PNG. A build step only.
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: render_icon SVG SIDE PNG\n");
        return 64;
    }
    const int side = atoi(argv[2]);
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid() || side < 1 || side > 4096) {
        fprintf(stderr, "render_icon: cannot draw %s at %s pixels\n", argv[1], argv[2]);
        return 1;
    }
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
    painter.end();
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        fprintf(stderr, "render_icon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
