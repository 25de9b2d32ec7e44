// app_icon: draws the program's icon with the image generator and writes it into
// the bundle folder at one and two pixels a point.
//
//   app_icon BUNDLE-FOLDER

#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <filesystem>

#include "ui/image_generator.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: app_icon BUNDLE-FOLDER\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    for (const auto& [ratio, name] : {std::pair{1.0, "AppIcon60x60.png"}, std::pair{2.0, "AppIcon60x60@2x.png"}}) {
        const QImage icon = strombel::ui::ImageGenerator::draw("AppIcon60x60", strombel::ui::ImageVariant::tablet, ratio);
        const std::string path = (folder / name).string();
        if (icon.isNull() || !icon.save(QString::fromStdString(path), "PNG")) {
            std::fprintf(stderr, "app_icon: could not write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
