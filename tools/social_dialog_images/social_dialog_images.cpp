// social_dialog_images: draws the close button of the social network dialogs
// into the given folder, at one and two pixels a point: close.png and close@2x.png.
//
//   social_dialog_images FOLDER

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <filesystem>

namespace {

// A light cross in a dark disc with a white rim, 29 points square.
QImage drawClose(int pixelsPerPoint) {
    QImage image(29 * pixelsPerPoint, 29 * pixelsPerPoint, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(pixelsPerPoint, pixelsPerPoint);
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(QColor(0, 0, 0, 200));
    p.drawEllipse(QRectF(2, 2, 25, 25));
    p.setPen(QPen(QColor(167, 184, 216), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 10), QPointF(19, 19));
    p.drawLine(QPointF(19, 10), QPointF(10, 19));
    p.end();
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: social_dialog_images FOLDER\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    for (const auto& [ratio, name] : {std::pair{1, "close.png"}, std::pair{2, "close@2x.png"}}) {
        const std::string path = (folder / name).string();
        if (!drawClose(ratio).save(QString::fromStdString(path), "PNG")) {
            std::fprintf(stderr, "social_dialog_images: could not write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
