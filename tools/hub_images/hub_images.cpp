// hub_images: draws the hub's built-in images (the trigger icons, the bypass
// switch, the blank application and the switch-to-app button) and writes them
// as PNG bytes into a C++ source that the hub library compiles in.
//
//   hub_images OUTPUT.cpp

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/png_image.h"

namespace {

struct Point {
    double x, y;
};

using Shape = std::function<bool(double x, double y)>;

bool insideTriangle(Point p, Point a, Point b, Point c) {
    auto side = [](Point p, Point a, Point b) { return (p.x - b.x) * (a.y - b.y) - (a.x - b.x) * (p.y - b.y); };
    const double d1 = side(p, a, b), d2 = side(p, b, c), d3 = side(p, c, a);
    const bool negative = d1 < 0 || d2 < 0 || d3 < 0, positive = d1 > 0 || d2 > 0 || d3 > 0;
    return !(negative && positive);
}

bool insideRoundedRect(double x, double y, double left, double top, double right, double bottom, double radius) {
    if (x < left || x > right || y < top || y > bottom) return false;
    const double cx = std::clamp(x, left + radius, right - radius), cy = std::clamp(y, top + radius, bottom - radius);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
}

bool onRoundedRectOutline(double x, double y, double left, double top, double right, double bottom, double radius,
                          double width) {
    return insideRoundedRect(x, y, left, top, right, bottom, radius) &&
           !insideRoundedRect(x, y, left + width, top + width, right - width, bottom - width,
                              std::max(0.0, radius - width));
}

/// Draws `shape` in one colour, with 4 x 4 samples a pixel for smooth edges.
std::vector<uint8_t> draw(int width, int height, const Shape& shape, uint8_t red, uint8_t green, uint8_t blue) {
    std::vector<uint8_t> rgba(size_t(width) * size_t(height) * 4, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int covered = 0;
            for (int sy = 0; sy < 4; ++sy)
                for (int sx = 0; sx < 4; ++sx) covered += shape(x + (sx + 0.5) / 4, y + (sy + 0.5) / 4) ? 1 : 0;
            uint8_t* pixel = &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
            pixel[0] = red;
            pixel[1] = green;
            pixel[2] = blue;
            pixel[3] = uint8_t(covered * 255 / 16);
        }
    }
    return rgba;
}

struct Image {
    const char* name;
    int width, height;
    Shape shape;
    uint8_t red = 255, green = 255, blue = 255;
};

std::vector<Image> images() {
    return {
        {"Blank-App.png", 128, 128,
         [](double x, double y) { return insideRoundedRect(x, y, 4, 4, 124, 124, 26); }, 178, 178, 178},
        {"Bypass-Off.png", 68, 38,
         [](double x, double y) {
             // A switch at rest: an outlined track with its knob on the left.
             return onRoundedRectOutline(x, y, 2, 2, 66, 36, 17, 3) ||
                    (x - 19) * (x - 19) + (y - 19) * (y - 19) <= 11 * 11;
         }},
        {"Bypass-On.png", 50, 38,
         [](double x, double y) {
             // The signal passing by: a line with an arrow head over a bracket.
             const bool line = y >= 17 && y <= 21 && x >= 3 && x <= 38;
             const bool head = insideTriangle({x, y}, {36, 9}, {48, 19}, {36, 29});
             const bool bracket = onRoundedRectOutline(x, y, 12, 2, 32, 36, 4, 3) && y > 24;
             return line || head || bracket;
         }},
        {"Pause.png", 42, 46,
         [](double x, double y) {
             return insideRoundedRect(x, y, 6, 4, 17, 42, 2) || insideRoundedRect(x, y, 25, 4, 36, 42, 2);
         }},
        {"Play.png", 42, 50, [](double x, double y) { return insideTriangle({x, y}, {6, 3}, {39, 25}, {6, 47}); }},
        {"Record.png", 56, 56,
         [](double x, double y) { return (x - 28) * (x - 28) + (y - 28) * (y - 28) <= 24 * 24; }, 214, 20, 33},
        {"Rewind.png", 50, 46,
         [](double x, double y) {
             return insideTriangle({x, y}, {25, 4}, {2, 23}, {25, 42}) ||
                    insideTriangle({x, y}, {48, 4}, {25, 23}, {48, 42});
         }},
        {"Skip.png", 48, 46,
         [](double x, double y) {
             return insideTriangle({x, y}, {2, 4}, {22, 23}, {2, 42}) ||
                    insideTriangle({x, y}, {22, 4}, {40, 23}, {22, 42}) || (x >= 40 && x <= 46 && y >= 4 && y <= 42);
         }},
        {"Switch-To-App.png", 74, 52,
         [](double x, double y) {
             const bool frame = onRoundedRectOutline(x, y, 2, 2, 72, 50, 8, 3);
             const bool shaft = y >= 23 && y <= 29 && x >= 16 && x <= 44;
             const bool head = insideTriangle({x, y}, {42, 12}, {60, 26}, {42, 40});
             return frame || shaft || head;
         }},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hub_images OUTPUT.cpp\n");
        return 2;
    }
    std::string source =
        "// Generated by tools/hub_images: the hub's built-in images as PNG bytes.\n"
        "#include \"hub/hub_built_in_images.h\"\n\nnamespace strombel::hub {\n\nnamespace {\n";
    std::string table = "const HubBuiltInImageData kImages[] = {\n";
    int index = 0;
    for (const Image& image : images()) {
        auto png = strombel::platform::PngImage::fromRgba(uint32_t(image.width), uint32_t(image.height),
                                                          draw(image.width, image.height, image.shape, image.red,
                                                               image.green, image.blue));
        if (!png) {
            std::fprintf(stderr, "hub_images: %s could not be encoded\n", image.name);
            return 1;
        }
        source += "const unsigned char kImage" + std::to_string(index) + "[] = {";
        for (size_t i = 0; i < png->data().size(); ++i) {
            if (i % 20 == 0) source += "\n   ";
            source += " " + std::to_string(png->data()[i]) + ",";
        }
        source += "\n};\n";
        table += "    {\"" + std::string(image.name) + "\", kImage" + std::to_string(index) + ", sizeof kImage" +
                 std::to_string(index) + "},\n";
        ++index;
    }
    source += "\n}  // namespace\n\n" + table + "};\n\n" +
              "const HubBuiltInImageData* hubBuiltInImageTable(size_t& count) {\n"
              "    count = sizeof kImages / sizeof kImages[0];\n"
              "    return kImages;\n}\n\n}  // namespace strombel::hub\n";
    std::FILE* file = std::fopen(argv[1], "wb");
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    std::fwrite(source.data(), 1, source.size(), file);
    std::fclose(file);
    return 0;
}
